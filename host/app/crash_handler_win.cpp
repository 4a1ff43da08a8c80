// The unhandled-exception filter of the Windows build: restore muted speakers,
// write a minidump, log where it went, end the process. The folder is prepared
// at install time; the crash path builds paths in fixed buffers and logs only
// if the logger's lock is free (the crashing thread may hold it).
#include <windows.h>

#include <dbghelp.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <exception>
#include <string>

#include "host/app/crash_handler.h"
#include "host/common/data_folder.h"
#include "host/common/file_io.h"
#include "host/common/logger.h"

namespace orvane {

namespace {

constexpr size_t kPathChars = 1024;

wchar_t g_folder_wide[kPathChars] = L".";
char g_folder_utf8[kPathChars * 3] = ".";
std::atomic<std::function<bool()>*> g_hook{nullptr};
std::atomic<bool> g_in_filter{false};

DWORD WINAPI SpeakerRestoreThread(LPVOID) {
  std::function<bool()>* hook = g_hook.load();
  if (!hook) return 0;
  try {
    return (*hook)() ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

void RestoreSpeakers() {
  if (!g_hook.load()) return;
  HANDLE thread = CreateThread(nullptr, 0, SpeakerRestoreThread, nullptr, 0, nullptr);
  if (!thread) {
    Logger::Instance().LogIfUnlocked(LogLevel::kError, "[Crash] Failed to start speaker restore (err=0x%08lX)",
                                     GetLastError());
    return;
  }
  if (WaitForSingleObject(thread, kCrashSpeakerRestoreWaitMs) != WAIT_OBJECT_0) {
    Logger::Instance().LogIfUnlocked(LogLevel::kWarn, "[Crash] Speaker restore did not finish within %u ms",
                                     static_cast<unsigned>(kCrashSpeakerRestoreWaitMs));
  }
  CloseHandle(thread);
}

void WriteDump(EXCEPTION_POINTERS* exception_pointers) {
  SYSTEMTIME st{};
  GetLocalTime(&st);
  char name[64];
  size_t name_len = 0;
  crash_text::AppendCrashFileName(name, sizeof name, &name_len, st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                                  st.wSecond, ".dmp");

  // folder + "\" + name, wide for the call and UTF-8 for the log line.
  wchar_t path_wide[kPathChars + 80];
  size_t w = 0;
  for (const wchar_t* p = g_folder_wide; *p && w + 1 < kPathChars; ++p) path_wide[w++] = *p;
  path_wide[w++] = L'\\';
  for (size_t i = 0; i < name_len; ++i) path_wide[w++] = static_cast<wchar_t>(name[i]);  // ASCII
  path_wide[w] = L'\0';
  char path_utf8[sizeof g_folder_utf8 + 80];
  size_t u = 0;
  crash_text::Append(path_utf8, sizeof path_utf8, &u, g_folder_utf8);
  crash_text::Append(path_utf8, sizeof path_utf8, &u, "\\");
  crash_text::Append(path_utf8, sizeof path_utf8, &u, name);

  HANDLE file = CreateFileW(path_wide, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Logger::Instance().LogIfUnlocked(LogLevel::kError, "[Crash] Failed to create dump file at %s (err=0x%08lX)",
                                     path_utf8, GetLastError());
    return;
  }
  MINIDUMP_EXCEPTION_INFORMATION info{};
  info.ThreadId = GetCurrentThreadId();
  info.ExceptionPointers = exception_pointers;
  info.ClientPointers = FALSE;
  const BOOL ok = MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file,
                                    static_cast<MINIDUMP_TYPE>(kCrashDumpType),
                                    exception_pointers ? &info : nullptr, nullptr, nullptr);
  const DWORD err = ok ? 0 : GetLastError();
  CloseHandle(file);
  if (ok) {
    Logger::Instance().LogIfUnlocked(LogLevel::kError, "[Crash] Unhandled exception captured. Dump written to: %s",
                                     path_utf8);
  } else {
    Logger::Instance().LogIfUnlocked(LogLevel::kError, "[Crash] MiniDumpWriteDump failed (err=0x%08lX)", err);
  }
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* exception_pointers) {
  // A second thread crashing meanwhile waits: the first one ends the process.
  if (g_in_filter.exchange(true)) {
    Sleep(INFINITE);
  }
  RestoreSpeakers();
  WriteDump(exception_pointers);
  return EXCEPTION_EXECUTE_HANDLER;
}

void SetFolder(const std::filesystem::path& crash_folder) {
  std::filesystem::path folder = crash_folder;
  if (!EnsureDirectory(folder)) {
    LogWarn("[Crash] Failed to create crash folder %s; using the current directory", PathToUtf8(folder).c_str());
    folder = ".";
  }
  const std::wstring wide = folder.wstring();
  const std::string utf8 = PathToUtf8(folder);
  if (wide.size() >= kPathChars || utf8.size() >= sizeof g_folder_utf8) {
    LogWarn("[Crash] Crash folder path too long (%zu characters); using the current directory", wide.size());
    wcscpy(g_folder_wide, L".");
    std::memcpy(g_folder_utf8, ".", 2);
    return;
  }
  std::wmemcpy(g_folder_wide, wide.c_str(), wide.size() + 1);
  std::memcpy(g_folder_utf8, utf8.c_str(), utf8.size() + 1);
}

}  // namespace

void InstallCrashHandler() { InstallCrashHandler(DataSubfolder("crashes")); }

void InstallCrashHandler(const std::filesystem::path& crash_folder) {
  SetFolder(crash_folder);
  SetUnhandledExceptionFilter(CrashFilter);  // returns the previous filter; nothing to check
}

void SetCrashSpeakerRestoreHook(std::function<bool()> hook) {
  auto* next = hook ? new std::function<bool()>(std::move(hook)) : nullptr;
  delete g_hook.exchange(next);
}

void SetCrashFolderForTest(const std::filesystem::path& folder) { SetFolder(folder); }

long RunCrashFilterForTest(void* exception_pointers) {
  const LONG result = CrashFilter(static_cast<EXCEPTION_POINTERS*>(exception_pointers));
  g_in_filter.store(false);
  return result;
}

}  // namespace orvane
