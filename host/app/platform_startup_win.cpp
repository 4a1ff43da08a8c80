#include "host/app/platform_startup.h"

#include <winsock2.h>
#include <windows.h>
#include <objbase.h>
#include <mfapi.h>

#include "host/common/logger.h"

namespace orvane {

bool StartPlatform() {
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
    LogError("[Main] WSAStartup failed");
    return false;
  }
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    LogError("[Main] CoInitializeEx failed: 0x%08lX", static_cast<unsigned long>(hr));
    WSACleanup();
    return false;
  }
  hr = MFStartup(MF_VERSION, MFSTARTUP_FULL);
  if (FAILED(hr)) {
    LogError("[Main] MFStartup failed: 0x%08lX", static_cast<unsigned long>(hr));
    CoUninitialize();
    WSACleanup();
    return false;
  }
  return true;
}

void StopPlatform() {
  const HRESULT hr = MFShutdown();
  if (FAILED(hr)) LogWarn("[Main] MFShutdown failed: 0x%08lX", static_cast<unsigned long>(hr));
  CoUninitialize();
  if (WSACleanup() != 0) LogWarn("[Main] WSACleanup failed: %d", WSAGetLastError());
}

}  // namespace orvane
