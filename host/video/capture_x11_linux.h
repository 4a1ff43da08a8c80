#pragma once
// The X server as the Linux build's desktop.
//
// x11::Connection is the connection each X11 back-end (screen copy, pointer,
// monitor scan) opens for itself, to the server named by DISPLAY. Protocol
// errors are recorded for the connection that caused them instead of ending
// the process, and a lost server marks the connection lost (the host goes
// on; the back-end reports it and is re-created).
//
// X11ShmCaptureSource is the screen-copy slot: the monitor's rectangle of the
// root window read with XShmGetImage into MIT-SHM segments taken from a
// FramePool. Each image is one segment; the source detaches its segments from
// the server when it shuts down, and an image released after that only
// unmaps its memory, so it may outlive the source and its connection.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "host/common/clock.h"
#include "host/common/rate_limiter.h"
#include "host/video/capture_source.h"
#include "host/video/frame_pool.h"

// Xlib's display type, without Xlib's macros.
typedef struct _XDisplay Display;

namespace orvane {

namespace x11 {

// True when DISPLAY names a display (set and not empty).
bool DisplayConfigured();

class Connection {
 public:
  // The first protocol error since the last TakeError.
  struct Error {
    int code = 0;  // 0: none
    int request = 0;
    int minor = 0;
    unsigned long count = 0;  // errors recorded since the last TakeError
  };

  // Opens the display named by DISPLAY; null when DISPLAY is not set or the
  // server cannot be reached. `tag` names the user in log lines ("Capture").
  static std::unique_ptr<Connection> Open(const char* tag);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Display* display() const { return display_; }
  Error TakeError();
  // The server went away (the connection cannot be used again).
  bool lost() const;
  const char* tag() const;

  struct State;  // shared with the process-wide error handlers

 private:
  Connection(Display* display, std::shared_ptr<State> state) : display_(display), state_(std::move(state)) {}
  Display* display_;
  std::shared_ptr<State> state_;
};

// RandR 1.5 or later (monitors) on this connection.
bool HasRandrMonitors(Display* display);

}  // namespace x11

class X11ShmCaptureSource final : public ICaptureSource {
 public:
  // The monitor's rectangle is checked against the server at most this often.

  // clock: SystemClock() when null.
  explicit X11ShmCaptureSource(IClock* clock = nullptr);
  ~X11ShmCaptureSource() override;

  CaptureBackendKind Kind() const override { return CaptureBackendKind::kGdi; }
  bool Initialize(const CaptureInitParams& params) override;
  void Shutdown() override;
  CapturedFrame Acquire(uint32_t wait_ms, bool want_texture) override;
  bool GpuHandoff() const override { return false; }
  HostResult LastResult() const override { return result_; }

  struct Impl;

 private:
  CapturedFrame Lost(const char* why);
  CapturedFrame Failed(int code, const std::string& why, bool log);
  bool RectUnchanged();

  IClock& clock_;
  std::unique_ptr<Impl> impl_;
  std::shared_ptr<FramePool<CpuImage>> pool_;
  FrameBufferWarning buffer_warning_;
  RateLimiter failure_limiter_{FrameBufferWarning::kIntervalMs};
  HostResult result_;
};

}  // namespace orvane
