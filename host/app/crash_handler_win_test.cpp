#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <vector>

#include "host/app/crash_handler.h"
#include "host/common/file_io.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

std::vector<std::filesystem::path> DumpsIn(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
    const std::string name = PathToUtf8(e.path().filename());
    if (name.rfind("crash_", 0) == 0 && name.size() == 25 && name.substr(21) == ".dmp") out.push_back(e.path());
  }
  return out;
}

TEST(CrashHandlerWinTest, FilterRestoresSpeakersWritesDumpAndLogs) {
  testing::ScopedTempDir dir;
  testing::LogCapture capture;
  const auto folder = dir.path() / "crashes";
  std::atomic<int> hook_calls{0};
  SetCrashSpeakerRestoreHook([&] {
    ++hook_calls;
    return true;
  });

  CONTEXT context{};
  RtlCaptureContext(&context);
  EXCEPTION_RECORD record{};
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  record.ExceptionAddress = reinterpret_cast<void*>(context.Rip);
  EXCEPTION_POINTERS pointers{&record, &context};
  SetCrashFolderForTest(folder);
  EXPECT_EQ(RunCrashFilterForTest(&pointers), EXCEPTION_EXECUTE_HANDLER);
  SetCrashSpeakerRestoreHook(nullptr);

  EXPECT_EQ(hook_calls.load(), 1);
  const auto dumps = DumpsIn(folder);
  ASSERT_EQ(dumps.size(), 1u);
  const FileReadResult dump = ReadFileBounded(dumps[0], 512u << 20);
  ASSERT_EQ(dump.status, FileReadStatus::kOk);
  EXPECT_EQ(dump.bytes.substr(0, 4), "MDMP");
  EXPECT_EQ(capture.Count("[ERROR] [Crash] Unhandled exception captured. Dump written to: " + PathToUtf8(dumps[0])),
            1u);
}

TEST(CrashHandlerWinTest, DumpFileThatCannotBeCreatedIsLogged) {
  testing::ScopedTempDir dir;
  testing::LogCapture capture;
  const auto folder = dir.path() / "crashes";
  SetCrashFolderForTest(folder);
  std::filesystem::remove_all(folder);  // gone after the folder was prepared
  EXPECT_EQ(RunCrashFilterForTest(nullptr), EXCEPTION_EXECUTE_HANDLER);
  EXPECT_EQ(capture.Count("[ERROR] [Crash] Failed to create dump file at " + PathToUtf8(folder) + "\\crash_"), 1u);
  EXPECT_EQ(capture.Count("(err=0x00000003)"), 1u);  // ERROR_PATH_NOT_FOUND
}

}  // namespace
}  // namespace orvane
