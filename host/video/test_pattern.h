#pragma once
// The synthetic test pattern: a moving picture that carries its own frame
// counter and can be rebuilt from it, so that a receiver checks a decoded
// picture pixel by pixel. The host's synthetic capture paints it; the tablet
// simulator reads the counter from a decoded picture, rebuilds what the host
// encoded and compares.
//
// Picture n, W x H pixels, BGRA with alpha 255:
//
//   Background: diagonal colour bands with a period of 256 px that move
//   4 px a frame towards the top left. Pixel (x, y) has the band index
//   k = (x + y + 4n) mod 256 and the colour B = T(k), G = T(k + 85),
//   R = T(k + 170) (indices mod 256), T(k) = 2k below 128 and 511 - 2k from
//   128 on: smooth ramps (cheap to encode, unharmed by nearest-neighbour
//   scaling) through saturated hues (a wrong colour matrix or range shows).
//
//   Counter: 32 square blocks of side s = min(32, W / 8, H / 4) in a grid of
//   8 columns by 4 rows at the top-left corner (block k at column k mod 8,
//   row k / 8). They hold the 32-bit word (c << 8) | crc, most significant
//   bit in block 0: c is the low 24 bits of n, crc its CRC-8 (polynomial
//   x^8 + x^2 + x + 1, initial value 0, over c's three bytes from the most
//   significant, the result XORed with 0x55, so that no all-black or
//   all-white grid passes). A 1 is a white block (255, 255, 255), a 0 a
//   black one.
//   Pictures smaller than 32 x 16 (s < 4) carry no counter.
//
// The picture depends on n only through n mod 2^24 (the bands repeat every
// 64 frames), so the counter read back rebuilds it exactly.
//
// A receiver sees the pattern after the host's fit into the encoder size:
// the source letterboxed with FitRect and nearest-neighbour scaling, black
// bars (ScaleBgraLetterbox), then BT.709 limited-range luma (the Y of
// ConvertBgraToNv12Cpu). ReadTestPatternCounter and TestPatternLuma follow
// that same mapping.

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace orvane {

inline constexpr uint32_t kTestPatternBlocks = 32;
inline constexpr uint32_t kTestPatternBlockSide = 32;
inline constexpr uint32_t kTestPatternGridColumns = 8;
inline constexpr uint32_t kTestPatternGridRows = 4;
inline constexpr uint32_t kTestPatternCounterBits = 24;
inline constexpr uint64_t kTestPatternCounterMask = (uint64_t{1} << kTestPatternCounterBits) - 1;
// Bands move this far a frame; their period.
inline constexpr uint32_t kTestPatternStepPx = 4;
inline constexpr uint32_t kTestPatternPeriodPx = 256;

// The side of a counter block in a picture of this size; 0 when the picture
// is too small to carry the counter.
uint32_t TestPatternBlockSide(uint32_t width, uint32_t height);

// The 32 bits the blocks show for counter n (block 0 = bit 31).
uint32_t TestPatternWord(uint64_t counter);

// One pixel (B, G, R, A) of picture `counter` of this size; the reference
// that RenderTestPattern follows.
std::array<uint8_t, 4> TestPatternPixel(uint64_t counter, uint32_t x, uint32_t y, uint32_t width, uint32_t height);

// Paints picture `counter` into width x height BGRA pixels with rows `pitch`
// bytes apart. Row copies from a precomputed band table, then the blocks: a
// 1920 x 1080 picture costs about one pass of memcpy. Does nothing for a
// null pointer, a zero size or pitch < width x 4.
void RenderTestPattern(uint64_t counter, uint32_t width, uint32_t height, uint8_t* bgra, uint32_t pitch);

// Reads the counter (its low 24 bits) from the Y plane of a picture_w x
// picture_h picture that shows a source_w x source_h pattern letterboxed.
// Each block is judged by the mean luma of a window around its centre (half
// the block's scaled side); nothing when a block is neither clearly white
// nor clearly black, the check bits disagree, the blocks are scaled below
// 3 px, or any argument is null or zero.
std::optional<uint64_t> ReadTestPatternCounter(const uint8_t* luma, uint32_t stride, uint32_t picture_w,
                                               uint32_t picture_h, uint32_t source_w, uint32_t source_h);

// The same from a BGRA picture at the pattern's own size (no letterbox),
// judging the BT.709 luma of its pixels.
std::optional<uint64_t> ReadTestPatternCounterBgra(const uint8_t* bgra, uint32_t pitch, uint32_t width,
                                                   uint32_t height);

// The Y plane a receiver should see for picture `counter` of a source_w x
// source_h pattern shown at picture_w x picture_h: the same bytes as
// RenderTestPattern, ScaleBgraLetterbox and the luma of ConvertBgraToNv12Cpu,
// built directly from tables of the nearest-neighbour mapping (one lookup a
// pixel). The tables are made once per size pair.
class TestPatternLuma {
 public:
  TestPatternLuma(uint32_t source_w, uint32_t source_h, uint32_t picture_w, uint32_t picture_h);

  uint32_t source_width() const { return source_w_; }
  uint32_t source_height() const { return source_h_; }
  uint32_t picture_width() const { return picture_w_; }
  uint32_t picture_height() const { return picture_h_; }

  // Writes picture_h rows of picture_w bytes, `stride` apart (stride >=
  // picture_w). Does nothing for a null pointer or a short stride.
  void Build(uint64_t counter, uint8_t* out, uint32_t stride) const;

 private:
  uint32_t source_w_;
  uint32_t source_h_;
  uint32_t picture_w_;
  uint32_t picture_h_;
  uint32_t x0_ = 0;  // the letterboxed picture inside the frame
  uint32_t y0_ = 0;
  uint32_t w_ = 0;
  uint32_t h_ = 0;
  uint32_t block_ = 0;
  uint32_t grid_columns_ = 0;         // picture columns (from x0) that show the block grid
  std::vector<uint8_t> column_band_;  // per picture column of the fit: source x mod 256
  std::vector<uint8_t> column_block_; // per grid column: the source block column
  std::vector<uint32_t> row_source_;  // per picture row of the fit: source y
};

}  // namespace orvane
