#include "host/video/cursor_tracker.h"

#include <gtest/gtest.h>

#include "host/video/testing/fake_cursor_source.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

using testing::FakeCursorSource;
using testing::FakeCursorState;
using testing::LogCapture;

constexpr uint64_t kArrowKey = 0x1001;
constexpr uint64_t kBeamKey = 0x1002;

struct Fixture {
  std::shared_ptr<FakeCursorState> state = std::make_shared<FakeCursorState>();
  CursorTracker tracker{std::make_unique<FakeCursorSource>(state)};
};

TEST(CursorTrackerTest, ReportsWhatChangedAndRemembersTheShape) {
  Fixture f;
  f.state->SetShape(kArrowKey, StandardCursor::kArrow, 32, 0xFF112233u, 0);
  f.state->MoveTo(10, 20);
  CursorState first = f.tracker.Poll();  // everything is new
  EXPECT_TRUE(first.changed);
  EXPECT_TRUE(first.shape_changed);
  EXPECT_EQ(first.shape, "arrow");
  EXPECT_EQ(first.image.size(), 32u * 32u * 4u);
  EXPECT_FALSE(f.tracker.Poll().changed);  // nothing moved

  f.state->SetShape(kBeamKey, StandardCursor::kText, 32, 0xFF000000u, 4);
  CursorState beam = f.tracker.Poll();
  EXPECT_TRUE(beam.changed);
  EXPECT_EQ(beam.shape, "text");
  EXPECT_EQ(beam.hotspot_x, 4);
  EXPECT_EQ(beam.image.size(), 32u * 32u * 4u);

  f.state->MoveTo(11, 20);
  CursorState moved = f.tracker.Poll();  // the shape goes along, its picture does not
  EXPECT_TRUE(moved.changed);
  EXPECT_FALSE(moved.shape_changed);
  EXPECT_EQ(moved.x, 11);
  EXPECT_EQ(moved.shape, "text");
  EXPECT_EQ(moved.hotspot_x, 4);
  EXPECT_EQ(moved.hotspot_y, 4);
  EXPECT_EQ(moved.width, 32u);
  EXPECT_TRUE(moved.image.empty());

  f.state->SetVisible(false);
  CursorState hidden = f.tracker.Poll();  // visibility alone is an update
  EXPECT_TRUE(hidden.changed);
  EXPECT_FALSE(hidden.visible);
  EXPECT_EQ(hidden.shape, "text");

  f.state->SetShape(0x2000, StandardCursor::kCustom, 16, 0xFFFFFFFFu);
  CursorState custom = f.tracker.Poll();
  EXPECT_EQ(custom.shape, "custom");
  EXPECT_EQ(custom.image.size(), 16u * 16u * 4u);

  f.tracker.ForceFullUpdate();
  CursorState again = f.tracker.Poll();
  EXPECT_TRUE(again.shape_changed);
  EXPECT_EQ(again.image.size(), 16u * 16u * 4u);
}

TEST(CursorTrackerTest, OversizePicturesKeepTheShapeAndWarnOncePerShape) {
  Fixture f;
  LogCapture log;
  f.state->SetShape(0x3000, StandardCursor::kHand, 300, 0xFF00FF00u, 7);
  CursorState big = f.tracker.Poll();
  EXPECT_TRUE(big.changed);
  EXPECT_EQ(big.shape, "hand");
  EXPECT_EQ(big.hotspot_x, 7);
  EXPECT_EQ(big.width, 300u);
  EXPECT_TRUE(big.image.empty());
  f.tracker.ForceFullUpdate();
  EXPECT_TRUE(f.tracker.Poll().image.empty());
  EXPECT_EQ(log.Count("[WARN ] [Cursor] Cursor image 300x300 is larger than 256x256"), 1u);
  f.state->SetShape(0x3001, StandardCursor::kCustom, 257, 0xFF00FF00u);
  f.tracker.Poll();
  EXPECT_EQ(log.Count("[WARN ] [Cursor] Cursor image 257x257 is larger than 256x256"), 1u);
}

TEST(CursorTrackerTest, UnreadablePointerSendsNothing) {
  Fixture f;
  f.state->readable = false;
  EXPECT_FALSE(f.tracker.Poll().changed);
  f.state->readable = true;
  EXPECT_TRUE(f.tracker.Poll().changed);
}

// Bytes B, G, R, A of one pixel.
std::vector<uint8_t> Bgra(uint32_t argb) {
  return {static_cast<uint8_t>(argb), static_cast<uint8_t>(argb >> 8), static_cast<uint8_t>(argb >> 16),
          static_cast<uint8_t>(argb >> 24)};
}

TEST(CursorTrackerTest, PicturesWithoutAlphaComeFromTheMasks) {
  // 4 x 2: AND 0 keeps the XOR colour opaque; AND 1 with XOR 0 is see-through;
  // AND 1 with XOR set inverts the screen, drawn black.
  CursorShapeData mono;
  mono.width = 4;
  mono.height = 2;
  mono.pixels.assign(8, 0x00000000u);  // what drawing it gave: no alpha anywhere
  mono.and_mask = {0, 0, 1, 1, 1, 0, 1, 0};
  mono.xor_pixels = {0x000000, 0xFFFFFF, 0x000000, 0xFFFFFF, 0x000000, 0x123456, 0xFFFFFF, 0x000000};
  const uint32_t expected[8] = {0xFF000000u, 0xFFFFFFFFu, 0x00000000u, 0xFF000000u,
                                0x00000000u, 0xFF123456u, 0xFF000000u, 0xFF000000u};
  std::vector<uint8_t> want;
  for (uint32_t p : expected) {
    const std::vector<uint8_t> px = Bgra(p);
    want.insert(want.end(), px.begin(), px.end());
  }
  EXPECT_EQ(ComposeCursorImage(mono), want);

  // Any alpha: the pixels as drawn, masks ignored.
  CursorShapeData colour = mono;
  colour.pixels[3] = 0x80FF0000u;
  const std::vector<uint8_t> as_drawn = ComposeCursorImage(colour);
  ASSERT_EQ(as_drawn.size(), 32u);
  EXPECT_EQ(std::vector<uint8_t>(as_drawn.begin() + 12, as_drawn.begin() + 16), Bgra(0x80FF0000u));
  EXPECT_EQ(std::vector<uint8_t>(as_drawn.begin(), as_drawn.begin() + 4), Bgra(0));

  struct Bad {
    const char* name;
    uint32_t width, height;
    size_t pixels;
  };
  for (const Bad& b : {Bad{"empty", 0, 0, 0}, Bad{"too wide", 257, 1, 257}, Bad{"short data", 4, 2, 7}}) {
    SCOPED_TRACE(b.name);
    CursorShapeData s;
    s.width = b.width;
    s.height = b.height;
    s.pixels.assign(b.pixels, 0xFF000000u);
    EXPECT_TRUE(ComposeCursorImage(s).empty());
  }
}

}  // namespace
}  // namespace orvane
