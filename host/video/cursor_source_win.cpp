// The Windows pointer: GetCursorInfo per sample; the picture, only after a
// shape change, from the cursor's icon information (hot spot, masks) and a
// DrawIconEx into a 32-bit DIB section.
#include "host/video/cursor_source.h"

#include <windows.h>

#include <cstring>
#include <exception>

#include "host/common/clock.h"
#include "host/common/logger.h"
#include "host/common/rate_limiter.h"

namespace orvane {

namespace {

// Warnings of the picture path are rate-limited: a cursor that cannot be
// read fails again at its next shape change.
constexpr uint64_t kCursorWarnIntervalMs = 60'000;

// Above this, hot spot and size only, whatever the caller allows: no real
// cursor is that large, and it bounds the allocation.
constexpr int32_t kMaxReadableSide = 2048;

void DeleteGdiObject(HGDIOBJ object, const char* what) {
  if (object != nullptr && !DeleteObject(object)) {
    LogDebug("[Cursor] DeleteObject of the %s failed (%lu)", what, static_cast<unsigned long>(GetLastError()));
  }
}

// The GDI objects of one picture read, released on every path.
class IconBitmaps {
 public:
  IconBitmaps() = default;
  IconBitmaps(const IconBitmaps&) = delete;
  IconBitmaps& operator=(const IconBitmaps&) = delete;
  ~IconBitmaps() {
    // GetIconInfo hands out copies of the cursor's bitmaps: they are ours.
    DeleteGdiObject(info.hbmMask, "cursor mask");
    DeleteGdiObject(info.hbmColor, "cursor colour bitmap");
  }
  ICONINFO info = {};
};

class MemoryDc {
 public:
  MemoryDc() : dc_(CreateCompatibleDC(nullptr)) {}
  MemoryDc(const MemoryDc&) = delete;
  MemoryDc& operator=(const MemoryDc&) = delete;
  ~MemoryDc() {
    if (dc_ != nullptr && !DeleteDC(dc_)) {
      LogDebug("[Cursor] DeleteDC failed (%lu)", static_cast<unsigned long>(GetLastError()));
    }
  }
  HDC get() const { return dc_; }

 private:
  HDC dc_;
};

class GdiObject {
 public:
  explicit GdiObject(HGDIOBJ object) : object_(object) {}
  GdiObject(const GdiObject&) = delete;
  GdiObject& operator=(const GdiObject&) = delete;
  ~GdiObject() {
    DeleteGdiObject(object_, "cursor drawing bitmap");
  }
  HGDIOBJ get() const { return object_; }

 private:
  HGDIOBJ object_;
};

// Restores a DC's previous bitmap before the DC and the bitmap are deleted.
class SelectedObject {
 public:
  SelectedObject(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
  SelectedObject(const SelectedObject&) = delete;
  SelectedObject& operator=(const SelectedObject&) = delete;
  ~SelectedObject() {
    if (ok() && SelectObject(dc_, previous_) == nullptr) {
      LogDebug("[Cursor] Restoring the drawing DC's bitmap failed (%lu)", static_cast<unsigned long>(GetLastError()));
    }
  }
  bool ok() const { return previous_ != nullptr && previous_ != HGDI_ERROR; }

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

BITMAPINFO TopDown32(int32_t width, int32_t height) {
  BITMAPINFO bmi = {};
  bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
  bmi.bmiHeader.biWidth = width;
  bmi.bmiHeader.biHeight = -height;  // top row first
  bmi.bmiHeader.biPlanes = 1;
  bmi.bmiHeader.biBitCount = 32;
  bmi.bmiHeader.biCompression = BI_RGB;
  return bmi;
}

// A 1-bit DIB header with room for its two-entry colour table.
struct MonoBitmapInfo {
  BITMAPINFOHEADER header;
  RGBQUAD colors[2];
};

class WinCursorSource final : public ICursorSource {
 public:
  WinCursorSource() {
    struct Entry {
      LPCWSTR id;
      StandardCursor cursor;
    };
    static const Entry kStandard[] = {
        {IDC_ARROW, StandardCursor::kArrow},     {IDC_HAND, StandardCursor::kHand},
        {IDC_IBEAM, StandardCursor::kText},      {IDC_WAIT, StandardCursor::kWait},
        {IDC_CROSS, StandardCursor::kCross},     {IDC_SIZEWE, StandardCursor::kResizeEw},
        {IDC_SIZENS, StandardCursor::kResizeNs}, {IDC_SIZENESW, StandardCursor::kResizeNesw},
        {IDC_SIZENWSE, StandardCursor::kResizeNwse}, {IDC_SIZEALL, StandardCursor::kMove},
        {IDC_NO, StandardCursor::kNotAllowed},   {IDC_APPSTARTING, StandardCursor::kProgress},
    };
    size_t n = 0;
    for (const Entry& e : kStandard) {
      // Shared system cursors: never destroyed.
      HCURSOR handle = LoadCursorW(nullptr, e.id);
      if (handle == nullptr) {
        LogWarn("[Cursor] LoadCursorW(%u) failed (%lu); that shape is sent as custom",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(e.id)),
                static_cast<unsigned long>(GetLastError()));
        continue;
      }
      standard_[n++] = {handle, e.cursor};
    }
    standard_count_ = n;
  }

  bool Sample(CursorSample* out) override {
    if (out == nullptr) return false;
    CURSORINFO ci = {};
    ci.cbSize = sizeof(ci);
    if (!GetCursorInfo(&ci)) {
      const DWORD error = GetLastError();
      uint64_t suppressed = 0;
      if (sample_warn_.Allow(TickCountMs(), &suppressed)) {
        LogWarn("[Cursor] GetCursorInfo failed (%lu; %llu more suppressed)", static_cast<unsigned long>(error),
                static_cast<unsigned long long>(suppressed));
      }
      return false;
    }
    last_ = ci.hCursor;
    out->x = ci.ptScreenPos.x;
    out->y = ci.ptScreenPos.y;
    out->visible = (ci.flags & CURSOR_SHOWING) != 0;
    out->shape_key = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(ci.hCursor));
    out->standard = StandardOf(ci.hCursor);
    return true;
  }

  bool ReadShape(uint32_t max_side, CursorShapeData* out) override {
    if (out == nullptr || last_ == nullptr) return false;
    *out = CursorShapeData{};
    try {
      return ReadShapeOf(last_, max_side, out);
    } catch (const std::exception& e) {
      // Bounded sizes make this an out-of-memory case; the GDI objects are
      // released by their owners while unwinding.
      LogWarn("[Cursor] Reading the cursor picture failed: %s", e.what());
      *out = CursorShapeData{};
      return false;
    }
  }

 private:
  bool ReadShapeOf(HCURSOR cursor, uint32_t max_side, CursorShapeData* out) {
    IconBitmaps icon;
    if (!GetIconInfo(cursor, &icon.info)) {
      Warn("GetIconInfo failed", GetLastError());
      return false;
    }
    out->hotspot_x = static_cast<int32_t>(icon.info.xHotspot);
    out->hotspot_y = static_cast<int32_t>(icon.info.yHotspot);

    const bool monochrome = icon.info.hbmColor == nullptr;
    BITMAP mask = {};
    if (icon.info.hbmMask == nullptr || GetObjectA(icon.info.hbmMask, sizeof(mask), &mask) == 0) {
      if (icon.info.hbmMask != nullptr) Warn("GetObjectA of the cursor mask failed", GetLastError());
      return false;  // a cursor without a mask has no picture to read
    }
    int32_t width = mask.bmWidth;
    int32_t height = mask.bmHeight;
    if (monochrome) {
      height = mask.bmHeight / 2;  // AND mask on top, XOR mask below
    } else {
      BITMAP color = {};
      if (GetObjectA(icon.info.hbmColor, sizeof(color), &color) == 0) {
        Warn("GetObjectA of the cursor colour bitmap failed", GetLastError());
        return false;
      }
      width = color.bmWidth;
      height = color.bmHeight;
    }
    if (width <= 0 || height <= 0) return false;
    out->width = static_cast<uint32_t>(width);
    out->height = static_cast<uint32_t>(height);
    if (out->width > max_side || out->height > max_side || width > kMaxReadableSide || height > kMaxReadableSide) {
      return true;  // the size is known; the picture is not read
    }

    MemoryDc dc;
    if (dc.get() == nullptr) {
      Warn("CreateCompatibleDC failed", GetLastError());
      return true;
    }
    std::vector<uint32_t> pixels;
    if (!DrawCursor(dc.get(), cursor, width, height, &pixels)) return true;
    std::vector<uint8_t> and_mask;
    std::vector<uint32_t> xor_pixels;
    if (ReadMasks(dc.get(), icon.info, mask, width, height, &and_mask, &xor_pixels)) {
      out->and_mask = std::move(and_mask);
      out->xor_pixels = std::move(xor_pixels);
    }
    out->pixels = std::move(pixels);
    return true;
  }

  struct StandardEntry {
    HCURSOR handle = nullptr;
    StandardCursor cursor = StandardCursor::kCustom;
  };

  StandardCursor StandardOf(HCURSOR handle) const {
    if (handle == nullptr) return StandardCursor::kCustom;
    for (size_t i = 0; i < standard_count_; ++i) {
      if (standard_[i].handle == handle) return standard_[i].cursor;
    }
    return StandardCursor::kCustom;
  }

  void Warn(const char* what, DWORD error) {
    uint64_t suppressed = 0;
    if (shape_warn_.Allow(TickCountMs(), &suppressed)) {
      LogWarn("[Cursor] %s (%lu); the shape is sent without its picture (%llu more suppressed)", what,
              static_cast<unsigned long>(error), static_cast<unsigned long long>(suppressed));
    }
  }

  // The cursor drawn normally into a zero-filled top-down 32-bit image.
  bool DrawCursor(HDC dc, HCURSOR cursor, int32_t width, int32_t height, std::vector<uint32_t>* pixels) {
    BITMAPINFO bmi = TopDown32(width, height);
    void* bits = nullptr;
    GdiObject dib(CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (dib.get() == nullptr || bits == nullptr) {
      Warn("CreateDIBSection failed", GetLastError());
      return false;
    }
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    std::memset(bits, 0, count * sizeof(uint32_t));
    SelectedObject selected(dc, dib.get());
    if (!selected.ok()) {
      Warn("SelectObject of the cursor bitmap failed", GetLastError());
      return false;
    }
    if (!DrawIconEx(dc, 0, 0, cursor, width, height, 0, nullptr, DI_NORMAL)) {
      Warn("DrawIconEx failed", GetLastError());
      return false;
    }
    // The drawing may still sit in the thread's GDI batch; the pixels are
    // read straight from the section's memory.
    if (!GdiFlush()) {
      Warn("GdiFlush after DrawIconEx failed", GetLastError());
      return false;
    }
    pixels->resize(count);
    std::memcpy(pixels->data(), bits, count * sizeof(uint32_t));
    return true;
  }

  // The AND mask (0/1 per pixel) and the XOR colour of each pixel: the
  // colour bitmap's colour, or the lower half of a monochrome mask.
  bool ReadMasks(HDC dc, const ICONINFO& info, const BITMAP& mask, int32_t width, int32_t height,
                 std::vector<uint8_t>* and_mask, std::vector<uint32_t>* xor_pixels) {
    const bool monochrome = info.hbmColor == nullptr;
    const int32_t mask_rows = monochrome ? height * 2 : height;
    if (mask.bmWidth != width || mask.bmHeight < mask_rows) return false;  // masks that do not fit the picture
    std::vector<uint8_t> mask_bits;  // one entry per pixel of the mask bitmap, 0 or 1
    if (!ReadMaskBits(dc, info.hbmMask, mask.bmBitsPixel, width, mask_rows, &mask_bits)) return false;
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    and_mask->assign(mask_bits.begin(), mask_bits.begin() + static_cast<std::ptrdiff_t>(count));
    xor_pixels->resize(count);
    if (monochrome) {
      for (size_t i = 0; i < count; ++i) (*xor_pixels)[i] = mask_bits[count + i] ? 0x00FFFFFFu : 0u;
      return true;
    }
    BITMAPINFO bmi = TopDown32(width, height);
    if (GetDIBits(dc, info.hbmColor, 0, static_cast<UINT>(height), xor_pixels->data(), &bmi, DIB_RGB_COLORS) !=
        height) {
      Warn("GetDIBits of the cursor colour bitmap failed", GetLastError());
      return false;
    }
    for (uint32_t& p : *xor_pixels) p &= 0x00FFFFFFu;
    return true;
  }

  // A mask bitmap as one 0/1 entry per pixel, top row first. Monochrome
  // masks are read at 1 bit per pixel (the colour table says which index is
  // set); any other depth at 32 bits, where a non-black pixel is set.
  bool ReadMaskBits(HDC dc, HBITMAP bitmap, WORD depth, int32_t width, int32_t rows, std::vector<uint8_t>* out) {
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(rows);
    out->assign(count, 0);
    if (depth == 1) {
      MonoBitmapInfo bmi = {};
      bmi.header.biSize = sizeof(bmi.header);
      bmi.header.biWidth = width;
      bmi.header.biHeight = -rows;
      bmi.header.biPlanes = 1;
      bmi.header.biBitCount = 1;
      bmi.header.biCompression = BI_RGB;
      const size_t stride = ((static_cast<size_t>(width) + 31) / 32) * 4;  // DWORD-aligned rows
      std::vector<uint8_t> bits(stride * static_cast<size_t>(rows));
      if (GetDIBits(dc, bitmap, 0, static_cast<UINT>(rows), bits.data(), reinterpret_cast<BITMAPINFO*>(&bmi),
                    DIB_RGB_COLORS) != rows) {
        Warn("GetDIBits of the cursor mask failed", GetLastError());
        return false;
      }
      auto set = [](const RGBQUAD& c) { return c.rgbRed != 0 || c.rgbGreen != 0 || c.rgbBlue != 0; };
      const bool index_set[2] = {set(bmi.colors[0]), set(bmi.colors[1])};
      for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* row = bits.data() + static_cast<size_t>(y) * stride;
        for (int32_t x = 0; x < width; ++x) {
          const int bit = (row[x / 8] >> (7 - x % 8)) & 1;
          (*out)[static_cast<size_t>(y) * width + x] = index_set[bit] ? 1 : 0;
        }
      }
      return true;
    }
    BITMAPINFO bmi = TopDown32(width, rows);
    std::vector<uint32_t> pixels(count);
    if (GetDIBits(dc, bitmap, 0, static_cast<UINT>(rows), pixels.data(), &bmi, DIB_RGB_COLORS) != rows) {
      Warn("GetDIBits of the cursor mask failed", GetLastError());
      return false;
    }
    for (size_t i = 0; i < count; ++i) (*out)[i] = (pixels[i] & 0x00FFFFFFu) != 0 ? 1 : 0;
    return true;
  }

  StandardEntry standard_[12];
  size_t standard_count_ = 0;
  HCURSOR last_ = nullptr;
  RateLimiter sample_warn_{kCursorWarnIntervalMs};
  RateLimiter shape_warn_{kCursorWarnIntervalMs};
};

}  // namespace

std::unique_ptr<ICursorSource> MakePlatformCursorSource() { return std::make_unique<WinCursorSource>(); }

}  // namespace orvane
