#include <windows.h>

#include <shellapi.h>

#include <algorithm>

#include "setup_tool/setup_console.h"
#include "setup_tool/setup_text_win.h"

namespace orvane::vdd_setup {

std::vector<std::string> ProgramArguments(int, char**) {
  // The narrow arguments lose what the code page cannot show; the wide
  // command line keeps every path as typed.
  std::vector<std::string> args;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) {
    WriteStandardStream(true, "Reading the command line failed (err=" + std::to_string(GetLastError()) + ")\n");
    return args;
  }
  for (int i = 1; i < count; ++i) args.push_back(WideToUtf8(wide[i]));
  LocalFree(wide);
  return args;
}

void WriteStandardStream(bool error_stream, std::string_view text) {
  const HANDLE stream = GetStdHandle(error_stream ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  if (stream == nullptr || stream == INVALID_HANDLE_VALUE || text.empty()) return;
  DWORD mode = 0;
  if (GetConsoleMode(stream, &mode)) {
    // A console shows UTF-16 as it is, whatever its code page.
    const std::wstring wide = Utf8ToWide(text);
    size_t done = 0;
    while (done < wide.size()) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(wide.size() - done, 8192));
      if (!WriteConsoleW(stream, wide.data() + done, chunk, &written, nullptr) || written == 0) return;
      done += written;
    }
    return;
  }
  // A pipe or file (the host reading the tool's lines) gets the UTF-8 bytes.
  size_t done = 0;
  while (done < text.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 65536));
    if (!WriteFile(stream, text.data() + done, chunk, &written, nullptr) || written == 0) return;
    done += written;
  }
}

int FinishRun(uint32_t exit_code) { return static_cast<int>(exit_code); }

}  // namespace orvane::vdd_setup
