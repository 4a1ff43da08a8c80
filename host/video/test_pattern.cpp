#include "host/video/test_pattern.h"

#include <algorithm>
#include <cstring>

#include "host/video/color_convert.h"

namespace orvane {
namespace {

constexpr uint8_t kWhite[4] = {255, 255, 255, 255};
constexpr uint8_t kBlack[4] = {0, 0, 0, 255};
// Luma of the black bars, of a black block and of a white block.
constexpr uint8_t kLumaBlack = 16;
constexpr uint8_t kLumaWhite = 235;
// A block is read as white from this mean luma up, as black from the lower
// one down; in between it is unreadable.
constexpr uint32_t kWhiteFromLuma = 160;
constexpr uint32_t kBlackUpToLuma = 91;
constexpr uint32_t kMinReadableBlockPx = 3;
constexpr uint8_t kCrcXorOut = 0x55;

uint8_t Triangle(uint32_t k) {
  k &= 255;
  return static_cast<uint8_t>(k < 128 ? 2 * k : 511 - 2 * k);
}

// The BT.709 limited-range luma of ConvertBgraToNv12Cpu.
uint8_t Luma709(uint8_t b, uint8_t g, uint8_t r) {
  const int y = ((16 * b + 157 * g + 47 * r + 128) >> 8) + 16;
  return static_cast<uint8_t>(std::clamp(y, 16, 235));
}

struct BandTables {
  // Two periods of BGRA pixels, so that any start within the first period
  // is followed by a whole period.
  uint8_t bgra[2 * kTestPatternPeriodPx * 4];
  uint8_t luma[kTestPatternPeriodPx];
};

const BandTables& Bands() {
  static const BandTables tables = [] {
    BandTables t{};
    for (uint32_t i = 0; i < 2 * kTestPatternPeriodPx; ++i) {
      const uint32_t k = i % kTestPatternPeriodPx;
      uint8_t* p = t.bgra + static_cast<size_t>(i) * 4;
      p[0] = Triangle(k);
      p[1] = Triangle(k + 85);
      p[2] = Triangle(k + 170);
      p[3] = 255;
      if (i < kTestPatternPeriodPx) t.luma[k] = Luma709(p[0], p[1], p[2]);
    }
    return t;
  }();
  return tables;
}

uint32_t BandIndex(uint64_t x_plus_y, uint64_t counter) {
  return static_cast<uint32_t>((x_plus_y + kTestPatternStepPx * (counter & kTestPatternCounterMask)) %
                               kTestPatternPeriodPx);
}

// CRC-8 with the final XOR: an all-black or all-white grid (a bar, a blank
// picture) never passes for a counter.
uint8_t Crc8(uint32_t value24) {
  uint8_t crc = 0;
  for (int shift = 16; shift >= 0; shift -= 8) {
    crc ^= static_cast<uint8_t>(value24 >> shift);
    for (int bit = 0; bit < 8; ++bit) crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
  }
  return static_cast<uint8_t>(crc ^ kCrcXorOut);
}

bool WordBit(uint32_t word, uint32_t block) { return ((word >> (kTestPatternBlocks - 1 - block)) & 1u) != 0; }

// The letterboxed rectangle exactly as ScaleBgraLetterbox clamps it.
struct Placement {
  uint32_t x0 = 0, y0 = 0, w = 0, h = 0;
};

Placement Place(uint32_t sw, uint32_t sh, uint32_t pw, uint32_t ph) {
  const FitRectResult fit = FitRect(sw, sh, pw, ph);
  Placement p;
  p.w = std::min(fit.w, pw);
  p.h = std::min(fit.h, ph);
  p.x0 = std::min(fit.x, pw - p.w);
  p.y0 = std::min(fit.y, ph - p.h);
  return p;
}

// Reads the word through sample(column, row) -> luma of the picture, with
// the source_w x source_h pattern placed at `place`.
template <typename Sample>
std::optional<uint64_t> ReadWord(const Sample& sample, const Placement& place, uint32_t sw, uint32_t sh) {
  const uint32_t side = TestPatternBlockSide(sw, sh);
  if (side == 0 || place.w == 0 || place.h == 0) return std::nullopt;
  const uint64_t block_w = static_cast<uint64_t>(side) * place.w / sw;
  const uint64_t block_h = static_cast<uint64_t>(side) * place.h / sh;
  if (block_w < kMinReadableBlockPx || block_h < kMinReadableBlockPx) return std::nullopt;
  const uint32_t half_w = static_cast<uint32_t>(block_w / 4);
  const uint32_t half_h = static_cast<uint32_t>(block_h / 4);
  uint32_t word = 0;
  for (uint32_t k = 0; k < kTestPatternBlocks; ++k) {
    const uint64_t cx = static_cast<uint64_t>(k % kTestPatternGridColumns) * side + side / 2;
    const uint64_t cy = static_cast<uint64_t>(k / kTestPatternGridColumns) * side + side / 2;
    // The middle of source pixel (cx, cy) in the picture.
    const uint32_t jc = place.x0 + static_cast<uint32_t>((2 * cx + 1) * place.w / (2 * static_cast<uint64_t>(sw)));
    const uint32_t ic = place.y0 + static_cast<uint32_t>((2 * cy + 1) * place.h / (2 * static_cast<uint64_t>(sh)));
    uint64_t sum = 0;
    uint64_t n = 0;
    for (uint32_t i = ic - std::min(ic, half_h); i <= ic + half_h && i < place.y0 + place.h; ++i) {
      for (uint32_t j = jc - std::min(jc, half_w); j <= jc + half_w && j < place.x0 + place.w; ++j) {
        sum += sample(j, i);
        ++n;
      }
    }
    if (n == 0) return std::nullopt;
    const uint64_t mean = sum / n;
    word <<= 1;
    if (mean >= kWhiteFromLuma) {
      word |= 1;
    } else if (mean > kBlackUpToLuma) {
      return std::nullopt;
    }
  }
  const uint32_t counter = word >> 8;
  if (Crc8(counter) != static_cast<uint8_t>(word & 0xFF)) return std::nullopt;
  return counter;
}

}  // namespace

uint32_t TestPatternBlockSide(uint32_t width, uint32_t height) {
  const uint32_t side =
      std::min({kTestPatternBlockSide, width / kTestPatternGridColumns, height / kTestPatternGridRows});
  return side >= 4 ? side : 0;
}

uint32_t TestPatternWord(uint64_t counter) {
  const uint32_t c = static_cast<uint32_t>(counter & kTestPatternCounterMask);
  return (c << 8) | Crc8(c);
}

std::array<uint8_t, 4> TestPatternPixel(uint64_t counter, uint32_t x, uint32_t y, uint32_t width, uint32_t height) {
  const uint32_t side = TestPatternBlockSide(width, height);
  if (side != 0 && x < side * kTestPatternGridColumns && y < side * kTestPatternGridRows) {
    const uint32_t block = (y / side) * kTestPatternGridColumns + x / side;
    return WordBit(TestPatternWord(counter), block) ? std::array<uint8_t, 4>{255, 255, 255, 255}
                                                     : std::array<uint8_t, 4>{0, 0, 0, 255};
  }
  const uint32_t k = BandIndex(static_cast<uint64_t>(x) + y, counter);
  return {Triangle(k), Triangle(k + 85), Triangle(k + 170), 255};
}

void RenderTestPattern(uint64_t counter, uint32_t width, uint32_t height, uint8_t* bgra, uint32_t pitch) {
  if (bgra == nullptr || width == 0 || height == 0 || static_cast<uint64_t>(pitch) < uint64_t{width} * 4) return;
  const BandTables& bands = Bands();
  for (uint32_t y = 0; y < height; ++y) {
    uint8_t* row = bgra + static_cast<size_t>(y) * pitch;
    const uint8_t* start = bands.bgra + static_cast<size_t>(BandIndex(y, counter)) * 4;
    for (uint32_t x = 0; x < width; x += kTestPatternPeriodPx) {
      const uint32_t n = std::min(kTestPatternPeriodPx, width - x);
      std::memcpy(row + static_cast<size_t>(x) * 4, start, static_cast<size_t>(n) * 4);
    }
  }
  const uint32_t side = TestPatternBlockSide(width, height);
  if (side == 0) return;
  uint8_t white[kTestPatternBlockSide * 4];
  uint8_t black[kTestPatternBlockSide * 4];
  for (uint32_t i = 0; i < side; ++i) {
    std::memcpy(white + i * 4, kWhite, 4);
    std::memcpy(black + i * 4, kBlack, 4);
  }
  const uint32_t word = TestPatternWord(counter);
  for (uint32_t y = 0; y < side * kTestPatternGridRows; ++y) {
    uint8_t* row = bgra + static_cast<size_t>(y) * pitch;
    const uint32_t first_block = (y / side) * kTestPatternGridColumns;
    for (uint32_t c = 0; c < kTestPatternGridColumns; ++c) {
      std::memcpy(row + static_cast<size_t>(c) * side * 4, WordBit(word, first_block + c) ? white : black,
                  static_cast<size_t>(side) * 4);
    }
  }
}

std::optional<uint64_t> ReadTestPatternCounter(const uint8_t* luma, uint32_t stride, uint32_t picture_w,
                                               uint32_t picture_h, uint32_t source_w, uint32_t source_h) {
  if (luma == nullptr || picture_w == 0 || picture_h == 0 || source_w == 0 || source_h == 0 || stride < picture_w) {
    return std::nullopt;
  }
  const auto sample = [&](uint32_t j, uint32_t i) -> uint32_t { return luma[static_cast<size_t>(i) * stride + j]; };
  return ReadWord(sample, Place(source_w, source_h, picture_w, picture_h), source_w, source_h);
}

std::optional<uint64_t> ReadTestPatternCounterBgra(const uint8_t* bgra, uint32_t pitch, uint32_t width,
                                                   uint32_t height) {
  if (bgra == nullptr || width == 0 || height == 0 || static_cast<uint64_t>(pitch) < uint64_t{width} * 4) {
    return std::nullopt;
  }
  const auto sample = [&](uint32_t j, uint32_t i) -> uint32_t {
    const uint8_t* p = bgra + static_cast<size_t>(i) * pitch + static_cast<size_t>(j) * 4;
    return Luma709(p[0], p[1], p[2]);
  };
  return ReadWord(sample, Placement{0, 0, width, height}, width, height);
}

TestPatternLuma::TestPatternLuma(uint32_t source_w, uint32_t source_h, uint32_t picture_w, uint32_t picture_h)
    : source_w_(source_w), source_h_(source_h), picture_w_(picture_w), picture_h_(picture_h) {
  if (source_w == 0 || source_h == 0 || picture_w == 0 || picture_h == 0) return;
  const Placement place = Place(source_w, source_h, picture_w, picture_h);
  x0_ = place.x0;
  y0_ = place.y0;
  w_ = place.w;
  h_ = place.h;
  block_ = TestPatternBlockSide(source_w, source_h);
  const uint32_t grid_w = block_ * kTestPatternGridColumns;
  column_band_.resize(w_);
  for (uint32_t j = 0; j < w_; ++j) {
    // Column j of the fit shows source column sw x j / w (ScaleBgraLetterbox).
    const uint32_t sx = static_cast<uint32_t>(static_cast<uint64_t>(source_w) * j / w_);
    column_band_[j] = static_cast<uint8_t>(sx % kTestPatternPeriodPx);
    if (sx < grid_w) {
      grid_columns_ = j + 1;
      column_block_.push_back(static_cast<uint8_t>(sx / block_));
    }
  }
  row_source_.resize(h_);
  for (uint32_t i = 0; i < h_; ++i) {
    row_source_[i] = static_cast<uint32_t>(static_cast<uint64_t>(source_h) * i / h_);
  }
}

void TestPatternLuma::Build(uint64_t counter, uint8_t* out, uint32_t stride) const {
  if (out == nullptr || stride < picture_w_) return;
  const uint8_t* luma = Bands().luma;
  const uint32_t word = TestPatternWord(counter);
  const uint32_t grid_h = block_ * kTestPatternGridRows;
  for (uint32_t i = 0; i < picture_h_; ++i) {
    uint8_t* row = out + static_cast<size_t>(i) * stride;
    if (i < y0_ || i >= y0_ + h_) {
      std::memset(row, kLumaBlack, picture_w_);
      continue;
    }
    std::memset(row, kLumaBlack, x0_);
    std::memset(row + x0_ + w_, kLumaBlack, picture_w_ - x0_ - w_);
    uint8_t* fit = row + x0_;
    const uint32_t sy = row_source_[i - y0_];
    uint32_t j = 0;
    if (block_ != 0 && sy < grid_h) {
      const uint32_t first_block = (sy / block_) * kTestPatternGridColumns;
      for (; j < grid_columns_; ++j) {
        fit[j] = WordBit(word, first_block + column_block_[j]) ? kLumaWhite : kLumaBlack;
      }
    }
    const uint32_t base = BandIndex(sy, counter);
    for (; j < w_; ++j) fit[j] = luma[(column_band_[j] + base) % kTestPatternPeriodPx];
  }
}

}  // namespace orvane
