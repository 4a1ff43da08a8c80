#pragma once
// A test's own connection to its private X server (tests/support/
// xvfb_server.h), and on it a full-screen window above everything that keeps
// the keyboard focus and records the button and key events it hears: what
// injected input did, as the server delivered it.
//
// Free of Xlib's macros, so it goes with the project's headers; the X
// constants a test compares with (ButtonPress, Button1Mask, ...) come from
// <X11/Xlib.h>, included last.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/support/xvfb_server.h"

// Xlib's display type, without Xlib's macros.
typedef struct _XDisplay Display;

namespace orvane::testing {

// An event the window heard: X's event type and, for button and key events,
// the button or keycode and the pointer's position on the root window.
struct X11WindowEvent {
  int type = 0;
  unsigned int detail = 0;
  int x_root = 0;
  int y_root = 0;
};

class X11TestWindow {
 public:
  // Connects to the display; the window comes with OpenInputWindow.
  explicit X11TestWindow(const std::string& display_name);
  // Destroys the window and closes the connection (before the server ends).
  ~X11TestWindow();
  X11TestWindow(const X11TestWindow&) = delete;
  X11TestWindow& operator=(const X11TestWindow&) = delete;

  bool ok() const { return display_ != nullptr; }

  // The pointer on the root window and the buttons 1 to 5 held (X's
  // Button1Mask ... Button5Mask bits); -1, -1 and none when it cannot be read.
  struct Pointer {
    int x = -1;
    int y = -1;
    unsigned int buttons = 0;
  };
  Pointer QueryPointer();
  // Waits (bounded) until the pointer is on the pixel.
  bool WaitForPointerAt(int x, int y);

  // Opens the window over the whole screen and focuses it; the events so far
  // are forgotten. False when it did not appear in time or got no focus.
  bool OpenInputWindow();

  // Waits (bounded) until an event that `accept` takes has arrived.
  bool WaitForEvent(const std::function<bool(const X11WindowEvent&)>& accept);
  bool WaitForEventOfType(int type);
  // Button and key events in arrival order: (type, button or keycode).
  std::vector<std::pair<int, unsigned int>> InputEvents() const;
  // The first event of the type; null when none arrived.
  const X11WindowEvent* FirstOfType(int type) const;
  void ClearEvents();
  // The button and key events that arrived up to now (after a round trip to
  // the server), forgetting them.
  std::vector<X11WindowEvent> TakeInputEvents();

  // The key the server's keymap puts the keysym on; 0 when none (or keysym 0).
  unsigned int KeycodeOfKeysym(uint32_t keysym);
  // The keysyms on every level of a key.
  std::vector<uint32_t> KeysymsOfKey(unsigned int keycode);

 private:
  // Moves what the server has sent into events_.
  void Pump();

  Display* display_;
  unsigned long window_ = 0;  // Xlib's Window
  std::vector<X11WindowEvent> events_;
};

}  // namespace orvane::testing

// In a test body: a private X server into `xvfb` (the test skips without
// Xvfb), DISPLAY naming it for the rest of the scope (the code under test
// opens "the" display), and the test's own connection `x` to it.
#define ORVANE_X11_TEST_WINDOW(xvfb, x)                                                 \
  ORVANE_START_XVFB_OR_SKIP(xvfb);                                                      \
  ::orvane::testing::ScopedEnv xvfb##_display_env_("DISPLAY", xvfb->display_name());    \
  ::orvane::testing::X11TestWindow x(xvfb->display_name());                             \
  ASSERT_TRUE(x.ok())
