#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <vector>

#include "host/app/crash_handler.h"
#include "host/common/file_io.h"
#include "tests/support/test_support.h"

namespace orvane {
namespace {

std::vector<std::filesystem::path> NotesIn(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("crash_", 0) == 0 && name.size() == 25 && name.substr(21) == ".txt") out.push_back(e.path());
  }
  return out;
}

TEST(CrashHandlerLinuxDeathTest, FatalSignalWritesNoteAndKeepsTheDefaultAction) {
  // "fast" style: the child is a fork of this test, so it sees the same folder.
  const std::string saved_style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "fast");
  const struct {
    int sig;
    const char* name;
  } cases[] = {{SIGSEGV, "SIGSEGV"}, {SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScopedTempDir dir;
    const auto folder = dir.path() / "crashes";
    EXPECT_EXIT(
        {
          InstallCrashHandler(folder);
          raise(c.sig);
        },
        ::testing::KilledBySignal(c.sig), std::string("\\[Crash\\] Fatal signal ") + c.name + "\\. Note written to");
    const auto notes = NotesIn(folder);
    ASSERT_EQ(notes.size(), 1u);
    const FileReadResult text = ReadFileBounded(notes[0], 4096);
    ASSERT_EQ(text.status, FileReadStatus::kOk);
    EXPECT_NE(text.bytes.find("signal: " + std::to_string(c.sig) + " (" + c.name + ")\npid: "), std::string::npos)
        << text.bytes;
    EXPECT_NE(text.bytes.find("time (UTC): "), std::string::npos);
  }
  GTEST_FLAG_SET(death_test_style, saved_style);
}

}  // namespace
}  // namespace orvane
