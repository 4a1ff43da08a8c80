#include "host/video/capture_x11_linux.h"

#include "host/common/logger.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xrandr.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

// Xlib's Success macro would shadow HostResult::Success.
#undef Success

namespace orvane {


// ====================================================================
// Shared-memory images
// ====================================================================

namespace {

constexpr const char* kSourceName = "X11 capture";

// One MIT-SHM segment holding one image. While attached, the server may
// write into it; the source detaches every segment at shutdown, so a
// segment that outlives the source is plain memory that only needs unmapping.
class ShmImage final : public CpuImage {
 public:
  static std::unique_ptr<ShmImage> Create(x11::Connection& connection, Visual* visual, int depth, uint32_t width,
                                          uint32_t height, std::string* why) {
    Display* display = connection.display();
    auto info = std::make_unique<XShmSegmentInfo>();
    info->shmid = -1;
    info->shmaddr = nullptr;
    info->readOnly = False;
    XImage* image = XShmCreateImage(display, visual, static_cast<unsigned int>(depth), ZPixmap, nullptr, info.get(),
                                    width, height);
    if (image == nullptr) {
      *why = "XShmCreateImage failed";
      return nullptr;
    }
    const uint64_t bytes = static_cast<uint64_t>(static_cast<uint32_t>(image->bytes_per_line)) * height;
    if (image->bits_per_pixel != 32 || image->bytes_per_line < static_cast<int>(width) * 4 || bytes == 0 ||
        bytes > static_cast<uint64_t>(SIZE_MAX)) {
      *why = "unexpected image layout (bpp=" + std::to_string(image->bits_per_pixel) +
             " stride=" + std::to_string(image->bytes_per_line) + ")";
      FreeXImage(image);
      return nullptr;
    }
    info->shmid = shmget(IPC_PRIVATE, static_cast<size_t>(bytes), IPC_CREAT | 0600);
    if (info->shmid < 0) {
      *why = std::string("shmget failed: ") + std::strerror(errno);
      FreeXImage(image);
      return nullptr;
    }
    void* address = shmat(info->shmid, nullptr, 0);
    // Marked for removal at once: the segment goes with its last mapping,
    // even if the process dies. Linux lets the server attach it afterwards.
    const int attach_errno = errno;
    shmctl(info->shmid, IPC_RMID, nullptr);
    if (address == reinterpret_cast<void*>(-1)) {
      *why = std::string("shmat failed: ") + std::strerror(attach_errno);
      FreeXImage(image);
      return nullptr;
    }
    info->shmaddr = static_cast<char*>(address);
    image->data = info->shmaddr;
    connection.TakeError();
    const Status attached = XShmAttach(display, info.get());
    XSync(display, False);
    const x11::Connection::Error error = connection.TakeError();
    if (!attached || error.code != 0 || connection.lost()) {
      *why = connection.lost() ? "the X server connection was lost"
                               : "XShmAttach failed (X error " + std::to_string(error.code) + ")";
      if (attached && error.code == 0 && !connection.lost()) XShmDetach(display, info.get());
      FreeXImage(image);
      shmdt(address);
      return nullptr;
    }
    return std::unique_ptr<ShmImage>(new ShmImage(std::move(info), image, display, width, height));
  }

  ~ShmImage() override {
    if (attached_to_ != nullptr) XShmDetach(attached_to_, info_.get());
    FreeXImage(image_);
    if (info_->shmaddr != nullptr) shmdt(info_->shmaddr);
  }

  XImage* ximage() { return image_; }

  // The server lets go of the segment; the pixels stay readable. With the
  // server gone there is nothing to tell it.
  void DetachFromServer(bool server_alive) {
    if (attached_to_ != nullptr && server_alive) XShmDetach(attached_to_, info_.get());
    attached_to_ = nullptr;
  }

 private:
  ShmImage(std::unique_ptr<XShmSegmentInfo> info, XImage* image, Display* display, uint32_t width, uint32_t height)
      : CpuImage(reinterpret_cast<uint8_t*>(info->shmaddr), image->bytes_per_line, width, height),
        info_(std::move(info)),
        image_(image),
        attached_to_(display) {}

  // The image structure only: its pixels are the segment, and its obdata
  // points at our segment record.
  static void FreeXImage(XImage* image) {
    if (image == nullptr) return;
    image->data = nullptr;
    image->obdata = nullptr;
    XDestroyImage(image);
  }

  std::unique_ptr<XShmSegmentInfo> info_;
  XImage* image_;
  Display* attached_to_;  // the source's display while the server may use the segment
};

}  // namespace

// ====================================================================
// X11ShmCaptureSource
// ====================================================================

struct X11ShmCaptureSource::Impl {
  std::unique_ptr<x11::Connection> connection;
  Window root = 0;
  Visual* visual = nullptr;
  int depth = 0;
  std::string monitor_id;
  int32_t left = 0;
  int32_t top = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  Atom monitor_atom = 0;  // the RandR monitor of that name; 0 when it was not one
  MonitorRectCheck rect_check;
};

namespace {

struct MonitorRect {
  bool found = false;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

MonitorRect FindMonitor(Display* display, Window root, Atom name) {
  MonitorRect rect;
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(display, root, True, &count);
  if (monitors == nullptr) return rect;
  for (int i = 0; i < count; ++i) {
    if (monitors[i].name != name) continue;
    rect.found = true;
    rect.x = monitors[i].x;
    rect.y = monitors[i].y;
    rect.width = monitors[i].width;
    rect.height = monitors[i].height;
    break;
  }
  XRRFreeMonitors(monitors);
  return rect;
}

bool Inside(int64_t left, int64_t top, int64_t width, int64_t height, const x11::RootSize& root) {
  return left >= 0 && top >= 0 && left + width <= root.width && top + height <= root.height;
}

}  // namespace

X11ShmCaptureSource::X11ShmCaptureSource(IClock* clock) : clock_(clock ? *clock : SystemClock()) {}

X11ShmCaptureSource::~X11ShmCaptureSource() { Shutdown(); }

bool X11ShmCaptureSource::Initialize(const CaptureInitParams& params) {
  Shutdown();
  const char* id = params.monitor_id.c_str();
  if (!CaptureSizeAcceptable(params.Width(), params.Height())) {
    LogWarn("[Capture] GDI fallback has no valid monitor rectangle for %s", id);
    result_ = HostResult::Failure(1, "monitor rectangle out of range", kEInvalidArg);
    return false;
  }
  auto impl = std::make_unique<Impl>();
  impl->connection = x11::Connection::Open("Capture");
  if (!impl->connection) {
    const char* name = std::getenv("DISPLAY");
    LogWarn("[Capture] X11 capture cannot open the X display %s", EscapeUntrusted(name ? name : "").c_str());
    result_ = HostResult::Failure(2, "cannot open the X display");
    return false;
  }
  Display* display = impl->connection->display();
  if (!XShmQueryExtension(display)) {
    LogWarn("[Capture] X11 capture: the X server has no MIT-SHM extension");
    result_ = HostResult::Failure(2, "the X server has no MIT-SHM extension", kENotImpl);
    return false;
  }
  const int screen = DefaultScreen(display);
  impl->root = RootWindow(display, screen);
  impl->visual = DefaultVisual(display, screen);
  impl->depth = DefaultDepth(display, screen);
  int bits_per_pixel = 0;
  int format_count = 0;
  if (XPixmapFormatValues* formats = XListPixmapFormats(display, &format_count)) {
    for (int i = 0; i < format_count; ++i) {
      if (formats[i].depth == impl->depth) bits_per_pixel = formats[i].bits_per_pixel;
    }
    XFree(formats);
  }
  const Visual* v = impl->visual;
  const bool bgra = v != nullptr && v->red_mask == 0xFF0000ul && v->green_mask == 0xFF00ul && v->blue_mask == 0xFFul &&
                    bits_per_pixel == 32 && (impl->depth == 24 || impl->depth == 32) &&
                    ImageByteOrder(display) == LSBFirst;
  if (!bgra) {
    LogWarn("[Capture] X11 capture needs a 32-bit BGRA visual (depth=%d bpp=%d masks=%06lx/%06lx/%06lx %s)",
            impl->depth, bits_per_pixel, v ? v->red_mask : 0ul, v ? v->green_mask : 0ul, v ? v->blue_mask : 0ul,
            ImageByteOrder(display) == LSBFirst ? "lsb-first" : "msb-first");
    result_ = HostResult::Failure(2, "no 32-bit BGRA visual", kENotImpl);
    return false;
  }
  const x11::RootSize root = x11::ReadRootSize(display, impl->root);
  if (!root.ok || !Inside(params.left, params.top, params.Width(), params.Height(), root)) {
    LogWarn("[Capture] X11 capture: rectangle %ld,%ld %lldx%lld of %s lies outside the root window %ux%u",
            static_cast<long>(params.left), static_cast<long>(params.top), static_cast<long long>(params.Width()),
            static_cast<long long>(params.Height()), id, root.width, root.height);
    result_ = HostResult::Failure(1, "monitor rectangle outside the root window", kEInvalidArg);
    return false;
  }
  if (!params.monitor_id.empty() && x11::HasRandrMonitors(display)) {
    const Atom atom = XInternAtom(display, id, True);
    if (atom != None && FindMonitor(display, impl->root, atom).found) impl->monitor_atom = atom;
  }
  const x11::Connection::Error error = impl->connection->TakeError();
  if (error.code != 0 || impl->connection->lost()) {
    LogWarn("[Capture] X11 capture set-up failed (X error %d, request %d.%d)", error.code, error.request, error.minor);
    result_ = HostResult::Failure(2, "X error during set-up");
    return false;
  }
  impl->monitor_id = params.monitor_id;
  impl->left = params.left;
  impl->top = params.top;
  impl->width = static_cast<uint32_t>(params.Width());
  impl->height = static_cast<uint32_t>(params.Height());
  impl->rect_check.Restart(clock_.TickMs());
  impl_ = std::move(impl);
  pool_ = FramePool<CpuImage>::Create();
  result_ = HostResult::Success();
  LogInfo("[Capture] X11 shared-memory capture initialized (monitor=%s rect=%ld,%ld %ux%u)", id,
          static_cast<long>(impl_->left), static_cast<long>(impl_->top), impl_->width, impl_->height);
  return true;
}

void X11ShmCaptureSource::Shutdown() {
  if (impl_ && pool_) {
    // Held images stay readable; only the server's mappings go.
    const bool alive = !impl_->connection->lost();
    pool_->ForEachEntry([alive](CpuImage& entry) { static_cast<ShmImage&>(entry).DetachFromServer(alive); });
    if (alive) XSync(impl_->connection->display(), False);
  }
  pool_.reset();  // images handed out keep their entries (and the pool) alive
  impl_.reset();
}

CapturedFrame X11ShmCaptureSource::Lost(const char* why) {
  result_ = HostResult::Failure(4, why);
  CapturedFrame frame;
  frame.status = CaptureStatus::kLost;
  return frame;
}

CapturedFrame X11ShmCaptureSource::Failed(int code, const std::string& why, bool log) {
  result_ = HostResult::Failure(code, why);
  uint64_t suppressed = 0;
  if (log && failure_limiter_.Allow(clock_.TickMs(), &suppressed)) {
    LogWarn("[Capture] X11 capture failed: %s (%llu similar suppressed)", why.c_str(),
            static_cast<unsigned long long>(suppressed));
  }
  CapturedFrame frame;
  frame.status = CaptureStatus::kFailed;
  return frame;
}

bool X11ShmCaptureSource::RectUnchanged() {
  Display* display = impl_->connection->display();
  const x11::RootSize root = x11::ReadRootSize(display, impl_->root);
  bool unchanged = root.ok && Inside(impl_->left, impl_->top, impl_->width, impl_->height, root);
  MonitorRect now;
  if (unchanged && impl_->monitor_atom != 0) {
    now = FindMonitor(display, impl_->root, impl_->monitor_atom);
    unchanged = now.found && now.x == impl_->left && now.y == impl_->top &&
                static_cast<int64_t>(now.width) == impl_->width && static_cast<int64_t>(now.height) == impl_->height;
  }
  impl_->connection->TakeError();
  if (!unchanged && !impl_->connection->lost()) {
    if (impl_->monitor_atom != 0 && root.ok && !now.found) {
      LogInfo("[Capture] X11 capture: monitor %s is gone", impl_->monitor_id.c_str());
    } else {
      LogInfo("[Capture] X11 capture: monitor %s changed (now %d,%d %dx%d, root %ux%u)", impl_->monitor_id.c_str(),
              now.x, now.y, now.width, now.height, root.width, root.height);
    }
  }
  return unchanged;
}

CapturedFrame X11ShmCaptureSource::Acquire(uint32_t, bool) {
  if (!impl_) return Lost("not initialized");
  x11::Connection& connection = *impl_->connection;
  if (connection.lost()) return Lost("the X server connection was lost");
  const uint64_t now = clock_.TickMs();
  if (impl_->rect_check.Due(now)) {
    if (!RectUnchanged()) {
      return Lost(connection.lost() ? "the X server connection was lost" : "the monitor rectangle changed");
    }
  }
  const uint32_t width = impl_->width;
  const uint32_t height = impl_->height;
  std::string why;
  Impl& impl = *impl_;
  FramePoolTake took = FramePoolTake::kOk;
  std::shared_ptr<CpuImage> entry = pool_->Take(
      FramePoolKey{width, height, 0},
      [&impl, &why](const FramePoolKey& key) -> std::unique_ptr<CpuImage> {
        return ShmImage::Create(*impl.connection, impl.visual, impl.depth, key.width, key.height, &why);
      },
      &took);
  if (!entry) {
    if (connection.lost()) return Lost("the X server connection was lost");
    if (took == FramePoolTake::kCreateFailed) {
      uint64_t suppressed = 0;
      if (failure_limiter_.Allow(now, &suppressed)) {
        LogWarn("[Capture] X11 capture: shared-memory image %ux%u: %s (%llu similar suppressed)", width, height,
                why.c_str(), static_cast<unsigned long long>(suppressed));
      }
    }
    buffer_warning_.Report(kSourceName, took, width, height, now);
    return Failed(took == FramePoolTake::kAllHeld ? 3 : 2,
                  took == FramePoolTake::kAllHeld ? "every frame buffer is held" : "no shared-memory image", false);
  }
  ShmImage& image = static_cast<ShmImage&>(*entry);
  connection.TakeError();
  const Status got = XShmGetImage(connection.display(), impl_->root, image.ximage(), impl_->left, impl_->top, AllPlanes);
  const x11::Connection::Error error = connection.TakeError();
  if (connection.lost()) return Lost("the X server connection was lost");
  if (error.code == BadMatch) {
    LogInfo("[Capture] X11 capture: the rectangle of %s no longer fits the root window", impl_->monitor_id.c_str());
    return Lost("the rectangle no longer fits the root window");
  }
  if (!got || error.code != 0) {
    return Failed(5, "XShmGetImage failed (X error " + std::to_string(error.code) + ")", true);
  }
  result_ = HostResult::Success();
  CapturedFrame frame;
  frame.status = CaptureStatus::kFrame;
  frame.width = width;
  frame.height = height;
  frame.image = std::move(entry);
  return frame;
}

}  // namespace orvane
