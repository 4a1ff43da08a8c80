#pragma once
// x11::Connection is the connection each X11 user (screen copy, pointer,
// monitor scan, input injection) opens for itself, to the server named by
// DISPLAY. Protocol errors are recorded for the connection that caused them
// instead of ending the process, and a lost server marks the connection lost
// (the host goes on; the user reports it and is re-created).

#include <atomic>
#include <cstdint>
#include <memory>

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

// A root window's size as the server reports it now (XGetGeometry); ok is
// false when the request failed.
struct RootSize {
  bool ok = false;
  uint32_t width = 0;
  uint32_t height = 0;
};
// `root` is the root window's id (Xlib's Window, an unsigned long).
RootSize ReadRootSize(Display* display, unsigned long root);

}  // namespace x11

}  // namespace orvane
