// speaker_state.ini held open by another program (a scanner, a backup) is
// unreadable, not absent, and is not replaced.

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>

#include "host/audio/mute_record_store.h"
#include "tests/support/test_support.h"

namespace orvane::host_output_mute {
namespace {

TEST(FileMuteRecordStoreWin, AFileHeldWithoutSharingIsUnreadableAndKept) {
  testing::ScopedTempDir dir;
  const auto path = dir.path() / kMuteRecordFileName;
  MuteRecord earlier;
  earlier.device_id = u"{speakers}";
  const std::string text = FormatMuteRecord(earlier);
  {
    std::ofstream out(path, std::ios::binary);
    out << text;
  }
  HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  FileMuteRecordStore store(path);
  testing::LogCapture log;
  EXPECT_EQ(store.Load().status, MuteRecordLoad::kUnreadable);
  MuteRecord other;
  other.device_id = u"{headset}";
  EXPECT_FALSE(store.Save(other, nullptr));
  CloseHandle(held);

  const auto loaded = store.Load();
  ASSERT_EQ(loaded.status, MuteRecordLoad::kLoaded);
  EXPECT_EQ(loaded.record.device_id, u"{speakers}");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "speaker_state.ini.tmp"));
}

}  // namespace
}  // namespace orvane::host_output_mute
