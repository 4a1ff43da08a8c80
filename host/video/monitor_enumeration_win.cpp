// Monitors of the desktop: the GDI monitor list, and the DXGI outputs that
// drive them (which adapter, whether the output runs in HDR).
//
// The scan only reads; the portable CompleteMonitorList numbers the monitors,
// normalises refresh rates, fills in missing names and matches outputs.
#include "host/video/monitor_enumeration.h"

#include <windows.h>

#include <dxgi1_6.h>
#include <wrl/client.h>

#include <cwchar>
#include <exception>

#include "host/common/clock.h"
#include "host/common/logger.h"
#include "host/common/rate_limiter.h"
#include "host/common/win_text.h"

namespace orvane {

namespace {

using Microsoft::WRL::ComPtr;

// DXGI_COLOR_SPACE_RGB_FULL_G2084_NONE_P2020: the HDR10 colour space.
constexpr int kHdr10ColorSpace = 12;

// Safety bound on adapters and outputs: a misbehaving driver that never ends
// its enumeration must not hang the scan.
constexpr UINT kMaxDxgiItems = 64;

// Enumerations are polled; a platform call that keeps failing is reported
// once a minute.
constexpr uint64_t kScanWarnIntervalMs = 60'000;

RateLimiter& ScanWarnLimiter() {
  static RateLimiter* limiter = new RateLimiter(kScanWarnIntervalMs);  // never destroyed: scans may run during exit
  return *limiter;
}

// An unexpected DXGI failure: it ends (or narrows) the output map, so the
// monitors it hides are listed without an output.
void WarnDxgi(const char* what, UINT adapter, UINT output, HRESULT hr) {
  uint64_t suppressed = 0;
  if (ScanWarnLimiter().Allow(TickCountMs(), &suppressed)) {
    LogWarn("[MonitorEnum] %s failed (adapter %u, output %u): 0x%08lX (%llu more suppressed)", what, adapter, output,
            static_cast<unsigned long>(hr), static_cast<unsigned long long>(suppressed));
  }
}

std::string WideFieldToUtf8(const wchar_t* text, size_t capacity) {
  return FromWide(std::wstring_view(text, wcsnlen(text, capacity)));
}

uint64_t LuidValue(const LUID& luid) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(luid.HighPart)) << 32) | luid.LowPart;
}

bool OutputIsHdr(IDXGIOutput* output) {
  ComPtr<IDXGIOutput6> output6;
  const HRESULT qi = output->QueryInterface(__uuidof(IDXGIOutput6), reinterpret_cast<void**>(output6.GetAddressOf()));
  if (FAILED(qi) || !output6) {
    // Older systems: no colour-space query, so no HDR.
    LogDebug("[MonitorEnum] IDXGIOutput6 not available: 0x%08lX", static_cast<unsigned long>(qi));
    return false;
  }
  DXGI_OUTPUT_DESC1 desc1 = {};
  const HRESULT hr = output6->GetDesc1(&desc1);
  if (FAILED(hr)) {
    LogDebug("[MonitorEnum] IDXGIOutput6::GetDesc1 failed: 0x%08lX", static_cast<unsigned long>(hr));
    return false;
  }
  return static_cast<int>(desc1.ColorSpace) == kHdr10ColorSpace;
}

// Every output of every adapter, in enumeration order.
std::vector<MonitorOutputRecord> ScanOutputs() {
  std::vector<MonitorOutputRecord> outputs;
  ComPtr<IDXGIFactory1> factory;
  HRESULT hr = CreateDXGIFactory1(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(factory.GetAddressOf()));
  if (FAILED(hr) || !factory) {
    LogWarn("[MonitorEnum] Failed to create DXGI factory: 0x%08lX", static_cast<unsigned long>(hr));
    return outputs;
  }
  for (UINT i = 0; i < kMaxDxgiItems; ++i) {
    ComPtr<IDXGIAdapter1> adapter;
    hr = factory->EnumAdapters1(i, adapter.GetAddressOf());
    if (FAILED(hr) || !adapter) {
      // Not found ends the list; any other failure ends it too, since the
      // adapters after it cannot be told apart from a broken enumeration.
      if (hr != DXGI_ERROR_NOT_FOUND) WarnDxgi("IDXGIFactory1::EnumAdapters1", i, 0, hr);
      break;
    }
    uint64_t luid = 0;
    DXGI_ADAPTER_DESC1 adapter_desc = {};
    hr = adapter->GetDesc1(&adapter_desc);
    if (SUCCEEDED(hr)) {
      luid = LuidValue(adapter_desc.AdapterLuid);
    } else {
      WarnDxgi("IDXGIAdapter1::GetDesc1", i, 0, hr);  // its outputs are still recorded, with LUID 0
    }
    for (UINT j = 0; j < kMaxDxgiItems; ++j) {
      ComPtr<IDXGIOutput> output;
      hr = adapter->EnumOutputs(j, output.GetAddressOf());
      if (FAILED(hr) || !output) {
        if (hr != DXGI_ERROR_NOT_FOUND) WarnDxgi("IDXGIAdapter::EnumOutputs", i, j, hr);
        break;
      }
      DXGI_OUTPUT_DESC desc = {};
      hr = output->GetDesc(&desc);
      if (FAILED(hr)) {
        WarnDxgi("IDXGIOutput::GetDesc", i, j, hr);
        continue;  // an output without a name cannot be matched; the next one may be
      }
      MonitorOutputRecord record;
      record.device_name = WideFieldToUtf8(desc.DeviceName, sizeof(desc.DeviceName) / sizeof(desc.DeviceName[0]));
      record.adapter_index = i;
      record.output_index = j;
      record.adapter_luid = luid;
      record.hdr = OutputIsHdr(output.Get());
      outputs.push_back(std::move(record));
    }
  }
  return outputs;
}

// The description of the first display device attached to a source; empty
// when it cannot be read.
std::string MonitorDescription(const wchar_t* device) {
  DISPLAY_DEVICEW dd = {};
  dd.cb = sizeof(dd);
  if (!EnumDisplayDevicesW(device, 0, &dd, 0)) {
    LogDebug("[MonitorEnum] EnumDisplayDevicesW(%s, 0) failed (%lu)", FromWide(device).c_str(),
             static_cast<unsigned long>(GetLastError()));
    return {};
  }
  return WideFieldToUtf8(dd.DeviceString, sizeof(dd.DeviceString) / sizeof(dd.DeviceString[0]));
}

// The source's current refresh rate; 0 when it cannot be read.
uint32_t CurrentRefreshRate(const wchar_t* device) {
  DEVMODEW mode = {};
  mode.dmSize = sizeof(mode);
  if (!EnumDisplaySettingsW(device, ENUM_CURRENT_SETTINGS, &mode)) {
    LogDebug("[MonitorEnum] EnumDisplaySettingsW(%s) failed (%lu)", FromWide(device).c_str(),
             static_cast<unsigned long>(GetLastError()));
    return 0;
  }
  return static_cast<uint32_t>(mode.dmDisplayFrequency);
}

void CollectMonitorInfo(HMONITOR monitor, std::vector<MonitorInfoData>* monitors) {
  MONITORINFOEXW info = {};
  info.cbSize = sizeof(info);
  if (!GetMonitorInfoW(monitor, &info)) {
    LogDebug("[MonitorEnum] GetMonitorInfoW failed (%lu); monitor skipped", static_cast<unsigned long>(GetLastError()));
    return;  // the others may still be readable
  }
  const size_t device_capacity = sizeof(info.szDevice) / sizeof(info.szDevice[0]);
  info.szDevice[device_capacity - 1] = L'\0';
  MonitorInfoData m;
  m.id = WideFieldToUtf8(info.szDevice, device_capacity);
  m.x = info.rcMonitor.left;
  m.y = info.rcMonitor.top;
  m.width = info.rcMonitor.right - info.rcMonitor.left;
  m.height = info.rcMonitor.bottom - info.rcMonitor.top;
  m.primary = (info.dwFlags & MONITORINFOF_PRIMARY) != 0;
  m.display_name = MonitorDescription(info.szDevice);
  m.refresh_rate = CurrentRefreshRate(info.szDevice);
  m.handle = reinterpret_cast<uintptr_t>(monitor);
  monitors->push_back(std::move(m));
}

// The enumeration's callback: nothing may unwind through the system's frames.
BOOL CALLBACK CollectMonitor(HMONITOR monitor, HDC, LPRECT, LPARAM param) {
  try {
    CollectMonitorInfo(monitor, reinterpret_cast<std::vector<MonitorInfoData>*>(param));
    return TRUE;
  } catch (const std::exception& e) {
    LogError("[MonitorEnum] Reading a monitor failed: %s; enumeration stopped", e.what());
    return FALSE;
  }
}

}  // namespace

std::optional<DesktopScan> ScanDesktopMonitors() {
  DesktopScan scan;
  scan.outputs = ScanOutputs();
  if (!EnumDisplayMonitors(nullptr, nullptr, &CollectMonitor, reinterpret_cast<LPARAM>(&scan.monitors))) {
    const DWORD error = GetLastError();
    uint64_t suppressed = 0;
    if (ScanWarnLimiter().Allow(TickCountMs(), &suppressed)) {
      LogWarn("[MonitorEnum] EnumDisplayMonitors failed (%lu); %llu monitors read (%llu more suppressed)",
              static_cast<unsigned long>(error), static_cast<unsigned long long>(scan.monitors.size()),
              static_cast<unsigned long long>(suppressed));
    }
  }
  return scan;
}

}  // namespace orvane
