#include "host/input/testing/x11_test_window_linux.h"

#include <algorithm>
#include <type_traits>

// Xlib last: its macros (Success, None, Bool) would clash with the headers above.
#include <X11/Xlib.h>

namespace orvane::testing {

static_assert(std::is_same_v<Window, unsigned long>, "the header keeps the window as unsigned long");

namespace {

constexpr unsigned int kAnyButtonMask = Button1Mask | Button2Mask | Button3Mask | Button4Mask | Button5Mask;

X11WindowEvent Record(const XEvent& e) {
  X11WindowEvent r;
  r.type = e.type;
  if (e.type == ButtonPress || e.type == ButtonRelease) {
    r.detail = e.xbutton.button;
    r.x_root = e.xbutton.x_root;
    r.y_root = e.xbutton.y_root;
  } else if (e.type == KeyPress || e.type == KeyRelease) {
    r.detail = e.xkey.keycode;
    r.x_root = e.xkey.x_root;
    r.y_root = e.xkey.y_root;
  }
  return r;
}

bool IsInput(const X11WindowEvent& e) {
  return e.type == ButtonPress || e.type == ButtonRelease || e.type == KeyPress || e.type == KeyRelease;
}

}  // namespace

X11TestWindow::X11TestWindow(const std::string& display_name) : display_(XOpenDisplay(display_name.c_str())) {}

X11TestWindow::~X11TestWindow() {
  if (display_ == nullptr) return;
  if (window_ != 0) XDestroyWindow(display_, window_);
  XCloseDisplay(display_);
}

X11TestWindow::Pointer X11TestWindow::QueryPointer() {
  Pointer p;
  Window root = 0;
  Window child = 0;
  int win_x = 0;
  int win_y = 0;
  unsigned int mask = 0;
  if (!XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &p.x, &p.y, &win_x, &win_y, &mask)) {
    return Pointer{};
  }
  p.buttons = mask & kAnyButtonMask;
  return p;
}

bool X11TestWindow::WaitForPointerAt(int x, int y) {
  return WaitFor([&] {
    const Pointer now = QueryPointer();
    return now.x == x && now.y == y;
  });
}

bool X11TestWindow::OpenInputWindow() {
  const int screen = DefaultScreen(display_);
  XSetWindowAttributes attributes = {};
  attributes.override_redirect = True;
  attributes.event_mask = ButtonPressMask | ButtonReleaseMask | KeyPressMask | KeyReleaseMask | StructureNotifyMask;
  window_ = XCreateWindow(display_, DefaultRootWindow(display_), 0, 0,
                          static_cast<unsigned int>(DisplayWidth(display_, screen)),
                          static_cast<unsigned int>(DisplayHeight(display_, screen)), 0, CopyFromParent,
                          InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
  if (window_ == 0) return false;
  XMapRaised(display_, window_);
  XSync(display_, False);
  if (!WaitForEventOfType(MapNotify)) return false;
  XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
  XSync(display_, False);
  Window focus = 0;
  int revert = 0;
  XGetInputFocus(display_, &focus, &revert);
  events_.clear();
  return focus == window_;
}

bool X11TestWindow::WaitForEvent(const std::function<bool(const X11WindowEvent&)>& accept) {
  return WaitFor([&] {
    Pump();
    return std::any_of(events_.begin(), events_.end(), accept);
  });
}

bool X11TestWindow::WaitForEventOfType(int type) {
  return WaitForEvent([type](const X11WindowEvent& e) { return e.type == type; });
}

std::vector<std::pair<int, unsigned int>> X11TestWindow::InputEvents() const {
  std::vector<std::pair<int, unsigned int>> out;
  for (const X11WindowEvent& e : events_) {
    if (IsInput(e)) out.emplace_back(e.type, e.detail);
  }
  return out;
}

const X11WindowEvent* X11TestWindow::FirstOfType(int type) const {
  for (const X11WindowEvent& e : events_) {
    if (e.type == type) return &e;
  }
  return nullptr;
}

void X11TestWindow::ClearEvents() { events_.clear(); }

std::vector<X11WindowEvent> X11TestWindow::TakeInputEvents() {
  XSync(display_, False);
  Pump();
  std::vector<X11WindowEvent> out;
  for (const X11WindowEvent& e : events_) {
    if (IsInput(e)) out.push_back(e);
  }
  events_.clear();
  return out;
}

unsigned int X11TestWindow::KeycodeOfKeysym(uint32_t keysym) {
  return keysym == 0 ? 0 : XKeysymToKeycode(display_, static_cast<KeySym>(keysym));
}

std::vector<uint32_t> X11TestWindow::KeysymsOfKey(unsigned int keycode) {
  int per_key = 0;
  KeySym* syms = XGetKeyboardMapping(display_, static_cast<KeyCode>(keycode), 1, &per_key);
  std::vector<uint32_t> out;
  if (syms == nullptr) return out;
  for (int i = 0; i < per_key; ++i) out.push_back(static_cast<uint32_t>(syms[i]));
  XFree(syms);
  return out;
}

void X11TestWindow::Pump() {
  while (XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    events_.push_back(Record(event));
  }
}

}  // namespace orvane::testing
