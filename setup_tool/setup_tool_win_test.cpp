// The built OrvaneVddSetup.exe (beside this test program) run as a console
// program: its usage, and status over the system's real device listing.

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "setup_tool/setup_commands.h"
#include "setup_tool/setup_text_win.h"
#include "tests/support/test_support.h"

namespace orvane::vdd_setup {
namespace {

struct ToolRun {
  bool started = false;
  DWORD code = 0;
  std::string out;
  std::string err;
};

std::wstring ToolPath() {
  std::vector<wchar_t> buffer(32768);
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  std::wstring path(buffer.data(), length);
  path.resize(path.find_last_of(L"\\/") + 1);
  return path + L"OrvaneVddSetup.exe";
}

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

HANDLE InheritableFile(const std::filesystem::path& path) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileW(path.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

ToolRun RunTool(const std::wstring& arguments) {
  testing::ScopedTempDir temp;
  const std::filesystem::path out_path = temp.path() / "out.txt";
  const std::filesystem::path err_path = temp.path() / "err.txt";
  ToolRun run;
  const HANDLE out = InheritableFile(out_path);
  const HANDLE err = InheritableFile(err_path);
  if (out == INVALID_HANDLE_VALUE || err == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "cannot create the output files (err=" << GetLastError() << ")";
    return run;
  }
  const std::wstring tool = ToolPath();
  std::wstring command_line = L"\"" + tool + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  if (CreateProcessW(tool.c_str(), command_line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                     &startup, &process)) {
    run.started = WaitForSingleObject(process.hProcess, 120'000) == WAIT_OBJECT_0 &&
                  GetExitCodeProcess(process.hProcess, &run.code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  } else {
    ADD_FAILURE() << "CreateProcessW(" << WideToUtf8(tool) << ") failed (err=" << GetLastError() << ")";
  }
  CloseHandle(out);
  CloseHandle(err);
  run.out = ReadText(out_path);
  run.err = ReadText(err_path);
  return run;
}

TEST(SetupToolWinTest, UsageOnTheRightStream) {
  struct Case {
    const wchar_t* arguments;
    DWORD code;
    bool on_stdout;
  };
  for (const Case& c : {Case{L"", 87, false}, Case{L"help", 0, true}, Case{L"HELP me", 87, false},
                        Case{L"monitors 01", 87, false}}) {
    SCOPED_TRACE(WideToUtf8(c.arguments));
    const ToolRun run = RunTool(c.arguments);
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.code, c.code);
    EXPECT_EQ(c.on_stdout ? run.out : run.err, kUsageLine);
    EXPECT_EQ(c.on_stdout ? run.err : run.out, "");
  }
}

TEST(SetupToolWinTest, StatusListsTheDriverDevices) {
  const ToolRun run = RunTool(L"status");
  ASSERT_TRUE(run.started);
  if (run.code != kExitDone && run.code != kExitNotInstalled) {
    ORVANE_SKIP_UNDER_WINE(("the display-class listing fails here (exit " + std::to_string(run.code) + ": " +
                            run.err + ")")
                               .c_str());
  }
  if (run.code == kExitNotInstalled) {
    const std::string last = "Virtual Display Driver device not installed\n";
    ASSERT_GE(run.out.size(), last.size());
    EXPECT_EQ(run.out.substr(run.out.size() - last.size()), last);
  } else {
    // A machine with the driver installed lists it.
    EXPECT_EQ(run.code, kExitDone) << run.err;
    EXPECT_EQ(run.out.rfind("Virtual Display Driver device ", 0), 0u) << run.out;
  }
}

}  // namespace
}  // namespace orvane::vdd_setup
