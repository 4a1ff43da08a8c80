#include "host/input/testing/key_window_win.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "host/common/platform_info.h"

namespace orvane::testing {

namespace {

constexpr const wchar_t* kClassName = L"OrvaneTestKeyWindow";

}  // namespace

void PumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

bool WaitForCursorAt(LONG x, LONG y, POINT* at) {
  *at = {-1, -1};
  return PumpMessagesUntil([&] { return GetCursorPos(at) && at->x == x && at->y == y; });
}

const char* UnderWineNote() { return RunningUnderWine() ? " (under Wine)" : ""; }

void ExpectKeyDownThenUp(const std::vector<KeyMessage>& keys) {
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0].message, static_cast<UINT>(WM_KEYDOWN));
  EXPECT_EQ(keys[1].message, static_cast<UINT>(WM_KEYUP));
}

KeyWindow::KeyWindow() {
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = &KeyWindow::Proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = kClassName;
  atom_ = RegisterClassExW(&wc);
  if (atom_ == 0) return;
  // The window finds this object through its creation parameter.
  hwnd_ = CreateWindowExW(WS_EX_TOPMOST, kClassName, L"keys", WS_POPUP | WS_VISIBLE, 100, 100, 400, 300, nullptr,
                          nullptr, wc.hInstance, this);
  if (hwnd_ == nullptr) return;
  focused_ = WaitFor([&] {
    SetForegroundWindow(hwnd_);
    SetFocus(hwnd_);
    PumpMessages();
    return GetForegroundWindow() == hwnd_ && GetFocus() == hwnd_;
  });
  keys_.clear();
}

KeyWindow::~KeyWindow() {
  if (hwnd_ != nullptr) DestroyWindow(hwnd_);
  PumpMessages();
  if (atom_ != 0) UnregisterClassW(kClassName, GetModuleHandleW(nullptr));
}

bool KeyWindow::WaitForKeyUp() {
  return PumpMessagesUntil([&] {
    return std::any_of(keys_.begin(), keys_.end(), [](const KeyMessage& k) { return k.message == WM_KEYUP; });
  });
}

LRESULT CALLBACK KeyWindow::Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<KeyWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self != nullptr &&
      (message == WM_KEYDOWN || message == WM_KEYUP || message == WM_SYSKEYDOWN || message == WM_SYSKEYUP)) {
    self->keys_.push_back({message, wparam, lparam});
    return 0;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

}  // namespace orvane::testing
