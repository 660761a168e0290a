#include "player/host/file_digest.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// FIPS 180-2's examples: "abc" and the 448-bit message, the latter given
// in two pieces that split a block.
constexpr char kTwoBlocks[] = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";

std::string DigestOf(DigestKind kind, const std::string& first, const std::string& second = "") {
  FileDigest digest(kind);
  EXPECT_TRUE(digest.Add(first));
  EXPECT_TRUE(digest.Add(second));
  return digest.Finish();
}

TEST(FileDigest, GivesTheStandardsExamples) {
  EXPECT_EQ(DigestOf(DigestKind::kSha1, "abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(DigestOf(DigestKind::kSha256, "abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(DigestOf(DigestKind::kSha512, "abc"),
            "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
            "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
  const std::string message = kTwoBlocks;
  EXPECT_EQ(DigestOf(DigestKind::kSha1, message.substr(0, 20), message.substr(20)),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(DigestOf(DigestKind::kSha256, message.substr(0, 33), message.substr(33)),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(DigestOf(DigestKind::kSha256, ""),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

}  // namespace
