// The simulator's state file: the round trip, and the damaged and hostile
// files it refuses.

#include "tools/tablet_sim/sim_state.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "host/common/file_io.h"
#include "tests/support/test_support.h"

namespace orvane::sim {
namespace {

namespace fs = std::filesystem;

SimState FullState() {
  SimState s;
  s.client_id = "tab-\xC3\xA9=\n1";  // '=' and a line break survive as hex
  s.credential = crypto::Bytes(32, 0xC1);
  s.host_identity = crypto::Bytes(65, 0x7E);
  s.host_identity[0] = 0x04;
  return s;
}

void ExpectSame(const SimState& a, const SimState& b) {
  EXPECT_EQ(a.client_id, b.client_id);
  EXPECT_EQ(a.credential, b.credential);
  EXPECT_EQ(a.host_identity, b.host_identity);
}

TEST(SimState, RoundTripsThroughTheFile) {
  testing::ScopedTempDir dir;
  const fs::path path = dir.path() / "tab.state";
  SimState identity_only;
  identity_only.host_identity = FullState().host_identity;
  for (const SimState& state : {SimState(), identity_only, FullState()}) {
    ASSERT_TRUE(SaveSimState(path, state, nullptr)) << PathToUtf8(path);
    SimState loaded = FullState();
    const StateLoadResult r = LoadSimState(path, &loaded);
    ASSERT_EQ(r.status, StateLoadStatus::kLoaded) << r.why;
    ExpectSame(loaded, state);
  }
  const std::string text = FormatSimState(FullState());
  EXPECT_EQ(text.rfind("# orvane-tablet-sim state\nversion=1\nclient_id=7461622dc3a93d0a31\ncredential=c1c1", 0), 0u)
      << text;
  EXPECT_FALSE(fs::exists(PathToUtf8(path) + ".tmp"));
#ifndef _WIN32
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
#endif
}

TEST(SimState, ReaderAcceptsCommentsAndLineEnds) {
  SimState s;
  std::string why;
  ASSERT_TRUE(ParseSimState("\r\n# note\r\nversion=1\r\n\r\nclient_id=6162\r\ncredential=" + std::string(64, 'A') +
                                "\r\n",
                            &s, &why))
      << why;
  EXPECT_EQ(s.client_id, "ab");
  EXPECT_EQ(s.credential, crypto::Bytes(32, 0xAA));
  EXPECT_TRUE(s.host_identity.empty());
}

TEST(SimState, DamagedFilesAreRefusedWithTheFirstProblem) {
  const std::string cred = "credential=" + std::string(64, '0') + "\n";
  const std::string ident = "host_identity=04" + std::string(128, 'f') + "\n";
  struct Case {
    const char* name;
    std::string text;
    const char* why;
  };
  const Case cases[] = {
      {"empty", "", "no version line"},
      {"no version", "client_id=61\n", "no version line"},
      {"newer version", "version=2\n", "line 1: unsupported version"},
      {"not key=value", "version=1\nhello\n", "line 2: not KEY=VALUE"},
      {"unknown key", "version=1\npin=1\n", "line 2: unknown key"},
      {"repeated key", "version=1\nclient_id=61\nclient_id=62\n", "line 3: repeated key"},
      {"odd hex", "version=1\nclient_id=616\n", "line 2: client_id is not 1..256 bytes of hex"},
      {"empty id", "version=1\nclient_id=\n", "line 2: client_id is not 1..256 bytes of hex"},
      {"long id", "version=1\nclient_id=" + std::string(514, '6') + "\n",
       "line 2: client_id is not 1..256 bytes of hex"},
      {"id not UTF-8", "version=1\nclient_id=ff\n", "line 2: client_id is not UTF-8"},
      {"short credential", "version=1\nclient_id=61\ncredential=" + std::string(62, '0') + "\n",
       "line 3: credential is not 32 bytes of hex"},
      {"credential not hex", "version=1\nclient_id=61\ncredential=" + std::string(63, '0') + "g\n",
       "line 3: credential is not 32 bytes of hex"},
      {"credential without id", "version=1\n" + cred, "a credential without client_id"},
      {"identity not a point", "version=1\nhost_identity=05" + std::string(128, 'f') + "\n",
       "line 2: host_identity is not a 65-byte uncompressed P-256 key in hex"},
      {"identity too long", "version=1\n" + ident.substr(0, ident.size() - 1) + "ff\n",
       "line 2: host_identity is not a 65-byte uncompressed P-256 key in hex"},
      {"a NUL byte", std::string("version=1\0\n", 11), "line 1: unsupported version"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimState s = FullState();
    std::string why;
    EXPECT_FALSE(ParseSimState(c.text, &s, &why));
    EXPECT_EQ(why, c.why);
    ExpectSame(s, FullState());  // untouched on failure
  }
}

TEST(SimState, LoadTellsAbsentTooLargeUnreadableAndDamagedApart) {
  testing::ScopedTempDir dir;
  SimState s = FullState();
  EXPECT_EQ(LoadSimState(dir.path() / "none.state", &s).status, StateLoadStatus::kAbsent);
  EXPECT_TRUE(s.credential.empty());

  const fs::path big = dir.path() / "big.state";
  ASSERT_TRUE(SafeReplaceFile(big, "version=1\n#" + std::string(kMaxStateFileBytes, 'x')));
  EXPECT_EQ(LoadSimState(big, &s).status, StateLoadStatus::kTooLarge);

  const fs::path folder = dir.path() / "folder.state";
  ASSERT_TRUE(EnsureDirectory(folder));
  EXPECT_EQ(LoadSimState(folder, &s).status, StateLoadStatus::kUnreadable);

  const fs::path damaged = dir.path() / "damaged.state";
  ASSERT_TRUE(SafeReplaceFile(damaged, "version=1\ncredential=00\n"));
  const StateLoadResult r = LoadSimState(damaged, &s);
  EXPECT_EQ(r.status, StateLoadStatus::kDamaged);
  EXPECT_EQ(r.why, "line 2: credential is not 32 bytes of hex");
  EXPECT_TRUE(s.credential.empty());
  EXPECT_STREQ(StateLoadStatusName(r.status), "damaged");

  // Saving where the file cannot be written says why.
  std::string why;
  EXPECT_FALSE(SaveSimState(dir.path() / "missing-folder" / "tab.state", FullState(), &why));
  EXPECT_FALSE(why.empty());
}

TEST(SimState, HexIsStrict) {
  crypto::Bytes b;
  EXPECT_TRUE(FromHex("00fFa9", &b));
  EXPECT_EQ(b, (crypto::Bytes{0x00, 0xFF, 0xA9}));
  EXPECT_EQ(ToHex(b), "00ffa9");
  EXPECT_FALSE(FromHex("0", &b));
  EXPECT_FALSE(FromHex("0x", &b));
  EXPECT_FALSE(FromHex(" 0", &b));
  EXPECT_TRUE(b.empty());
}

}  // namespace
}  // namespace orvane::sim
