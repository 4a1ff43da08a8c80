// The X server's pointer: XQueryPointer per sample; the shape follows the
// XFixes cursor-change events (the cursor serial is the shape key), and the
// picture is read with XFixesGetCursorImage only after a change.
#include <optional>
#include <unordered_map>

#include "host/common/clock.h"
#include "host/common/logger.h"
#include "host/common/rate_limiter.h"
#include "host/video/capture_x11_linux.h"
#include "host/video/cursor_source.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

namespace orvane {

namespace {

// Above this, hot spot and size only, whatever the caller allows: no real
// cursor is that large, and it bounds the allocation.
constexpr uint32_t kMaxReadableSide = 2048;
// Cursor names seen (atoms of the server); a bounded cache.
constexpr size_t kMaxCachedNames = 256;
constexpr uint64_t kCursorWarnIntervalMs = 60'000;

class X11CursorSource final : public ICursorSource {
 public:
  static std::unique_ptr<X11CursorSource> Create() {
    std::unique_ptr<x11::Connection> connection = x11::Connection::Open("Cursor");
    if (!connection) return nullptr;
    Display* display = connection->display();
    int event_base = 0;
    int error_base = 0;
    int major = 0;
    int minor = 0;
    if (!XFixesQueryExtension(display, &event_base, &error_base) || !XFixesQueryVersion(display, &major, &minor) ||
        major < 2) {
      LogWarn("[Cursor] The X server lacks XFixes 2; the pointer is not tracked");
      return nullptr;
    }
    const Window root = DefaultRootWindow(display);
    XFixesSelectCursorInput(display, root, XFixesDisplayCursorNotifyMask);
    XSync(display, False);
    const x11::Connection::Error error = connection->TakeError();
    if (error.code != 0 || connection->lost()) {
      LogWarn("[Cursor] Selecting cursor events failed (X error %d)", error.code);
      return nullptr;
    }
    return std::unique_ptr<X11CursorSource>(new X11CursorSource(std::move(connection), root, event_base));
  }

  bool Sample(CursorSample* out) override {
    if (out == nullptr || connection_->lost()) return false;
    Display* display = connection_->display();
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type != event_base_ + XFixesCursorNotify) continue;
      const auto& notify = reinterpret_cast<const XFixesCursorNotifyEvent&>(event);
      serial_ = notify.cursor_serial;
      standard_ = StandardFromAtom(notify.cursor_name);
      have_shape_ = true;
    }
    if (!have_shape_ && !ReadCurrentShape()) return false;
    Window root_return = 0;
    Window child = 0;
    int root_x = 0;
    int root_y = 0;
    int win_x = 0;
    int win_y = 0;
    unsigned int mask = 0;
    const Bool on_screen =
        XQueryPointer(display, root_, &root_return, &child, &root_x, &root_y, &win_x, &win_y, &mask);
    const x11::Connection::Error error = connection_->TakeError();
    if (!on_screen || error.code != 0 || connection_->lost()) return false;
    out->x = root_x;
    out->y = root_y;
    out->visible = true;
    out->shape_key = serial_;
    out->standard = standard_;
    return true;
  }

  bool ReadShape(uint32_t max_side, CursorShapeData* out) override {
    if (out == nullptr || connection_->lost()) return false;
    if (cached_ && cached_serial_ == serial_) {
      *out = std::move(*cached_);
      cached_.reset();
      return Trim(max_side, out);
    }
    cached_.reset();
    CursorShapeData shape;
    uint64_t serial = 0;
    StandardCursor standard = StandardCursor::kCustom;
    if (!ReadImage(&shape, &serial, &standard)) return false;
    *out = std::move(shape);
    return Trim(max_side, out);
  }

 private:
  X11CursorSource(std::unique_ptr<x11::Connection> connection, Window root, int event_base)
      : connection_(std::move(connection)), root_(root), event_base_(event_base) {}

  // The first sample learns the shape shown now; its picture is kept for the
  // ReadShape that follows.
  bool ReadCurrentShape() {
    CursorShapeData shape;
    uint64_t serial = 0;
    StandardCursor standard = StandardCursor::kCustom;
    if (!ReadImage(&shape, &serial, &standard)) return false;
    serial_ = serial;
    standard_ = standard;
    have_shape_ = true;
    cached_ = std::move(shape);
    cached_serial_ = serial;
    return true;
  }

  bool ReadImage(CursorShapeData* shape, uint64_t* serial, StandardCursor* standard) {
    Display* display = connection_->display();
    XFixesCursorImage* image = XFixesGetCursorImage(display);
    const x11::Connection::Error error = connection_->TakeError();
    if (image == nullptr || error.code != 0) {
      if (image != nullptr) XFree(image);
      uint64_t suppressed = 0;
      if (warn_limiter_.Allow(TickCountMs(), &suppressed)) {
        LogWarn("[Cursor] XFixesGetCursorImage failed (X error %d; %llu similar suppressed)", error.code,
                static_cast<unsigned long long>(suppressed));
      }
      return false;
    }
    *serial = image->cursor_serial;
    *standard = image->name != nullptr ? StandardCursorFromXName(image->name) : StandardCursor::kCustom;
    shape->hotspot_x = image->xhot;
    shape->hotspot_y = image->yhot;
    shape->width = image->width;
    shape->height = image->height;
    shape->pixels.clear();
    shape->and_mask.clear();
    shape->xor_pixels.clear();
    if (image->pixels != nullptr && shape->width <= kMaxReadableSide && shape->height <= kMaxReadableSide) {
      const size_t count = static_cast<size_t>(shape->width) * shape->height;
      shape->pixels.resize(count);
      // Premultiplied ARGB in the low 32 bits of each unsigned long; the
      // upper half carries no meaning (and is not always zero).
      for (size_t i = 0; i < count; ++i) shape->pixels[i] = static_cast<uint32_t>(image->pixels[i] & 0xFFFFFFFFul);
    }
    XFree(image);
    return true;
  }

  // Pixels only when both sides are at most max_side.
  static bool Trim(uint32_t max_side, CursorShapeData* out) {
    if (out->width > max_side || out->height > max_side) out->pixels.clear();
    return true;
  }

  StandardCursor StandardFromAtom(Atom atom) {
    if (atom == None) return StandardCursor::kCustom;
    const auto it = names_.find(atom);
    if (it != names_.end()) return it->second;
    StandardCursor standard = StandardCursor::kCustom;
    if (char* name = XGetAtomName(connection_->display(), atom)) {
      standard = StandardCursorFromXName(name);
      XFree(name);
    }
    connection_->TakeError();
    if (names_.size() >= kMaxCachedNames) names_.clear();
    names_.emplace(atom, standard);
    return standard;
  }

  std::unique_ptr<x11::Connection> connection_;
  Window root_;
  int event_base_;
  bool have_shape_ = false;
  uint64_t serial_ = 0;
  StandardCursor standard_ = StandardCursor::kCustom;
  std::optional<CursorShapeData> cached_;
  uint64_t cached_serial_ = 0;
  std::unordered_map<Atom, StandardCursor> names_;
  RateLimiter warn_limiter_{kCursorWarnIntervalMs};
};

}  // namespace

std::unique_ptr<ICursorSource> MakePlatformCursorSource() { return X11CursorSource::Create(); }

}  // namespace orvane
