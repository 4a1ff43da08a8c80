#pragma once
// Last words of a crashing host.
//
// Windows: an unhandled-exception filter that restores muted speakers (through
// the hook below), writes a minidump to <data folder>\crashes and logs where it
// went. Linux: a fatal-signal handler (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT)
// on an alternate stack that writes a short note file to the same folder and
// then lets the signal take its default action.
//
// Everything the crash path needs (the folder, the hook) is prepared here at
// install time so that the crash path itself does as little as possible.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>

#include "host/common/clock.h"

namespace orvane {

// Installs the handler with the folder DataSubfolder("crashes").
void InstallCrashHandler();
// Installs the handler writing to the given folder (created when missing).
void InstallCrashHandler(const std::filesystem::path& crash_folder);

// Called on a separate thread by the Windows crash path, which waits for it at
// most kCrashSpeakerRestoreWaitMs; it restores speakers the host has muted and
// returns whether it did. An empty function removes the hook. Set it before a
// crash can happen (the crash path reads it without a lock). The Linux signal
// handler does not run it: starting a thread is not async-signal-safe.
void SetCrashSpeakerRestoreHook(std::function<bool()> hook);
inline constexpr uint32_t kCrashSpeakerRestoreWaitMs = 1500;

// MiniDumpWithIndirectlyReferencedMemory | MiniDumpWithThreadInfo.
inline constexpr uint32_t kCrashDumpType = 0x1040;

#ifdef _WIN32
// Test seams of the Windows filter: prepare the dump folder as the installer
// does (without installing the filter), and run the filter's work as if an
// unhandled exception had arrived; exception_pointers is an
// EXCEPTION_POINTERS* (may be null). Returns the filter's value
// (EXCEPTION_EXECUTE_HANDLER).
void SetCrashFolderForTest(const std::filesystem::path& folder);
long RunCrashFilterForTest(void* exception_pointers);
#endif

// Allocation-free text building for the crash path (usable in a signal
// handler): each appends to buf[0..cap-1] at *pos, keeps buf NUL-terminated
// and drops what does not fit.
namespace crash_text {

inline void Append(char* buf, size_t cap, size_t* pos, const char* text) {
  size_t p = *pos;
  if (p >= cap) return;
  while (*text && p + 1 < cap) buf[p++] = *text++;
  buf[p] = '\0';
  *pos = p;
}

inline void AppendNumber(char* buf, size_t cap, size_t* pos, uint64_t value, int min_digits = 1) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && n < 20);
  while (n < min_digits && n < 20) digits[n++] = '0';
  char text[24];
  for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
  text[n] = '\0';
  Append(buf, cap, pos, text);
}

// "crash_%04d%02d%02d_%02d%02d%02d" + extension (e.g. ".dmp").
inline void AppendCrashFileName(char* buf, size_t cap, size_t* pos, int year, int month, int day, int hour,
                                int minute, int second, const char* extension) {
  const auto part = [&](int value, int digits) {
    AppendNumber(buf, cap, pos, static_cast<uint64_t>(value < 0 ? 0 : value), digits);
  };
  Append(buf, cap, pos, "crash_");
  part(year, 4);
  part(month, 2);
  part(day, 2);
  Append(buf, cap, pos, "_");
  part(hour, 2);
  part(minute, 2);
  part(second, 2);
  Append(buf, cap, pos, extension);
}

}  // namespace crash_text

// UTC calendar time of seconds since 1970 by arithmetic alone (gmtime is not
// async-signal-safe).
struct CrashUtcTime {
  int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

inline CrashUtcTime CrashUtcFromUnixSeconds(int64_t seconds) {
  int64_t days = seconds / 86'400;
  int64_t rest = seconds % 86'400;
  if (rest < 0) {
    rest += 86'400;
    --days;
  }
  CrashUtcTime t;
  CivilFromDays(days, &t.year, &t.month, &t.day);
  t.hour = static_cast<int>(rest / 3600);
  t.minute = static_cast<int>(rest / 60 % 60);
  t.second = static_cast<int>(rest % 60);
  return t;
}

// The Linux note's name: "crash_YYYYMMDD_HHMMSS.txt" in UTC.
inline size_t FormatCrashNoteName(char* buf, size_t cap, int64_t unix_seconds) {
  const CrashUtcTime t = CrashUtcFromUnixSeconds(unix_seconds);
  size_t pos = 0;
  if (cap > 0) buf[0] = '\0';
  crash_text::AppendCrashFileName(buf, cap, &pos, t.year, t.month, t.day, t.hour, t.minute, t.second, ".txt");
  return pos;
}

// The Linux note's text: signal number and name, process id, UTC time.
inline size_t FormatCrashNoteText(char* buf, size_t cap, int signal_number, const char* signal_name, int64_t pid,
                                  int64_t unix_seconds) {
  using namespace crash_text;
  const CrashUtcTime t = CrashUtcFromUnixSeconds(unix_seconds);
  size_t pos = 0;
  if (cap > 0) buf[0] = '\0';
  Append(buf, cap, &pos, "OrvaneHost crashed\nsignal: ");
  AppendNumber(buf, cap, &pos, static_cast<uint64_t>(signal_number < 0 ? 0 : signal_number));
  Append(buf, cap, &pos, " (");
  Append(buf, cap, &pos, signal_name);
  Append(buf, cap, &pos, ")\npid: ");
  AppendNumber(buf, cap, &pos, static_cast<uint64_t>(pid < 0 ? 0 : pid));
  Append(buf, cap, &pos, "\ntime (UTC): ");
  AppendNumber(buf, cap, &pos, static_cast<uint64_t>(t.year), 4);
  Append(buf, cap, &pos, "-");
  AppendNumber(buf, cap, &pos, static_cast<uint64_t>(t.month), 2);
  Append(buf, cap, &pos, "-");
  AppendNumber(buf, cap, &pos, static_cast<uint64_t>(t.day), 2);
  Append(buf, cap, &pos, " ");
  AppendNumber(buf, cap, &pos, static_cast<uint64_t>(t.hour), 2);
  Append(buf, cap, &pos, ":");
  AppendNumber(buf, cap, &pos, static_cast<uint64_t>(t.minute), 2);
  Append(buf, cap, &pos, ":");
  AppendNumber(buf, cap, &pos, static_cast<uint64_t>(t.second), 2);
  Append(buf, cap, &pos, "\n");
  return pos;
}

}  // namespace orvane
