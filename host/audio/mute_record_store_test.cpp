// speaker_state.ini: the exact text written, what reading accepts and
// refuses, and the file store on the disk.

#include "host/audio/mute_record_store.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>

#include "tests/support/test_support.h"

namespace orvane::host_output_mute {
namespace {

std::string Valid(const std::string& volume_line = "volume_millionths=500000") {
  return "# Orvane Display: speaker state to restore\ndevice=0041\nmuted=0\n" + volume_line + "\n";
}

TEST(MuteRecordFormat, WritesTheExactText) {
  MuteRecord r;
  r.device_id = u"{0.0}";
  r.muted = true;
  r.volume = 0.5f;
  EXPECT_EQ(FormatMuteRecord(r),
            "# Orvane Display: speaker state to restore\n"
            "device=007b0030002e0030007d\n"
            "muted=1\n"
            "volume_millionths=500000\n");
}

TEST(MuteRecordFormat, VolumeIsStoredInMillionths) {
  struct Case {
    float volume;
    uint32_t millionths;
  };
  const Case cases[] = {
      {0.5f, 500'000},
      {1.0f, 1'000'000},
      {0.0f, 0},
      {0.123456789f, 123'457},
      {1.5f, 1'000'000},
      {-0.25f, 0},
      {std::numeric_limits<float>::quiet_NaN(), 0},
      {std::numeric_limits<float>::infinity(), 0},
      {-std::numeric_limits<float>::infinity(), 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(VolumeToMillionths(c.volume), c.millionths) << c.volume;
    MuteRecord r;
    r.device_id = u"A";
    r.volume = c.volume;
    const auto parsed = ParseMuteRecord(FormatMuteRecord(r));
    ASSERT_TRUE(parsed.has_value()) << c.volume;
    EXPECT_FLOAT_EQ(parsed->volume, static_cast<float>(c.millionths / 1e6)) << c.volume;
  }
}

TEST(MuteRecordFormat, DeviceIdsAreUtf16CodeUnitsInHex) {
  struct Case {
    std::u16string id;
    const char* hex;
  };
  const Case cases[] = {
      {u"A", "0041"},
      {u"\u00e9", "00e9"},
      {u"\U0001F50A", "d83ddd0a"},  // a surrogate pair: two units
      {u"{0.0.0.00000000}", "007b0030002e0030002e0030002e00300030003000300030003000300030007d"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EncodeDeviceId(c.id), c.hex);
    const auto decoded = DecodeDeviceId(c.hex);
    ASSERT_TRUE(decoded.has_value()) << c.hex;
    EXPECT_EQ(*decoded, c.id) << c.hex;
    MuteRecord r;
    r.device_id = c.id;
    const auto parsed = ParseMuteRecord(FormatMuteRecord(r));
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->device_id, c.id);
  }
  EXPECT_EQ(DecodeDeviceId("00E9"), std::u16string(u"\u00e9"));  // either case reads
}

TEST(MuteRecordParse, AcceptsAndRefuses) {
  struct Case {
    const char* name;
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"as written", Valid(), true},
      {"CR LF and a trailing empty line",
       "# Orvane Display: speaker state to restore\r\ndevice=0041\r\nmuted=0\r\n"
       "volume_millionths=500000\r\n\r\n",
       true},
      {"no final line end", "device=0041\nmuted=1\nvolume_millionths=1", true},
      {"unknown keys and comments", "#x\nfoo=bar\n\ndevice=00E9\nmuted=1\nvolume_millionths=0000000\n", true},
      {"volume 1000000", Valid("volume_millionths=1000000"), true},
      {"volume 1000001", Valid("volume_millionths=1000001"), false},
      {"volume of 8 digits", Valid("volume_millionths=00000001"), false},
      {"empty volume", Valid("volume_millionths="), false},
      {"signed volume", Valid("volume_millionths=+5"), false},
      {"muted=2", "device=0041\nmuted=2\nvolume_millionths=5\n", false},
      {"muted=01", "device=0041\nmuted=01\nvolume_millionths=5\n", false},
      {"6-digit device", "device=004142\nmuted=0\nvolume_millionths=5\n", false},
      {"empty device", "device=\nmuted=0\nvolume_millionths=5\n", false},
      {"non-hex device", "device=00g1\nmuted=0\nvolume_millionths=5\n", false},
      {"missing muted", "device=0041\nvolume_millionths=5\n", false},
      {"missing device", "muted=0\nvolume_millionths=5\n", false},
      {"missing volume", "device=0041\nmuted=0\n", false},
      {"line without =", Valid() + "junk\n", false},
      {"empty file", "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseMuteRecord(c.text).has_value(), c.valid) << c.name;
  }
  const auto r = ParseMuteRecord(Valid());
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->device_id, u"A");
  EXPECT_FALSE(r->muted);
  EXPECT_FLOAT_EQ(r->volume, 0.5f);
}

TEST(MuteRecordParse, RefusesMoreThan4096Bytes) {
  const std::string base = Valid();
  // A long comment pads the file to exactly 4096 bytes.
  const std::string at_limit = base + "#" + std::string(kMuteRecordMaxBytes - base.size() - 2, 'x') + "\n";
  ASSERT_EQ(at_limit.size(), 4096u);
  EXPECT_TRUE(ParseMuteRecord(at_limit).has_value());
  EXPECT_FALSE(ParseMuteRecord(at_limit + "\n").has_value());  // 4097 bytes
}

class FileMuteRecordStoreTest : public ::testing::Test {
 protected:
  std::filesystem::path path() const { return dir_.path() / kMuteRecordFileName; }
  void Write(const std::string& bytes) {
    std::ofstream out(path(), std::ios::binary);
    out << bytes;
  }
  std::string Read() {
    std::ifstream in(path(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  testing::ScopedTempDir dir_;
};

TEST_F(FileMuteRecordStoreTest, SavesLoadsAndDeletes) {
  FileMuteRecordStore store(path());
  EXPECT_EQ(store.Load().status, MuteRecordLoad::kNone);

  MuteRecord r;
  r.device_id = u"{0.0.0.00000000}.{\u00e9\U0001F50A}";
  r.muted = false;
  r.volume = std::numeric_limits<float>::quiet_NaN();
  HostResult result = HostResult::Failure(9, "untouched");
  ASSERT_TRUE(store.Save(r, &result));
  EXPECT_TRUE(result.ok());
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "speaker_state.ini.tmp"));
  const std::string text = Read();
  EXPECT_NE(text.find("\nvolume_millionths=0\n"), std::string::npos) << text;
  EXPECT_EQ(text.find('\r'), std::string::npos);

  const MuteRecordLoadResult loaded = store.Load();
  ASSERT_EQ(loaded.status, MuteRecordLoad::kLoaded);
  EXPECT_EQ(loaded.record.device_id, r.device_id);
  EXPECT_FALSE(loaded.record.muted);
  EXPECT_EQ(loaded.record.volume, 0.0f);

  r.muted = true;
  r.volume = 1.0f;
  ASSERT_TRUE(store.Save(r, nullptr));  // replaces
  EXPECT_TRUE(store.Load().record.muted);
  EXPECT_EQ(store.Load().record.volume, 1.0f);

  EXPECT_TRUE(store.Delete());
  EXPECT_FALSE(std::filesystem::exists(path()));
  EXPECT_EQ(store.Load().status, MuteRecordLoad::kNone);
  EXPECT_TRUE(store.Delete());  // nothing left to delete
}

TEST_F(FileMuteRecordStoreTest, LoadTellsInvalidFromUnreadable) {
  FileMuteRecordStore store(path());
  Write("device=0041\nmuted=2\nvolume_millionths=5\n");
  EXPECT_EQ(store.Load().status, MuteRecordLoad::kInvalid);
  Write(Valid() + std::string(kMuteRecordMaxBytes, '#'));
  EXPECT_EQ(store.Load().status, MuteRecordLoad::kInvalid);
  Write("# Orvane Display: speaker state to restore\r\ndevice=0041\r\nmuted=1\r\nvolume_millionths=250000\r\n\r\n");
  const auto loaded = store.Load();
  ASSERT_EQ(loaded.status, MuteRecordLoad::kLoaded);
  EXPECT_TRUE(loaded.record.muted);
  EXPECT_FLOAT_EQ(loaded.record.volume, 0.25f);

  std::filesystem::remove(path());
  ASSERT_TRUE(std::filesystem::create_directory(path()));  // there, but not readable as a file
  testing::LogCapture log;
  EXPECT_EQ(store.Load().status, MuteRecordLoad::kUnreadable);
  EXPECT_TRUE(std::filesystem::is_directory(path()));
}

}  // namespace
}  // namespace orvane::host_output_mute
