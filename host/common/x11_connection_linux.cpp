#include "host/common/x11_connection_linux.h"

#include "host/common/logger.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <type_traits>
#include <unordered_map>

// Xlib's Success macro would shadow HostResult::Success.
#undef Success

namespace orvane {

namespace x11 {

struct Connection::State {
  explicit State(const char* t) : tag(t) {}
  const char* tag;
  std::mutex mu;
  Connection::Error error;  // guarded by mu
  std::atomic<bool> lost{false};
  std::atomic<bool> lost_logged{false};
};

namespace {

// The connections opened here, for the process-wide handlers (Xlib has one
// error handler per process). Never destroyed: a handler may run during exit.
struct Registry {
  std::mutex mu;
  std::unordered_map<Display*, std::shared_ptr<Connection::State>> states;
};

Registry& Connections() {
  static Registry* registry = new Registry();
  return *registry;
}

std::shared_ptr<Connection::State> Find(Display* display) {
  Registry& r = Connections();
  std::lock_guard<std::mutex> lock(r.mu);
  const auto it = r.states.find(display);
  return it == r.states.end() ? nullptr : it->second;
}

void MarkLost(Connection::State& state) {
  state.lost.store(true);
  if (!state.lost_logged.exchange(true)) {
    LogWarn("[%s] Lost the connection to the X server; the X11 back-end stops until it is re-created", state.tag);
  }
}

// Protocol errors are recorded for the connection that caused them; the
// caller of the failing request reads them back.
int RecordError(Display* display, XErrorEvent* event) {
  std::shared_ptr<Connection::State> state = Find(display);
  if (!state || event == nullptr) return 0;
  std::lock_guard<std::mutex> lock(state->mu);
  if (state->error.count == 0) {
    state->error.code = event->error_code;
    state->error.request = event->request_code;
    state->error.minor = event->minor_code;
  }
  ++state->error.count;
  return 0;
}

// A broken connection: remembered; the process goes on.
int RecordIoError(Display* display) {
  if (std::shared_ptr<Connection::State> state = Find(display)) MarkLost(*state);
  return 0;
}

void KeepRunningAfterIoError(Display*, void* user_data) {
  if (user_data != nullptr) MarkLost(*static_cast<Connection::State*>(user_data));
}

void InstallHandlersOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    XInitThreads();
    XSetErrorHandler(&RecordError);
    XSetIOErrorHandler(&RecordIoError);
  });
}

}  // namespace

bool DisplayConfigured() {
  const char* name = std::getenv("DISPLAY");
  return name != nullptr && name[0] != '\0';
}

std::unique_ptr<Connection> Connection::Open(const char* tag) {
  if (!DisplayConfigured()) return nullptr;
  InstallHandlersOnce();
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return nullptr;
  auto state = std::make_shared<State>(tag);
  {
    Registry& r = Connections();
    std::lock_guard<std::mutex> lock(r.mu);
    r.states[display] = state;
  }
  // The state outlives the display: the registry and this connection hold it
  // until XCloseDisplay has returned.
  XSetIOErrorExitHandler(display, &KeepRunningAfterIoError, state.get());
  return std::unique_ptr<Connection>(new Connection(display, std::move(state)));
}

Connection::~Connection() {
  {
    Registry& r = Connections();
    std::lock_guard<std::mutex> lock(r.mu);
    r.states.erase(display_);
  }
  XCloseDisplay(display_);
}

Connection::Error Connection::TakeError() {
  std::lock_guard<std::mutex> lock(state_->mu);
  Error e = state_->error;
  state_->error = Error{};
  return e;
}

bool Connection::lost() const { return state_->lost.load(); }
const char* Connection::tag() const { return state_->tag; }

bool HasRandrMonitors(Display* display) {
  int event_base = 0;
  int error_base = 0;
  if (!XRRQueryExtension(display, &event_base, &error_base)) return false;
  int major = 0;
  int minor = 0;
  if (!XRRQueryVersion(display, &major, &minor)) return false;
  return major > 1 || (major == 1 && minor >= 5);
}

static_assert(std::is_same_v<Window, unsigned long>, "the header declares Window as unsigned long");

RootSize ReadRootSize(Display* display, Window root) {
  Window root_return = 0;
  int x = 0;
  int y = 0;
  unsigned int width = 0;
  unsigned int height = 0;
  unsigned int border = 0;
  unsigned int depth = 0;
  RootSize size;
  size.ok = XGetGeometry(display, root, &root_return, &x, &y, &width, &height, &border, &depth) != 0;
  size.width = width;
  size.height = height;
  return size;
}

}  // namespace x11

}  // namespace orvane
