#include "tools/tablet_sim/sim_framing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

namespace orvane::sim {
namespace {

// Plays back a script of stream events; data steps are handed out in pieces
// of at most `max_piece` bytes.
class ScriptedSource final : public IByteSource {
 public:
  explicit ScriptedSource(size_t max_piece = SIZE_MAX) : max_piece_(max_piece) {}

  ScriptedSource& Data(std::vector<uint8_t> bytes) {
    steps_.push_back({ReadChunk::Kind::kData, std::move(bytes), 0});
    return *this;
  }
  ScriptedSource& Event(ReadChunk::Kind kind, int error = 0) {
    steps_.push_back({kind, {}, error});
    return *this;
  }

  ReadChunk Read(uint8_t* buffer, size_t capacity) override {
    ReadChunk chunk;
    if (steps_.empty()) {
      chunk.kind = ReadChunk::Kind::kClosed;
      return chunk;
    }
    Step& step = steps_.front();
    if (step.kind != ReadChunk::Kind::kData) {
      chunk.kind = step.kind;
      chunk.error = step.error;
      steps_.pop_front();
      return chunk;
    }
    const size_t n = std::min({capacity, max_piece_, step.bytes.size() - step.offset});
    std::copy_n(step.bytes.begin() + static_cast<std::ptrdiff_t>(step.offset), n, buffer);
    step.offset += n;
    handed_out_ += n;
    if (step.offset == step.bytes.size()) steps_.pop_front();
    chunk.bytes = n;
    return chunk;
  }

  size_t handed_out() const { return handed_out_; }

 private:
  struct Step {
    ReadChunk::Kind kind;
    std::vector<uint8_t> bytes;
    int error;
    size_t offset = 0;
  };
  std::deque<Step> steps_;
  size_t max_piece_;
  size_t handed_out_ = 0;
};

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
  return v;
}

std::vector<uint8_t> Header(uint32_t length) {
  return {static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 8),
          static_cast<uint8_t>(length)};
}

TEST(SimFraming, EncodesABigEndianLengthBeforeThePayload) {
  const std::vector<uint8_t> payload = Pattern(300);
  std::vector<uint8_t> frame;
  ASSERT_TRUE(EncodeFrame(payload.data(), payload.size(), &frame));
  ASSERT_EQ(frame.size(), 304u);
  EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 4), (std::vector<uint8_t>{0x00, 0x00, 0x01, 0x2C}));
  EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 4, frame.end()), payload);
}

TEST(SimFraming, EncodingRefusesLengthsTheHostWouldDropTheConnectionFor) {
  const std::vector<uint8_t> big(kMaxFramePayloadBytes + 1, 0xAB);
  std::vector<uint8_t> frame = {1, 2, 3};
  EXPECT_FALSE(EncodeFrame(big.data(), 0, &frame));
  EXPECT_FALSE(EncodeFrame(big.data(), big.size(), &frame));
  EXPECT_EQ(frame, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_TRUE(EncodeFrame(big.data(), kMaxFramePayloadBytes, &frame));
  EXPECT_EQ(frame.size(), kMaxFramePayloadBytes + 4);
}

TEST(SimFraming, RoundTripsWhateverTheStreamSplitsItInto) {
  struct Case {
    size_t payload;
    size_t piece;
  };
  const Case cases[] = {{1, SIZE_MAX}, {1, 1}, {300, 1}, {300, 3}, {70'000, 4096}, {kMaxFramePayloadBytes, 65'536}};
  for (const Case& c : cases) {
    SCOPED_TRACE("payload " + std::to_string(c.payload) + " piece " + std::to_string(c.piece));
    const std::vector<uint8_t> payload = Pattern(c.payload);
    std::vector<uint8_t> frame;
    ASSERT_TRUE(EncodeFrame(payload.data(), payload.size(), &frame));
    // Two frames back to back in one stream.
    std::vector<uint8_t> stream = frame;
    stream.insert(stream.end(), frame.begin(), frame.end());
    ScriptedSource source(c.piece);
    source.Data(stream);
    FrameReader reader;
    std::vector<uint8_t> got;
    ASSERT_EQ(reader.Read(source, &got), FrameStatus::kFrame);
    EXPECT_EQ(got, payload);
    EXPECT_EQ(reader.announced_length(), c.payload);
    got.clear();
    ASSERT_EQ(reader.Read(source, &got), FrameStatus::kFrame);
    EXPECT_EQ(got, payload);
    EXPECT_FALSE(reader.mid_frame());
    EXPECT_EQ(reader.Read(source, &got), FrameStatus::kClosed);
    EXPECT_FALSE(reader.mid_frame());
  }
}

TEST(SimFraming, RefusesABadLengthBeforeAllocatingOrReadingFurther) {
  for (const uint32_t length : {0u, kMaxFramePayloadBytes + 1, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    SCOPED_TRACE(length);
    ScriptedSource source;
    source.Data(Header(length)).Data(Pattern(64));
    FrameReader reader;
    std::vector<uint8_t> got;
    EXPECT_EQ(reader.Read(source, &got), FrameStatus::kInvalidLength);
    EXPECT_EQ(reader.announced_length(), length);
    EXPECT_EQ(source.handed_out(), kFrameHeaderBytes);  // nothing read past the header
    EXPECT_EQ(reader.reserved_payload_bytes(), 0u);
    EXPECT_EQ(got.capacity(), 0u);
  }
}

TEST(SimFraming, ATimeOutKeepsThePartialFrameForTheNextRead) {
  const std::vector<uint8_t> payload = Pattern(10);
  std::vector<uint8_t> frame;
  ASSERT_TRUE(EncodeFrame(payload.data(), payload.size(), &frame));
  ScriptedSource source;
  source.Data({frame.begin(), frame.begin() + 2})
      .Event(ReadChunk::Kind::kTimedOut)
      .Data({frame.begin() + 2, frame.begin() + 7})
      .Event(ReadChunk::Kind::kTimedOut)
      .Data({frame.begin() + 7, frame.end()});
  FrameReader reader;
  std::vector<uint8_t> got;
  EXPECT_EQ(reader.Read(source, &got), FrameStatus::kTimedOut);
  EXPECT_TRUE(reader.mid_frame());
  EXPECT_EQ(reader.reserved_payload_bytes(), 0u);  // the header is not complete yet
  EXPECT_EQ(reader.Read(source, &got), FrameStatus::kTimedOut);
  EXPECT_GE(reader.reserved_payload_bytes(), payload.size());
  EXPECT_EQ(reader.Read(source, &got), FrameStatus::kFrame);
  EXPECT_EQ(got, payload);
}

TEST(SimFraming, ReportsHowTheStreamEnded) {
  struct Case {
    const char* name;
    size_t bytes_before;  // bytes of a 10-byte frame that arrive first
    ReadChunk::Kind end;
    int error;
    FrameStatus expected;
    bool mid_frame;
  };
  const Case cases[] = {
      {"close between frames", 0, ReadChunk::Kind::kClosed, 0, FrameStatus::kClosed, false},
      {"close inside the header", 2, ReadChunk::Kind::kClosed, 0, FrameStatus::kClosed, true},
      {"close inside the payload", 8, ReadChunk::Kind::kClosed, 0, FrameStatus::kClosed, true},
      {"reset inside the payload", 8, ReadChunk::Kind::kError, 10054, FrameStatus::kError, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> payload = Pattern(10);
    std::vector<uint8_t> frame;
    ASSERT_TRUE(EncodeFrame(payload.data(), payload.size(), &frame));
    ScriptedSource source;
    if (c.bytes_before > 0) source.Data({frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(c.bytes_before)});
    source.Event(c.end, c.error);
    FrameReader reader;
    std::vector<uint8_t> got;
    EXPECT_EQ(reader.Read(source, &got), c.expected);
    EXPECT_EQ(reader.mid_frame(), c.mid_frame);
    EXPECT_EQ(reader.last_error(), c.error);
    EXPECT_TRUE(got.empty());
  }
}

}  // namespace
}  // namespace orvane::sim
