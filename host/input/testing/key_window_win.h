#pragma once
// The Windows display tests' desktop helpers: a topmost window of the test's
// own with the keyboard focus that records the key messages it receives, and
// the waits that pump the thread's messages meanwhile. Everything here runs
// on the test's thread.

#include <windows.h>

#include <vector>

#include "tests/support/test_support.h"

namespace orvane::testing {

// Dispatches every message waiting for this thread.
void PumpMessages();

// Waits (bounded, as WaitFor) until the condition holds, pumping this
// thread's messages before each look.
template <typename Pred>
bool PumpMessagesUntil(Pred pred) {
  return WaitFor([&] {
    PumpMessages();
    return pred();
  });
}

// Pumps until the cursor is on the pixel; *at receives where it was last seen
// ({-1, -1} when it could not be read).
bool WaitForCursorAt(LONG x, LONG y, POINT* at);

// " (under Wine)" under Wine, "" elsewhere: for the lines a test prints about
// what this Windows did.
const char* UnderWineNote();

// A key message the window received.
struct KeyMessage {
  UINT message;
  WPARAM wparam;
  LPARAM lparam;

  // Bits 16 to 23 of lParam.
  unsigned scan_code() const { return static_cast<unsigned>((lparam >> 16) & 0xFF); }
  // Bit 24 of lParam.
  bool extended() const { return (lparam & (1 << 24)) != 0; }
};

// Checks that the messages are one WM_KEYDOWN and then one WM_KEYUP (a
// Google Test check: wrap it in ASSERT_NO_FATAL_FAILURE to stop on a miss).
void ExpectKeyDownThenUp(const std::vector<KeyMessage>& keys);

// A topmost window with the keyboard focus. One at a time: its window class
// is registered for the object's life.
class KeyWindow {
 public:
  KeyWindow();
  ~KeyWindow();
  KeyWindow(const KeyWindow&) = delete;
  KeyWindow& operator=(const KeyWindow&) = delete;

  // The window exists and got the focus in time.
  bool ok() const { return hwnd_ != nullptr && focused_; }

  // WM_KEYDOWN, WM_KEYUP, WM_SYSKEYDOWN and WM_SYSKEYUP in arrival order.
  const std::vector<KeyMessage>& keys() const { return keys_; }
  void ClearKeys() { keys_.clear(); }

  // Pumps until a key-up message has arrived.
  bool WaitForKeyUp();

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

  ATOM atom_ = 0;
  HWND hwnd_ = nullptr;
  bool focused_ = false;
  std::vector<KeyMessage> keys_;
};

}  // namespace orvane::testing
