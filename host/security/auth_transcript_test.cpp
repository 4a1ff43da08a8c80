#include "host/security/auth_transcript.h"

#include <gtest/gtest.h>

#include <string>

namespace orvane::security {
namespace {

TEST(AuthTranscriptTest, LayoutAndLength) {
  const crypto::Bytes tablet(64, 0x01);
  const crypto::Bytes host(64, 0x02);
  const crypto::Bytes identity(65, 0x04);
  const crypto::Bytes transcript = BuildAuthTranscript("tab-1", tablet, host, identity);
  // 9 + 4 + 5 + 4 + 64 + 4 + 64 + 4 + 65
  ASSERT_EQ(transcript.size(), 223u);
  EXPECT_EQ(std::string(transcript.begin(), transcript.begin() + 9), "OVD-AUTH2");
  EXPECT_EQ(crypto::Bytes(transcript.begin() + 9, transcript.begin() + 13), (crypto::Bytes{0, 0, 0, 5}));
  EXPECT_EQ(std::string(transcript.begin() + 13, transcript.begin() + 18), "tab-1");
  EXPECT_EQ(crypto::Bytes(transcript.begin() + 18, transcript.begin() + 22), (crypto::Bytes{0, 0, 0, 64}));
  EXPECT_EQ(transcript[22], 0x01);
  EXPECT_EQ(crypto::Bytes(transcript.begin() + 154, transcript.begin() + 158), (crypto::Bytes{0, 0, 0, 65}));
  EXPECT_EQ(transcript.back(), 0x04);

  const crypto::Bytes hash = AuthTranscriptHash("tab-1", tablet, host, identity);
  EXPECT_EQ(hash, crypto::Sha256(transcript));
  const crypto::Bytes challenge = AuthProofChallenge(hash);
  ASSERT_EQ(challenge.size(), 47u);
  EXPECT_EQ(std::string(challenge.begin(), challenge.begin() + 15), "OVD-AUTH2-PROOF");
  EXPECT_TRUE(AuthProofChallenge(crypto::Bytes(31, 0)).empty());
}

}  // namespace
}  // namespace orvane::security
