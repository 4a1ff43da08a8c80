// Monitors of the X server: its RandR monitors (1.5 and later), read over a
// connection of their own on every call. Without an X display there is no
// desktop to read and the enumeration uses the synthetic monitor.
#include <atomic>

#include "host/common/logger.h"
#include "host/video/capture_x11_linux.h"
#include "host/video/monitor_enumeration.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace orvane {

namespace {

// The mode's refresh rate in Hz, rounded; 0 when its timings are not known.
uint32_t ModeRefreshRate(const XRRScreenResources& resources, RRMode mode) {
  for (int i = 0; i < resources.nmode; ++i) {
    const XRRModeInfo& m = resources.modes[i];
    if (m.id != mode) continue;
    uint64_t frame = static_cast<uint64_t>(m.hTotal) * m.vTotal;
    if (frame == 0) return 0;
    if (m.modeFlags & RR_DoubleScan) frame *= 2;
    uint64_t clock = m.dotClock;
    if (m.modeFlags & RR_Interlace) clock *= 2;
    return static_cast<uint32_t>((clock + frame / 2) / frame);
  }
  return 0;
}

std::string AtomText(Display* display, Atom atom) {
  if (atom == None) return {};
  char* name = XGetAtomName(display, atom);
  if (name == nullptr) return {};
  std::string text(name);
  XFree(name);
  return text;
}

// The first output's name and the refresh rate of the CRTC driving it.
void ReadFirstOutput(Display* display, XRRScreenResources* resources, RROutput output, MonitorInfoData* monitor) {
  if (resources == nullptr || output == None) return;
  XRROutputInfo* info = XRRGetOutputInfo(display, resources, output);
  if (info == nullptr) return;
  if (info->name != nullptr && info->nameLen > 0) monitor->display_name.assign(info->name, info->nameLen);
  if (info->crtc != None) {
    if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, info->crtc)) {
      monitor->refresh_rate = ModeRefreshRate(*resources, crtc->mode);
      XRRFreeCrtcInfo(crtc);
    }
  }
  XRRFreeOutputInfo(info);
}

}  // namespace

std::optional<DesktopScan> ScanDesktopMonitors() {
  std::unique_ptr<x11::Connection> connection = x11::Connection::Open("MonitorEnum");
  if (!connection) return std::nullopt;
  Display* display = connection->display();
  DesktopScan scan;
  if (!x11::HasRandrMonitors(display)) {
    static std::atomic<bool> warned{false};
    if (!warned.exchange(true)) LogWarn("[MonitorEnum] The X server lacks RandR 1.5; no monitors can be read");
    return scan;
  }
  const Window root = DefaultRootWindow(display);
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(display, root, True, &count);
  XRRScreenResources* resources = monitors != nullptr && count > 0 ? XRRGetScreenResourcesCurrent(display, root) : nullptr;
  for (int i = 0; monitors != nullptr && i < count; ++i) {
    const XRRMonitorInfo& m = monitors[i];
    MonitorInfoData monitor;
    monitor.id = AtomText(display, m.name);
    if (monitor.id.empty()) continue;  // a monitor without a readable name cannot be chosen
    monitor.x = m.x;
    monitor.y = m.y;
    monitor.width = m.width;
    monitor.height = m.height;
    monitor.primary = m.primary != 0;
    monitor.refresh_rate = 0;
    monitor.hdr = false;
    monitor.has_output = false;
    monitor.handle = static_cast<uintptr_t>(m.name);
    if (m.noutput > 0 && m.outputs != nullptr) ReadFirstOutput(display, resources, m.outputs[0], &monitor);
    if (monitor.display_name.empty()) monitor.display_name = monitor.id;
    scan.monitors.push_back(std::move(monitor));
  }
  if (resources != nullptr) XRRFreeScreenResources(resources);
  if (monitors != nullptr) XRRFreeMonitors(monitors);
  const x11::Connection::Error error = connection->TakeError();
  if (error.code != 0) {
    // An output or CRTC that went away while it was read: that monitor keeps
    // what could be read; the next enumeration sees the new layout.
    LogDebug("[MonitorEnum] X error %d (request %d.%d) while reading the monitors", error.code, error.request,
             error.minor);
  }
  return scan;
}

}  // namespace orvane
