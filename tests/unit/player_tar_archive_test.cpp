#include "player/tar_archive.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "tar_builder.h"

namespace {

using player_test::Archive;
using player_test::PaxRecord;
constexpr std::size_t kBlock = 512;

TEST(TarArchive, ListsMembersInOrderWithTheirOffsetsAndSizes) {
  Archive archive;
  archive.Member("machine.ovf", "<Envelope/>")
      .Member("machine-disk1.vmdk", std::string(1500, 'd'))
      .Member("machine.mf", "")
      .End();
  const TarListing listing = archive.List();
  ASSERT_EQ(listing.fault, TarFault::kNone);
  ASSERT_EQ(listing.members.size(), 3u);
  EXPECT_EQ(listing.members[0], (TarMember{"machine.ovf", 512, 11}));
  EXPECT_EQ(listing.members[1], (TarMember{"machine-disk1.vmdk", 1536, 1500}));
  EXPECT_EQ(listing.members[2], (TarMember{"machine.mf", 1536 + 1536 + 512, 0}));
  EXPECT_EQ(archive.bytes().substr(listing.members[1].offset, 4), "dddd");
  EXPECT_EQ(FindTarMember(listing.members, "machine-disk1.vmdk"), &listing.members[1]);
  EXPECT_EQ(FindTarMember(listing.members, "MACHINE.ovf"), nullptr);
}

TEST(TarArchive, ReadsTheHeadersOfGnuAndPaxTar) {
  // GNU's magic, "./" before a name, a directory (passed over), GNU's long
  // name, a pax path and size, a pax global header without place values.
  const std::string longName(150, 'n');
  Archive archive;
  archive.Member("./a.ovf", "x", '0', Archive::Magic::kGnu)
      .Member("./disks/", "", '5')
      .Member("././@LongLink", longName + std::string(1, '\0'), 'L', Archive::Magic::kGnu)
      .Member("cut", "y", '0', Archive::Magic::kGnu)
      .Pax(PaxRecord("comment", "made by hand"), 'g')
      .Pax(PaxRecord("path", "disks/b.vmdk") + PaxRecord("size", "3") + PaxRecord("mtime", "1.5"))
      .Header("b", 0)
      .Data("abc")
      .End();
  const TarListing listing = archive.List();
  ASSERT_EQ(listing.fault, TarFault::kNone);
  ASSERT_EQ(listing.members.size(), 3u);
  EXPECT_EQ(listing.members[0].name, "a.ovf");
  EXPECT_EQ(listing.members[1].name, longName);
  EXPECT_EQ(listing.members[2].name, "disks/b.vmdk");
  EXPECT_EQ(listing.members[2].size, 3u);
  EXPECT_EQ(archive.bytes().substr(listing.members[2].offset, 3), "abc");
}

TEST(TarArchive, TakesGnuBase256SizesOfLargeDisks) {
  // A 9 GiB member: the listing needs only its header, the file's size
  // says it is all there.
  constexpr std::uint64_t kSize = 9ULL << 30;
  Archive archive;
  archive.LargeHeader("big.vmdk", kSize);
  const std::uint64_t end = kBlock + kSize;
  const std::string header = archive.bytes();
  const auto read = [&](std::uint64_t offset, std::size_t count, std::string* out) {
    *out = offset < kBlock ? header.substr(offset, count) : std::string(count, '\0');
    return true;
  };
  const TarListing listing = ListTarMembers(read, end + 2 * kBlock);
  ASSERT_EQ(listing.fault, TarFault::kNone);
  ASSERT_EQ(listing.members.size(), 1u);
  EXPECT_EQ(listing.members[0].size, kSize);
  EXPECT_EQ(ListTarMembers(read, end).fault, TarFault::kTruncated);
}

TEST(TarArchive, RefusesNamesThatReachOutsideOrAreNoPlainName) {
  for (const std::string name :
       {"../evil.vmdk", "disks/../../evil", "/etc/passwd", "a\\..\\b", "c:disk.vmdk", "nbd:host:1",
        "a\x01.vmdk", "./", "a//b", "disk/"}) {
    Archive archive;
    archive.Member("a.ovf", "x").Member(name, "y").End();
    const TarListing listing = archive.List();
    EXPECT_EQ(listing.fault, TarFault::kUnsafeName) << name;
    EXPECT_TRUE(listing.members.empty());
  }
  Archive pax;
  pax.Member("a.ovf", "x").Pax(PaxRecord("path", "../x")).Member("harmless", "y").End();
  EXPECT_EQ(pax.List().fault, TarFault::kUnsafeName);
}

TEST(TarArchive, RefusesLinksDevicesAndMembersNotLaidOutInOnePiece) {
  for (const char type : {'1', '2', '3', '4', '6', 'S', 'M', 'V', 'K', 'Z'}) {
    Archive archive;
    archive.Member("a.ovf", "x").Member("disk.vmdk", "", type).End();
    EXPECT_EQ(archive.List().fault, TarFault::kNotRegular) << type;
  }
  Archive sparse;
  sparse.Pax(PaxRecord("GNU.sparse.map", "0,1")).Member("disk.vmdk", "y").End();
  EXPECT_EQ(sparse.List().fault, TarFault::kNotRegular);
  Archive linked;
  linked.Pax(PaxRecord("linkpath", "/etc/shadow")).Member("disk.vmdk", "y").End();
  EXPECT_EQ(linked.List().fault, TarFault::kNotRegular);
  Archive global;
  global.Pax(PaxRecord("path", "everything"), 'g').Member("disk.vmdk", "y").End();
  EXPECT_EQ(global.List().fault, TarFault::kNotRegular);
}

TEST(TarArchive, RefusesTwoMembersOfOneName) {
  Archive archive;
  archive.Member("a.ovf", "x").Member("disk.vmdk", "1").Member("./Disk.VMDK", "2").End();
  const TarListing listing = archive.List();
  EXPECT_EQ(listing.fault, TarFault::kDuplicateName);
  EXPECT_EQ(listing.faultName, "Disk.VMDK");
}

TEST(TarArchive, RefusesSizesAndEndsPastTheFile) {
  Archive past;
  past.Member("a.ovf", "x").Header("disk.vmdk", 1ULL << 40).End();
  EXPECT_EQ(past.List().fault, TarFault::kTruncated);
  EXPECT_EQ(past.List().faultName, "disk.vmdk");

  Archive paxPast;
  paxPast.Pax(PaxRecord("size", "99999999999999")).Member("disk.vmdk", "y").End();
  EXPECT_EQ(paxPast.List().fault, TarFault::kTruncated);

  Archive hugePax;
  hugePax.Pax(PaxRecord("size", "99999999999999999999")).Member("disk.vmdk", "y").End();
  EXPECT_EQ(hugePax.List().fault, TarFault::kBadHeader);

  // Cut inside the data, and cut before the end blocks.
  Archive cut;
  cut.Member("a.ovf", "x").Member("disk.vmdk", std::string(2000, 'd'));
  EXPECT_EQ(cut.List(cut.bytes().size() - 600).fault, TarFault::kTruncated);
  EXPECT_EQ(cut.List().fault, TarFault::kTruncated);
  // A file system may say more than a read gives.
  Archive whole;
  whole.Member("a.ovf", "x").End();
  EXPECT_EQ(whole.List(whole.bytes().size() + 4096).fault, TarFault::kNone);
  EXPECT_EQ(whole.List(whole.bytes().size() - 512).fault, TarFault::kNone);
  EXPECT_EQ(whole.List(whole.bytes().size() - 1024).fault, TarFault::kTruncated);
}

TEST(TarArchive, RefusesBrokenHeaders) {
  Archive checksum;
  checksum.Member("a.ovf", "x", '0', Archive::Magic::kPosix, 1).End();
  EXPECT_EQ(checksum.List().fault, TarFault::kBadHeader);
  EXPECT_FALSE(IsTarHeader(checksum.bytes()));

  Archive good;
  good.Member("a.ovf", "x").End();
  EXPECT_TRUE(IsTarHeader(good.bytes()));
  std::string noMagic = good.bytes();
  noMagic.replace(257, 5, "xxxxx");
  EXPECT_FALSE(IsTarHeader(noMagic));

  std::string badSize = good.bytes();
  badSize[130] = '9';
  EXPECT_EQ(ListTarMembers(
                [&](std::uint64_t offset, std::size_t count, std::string* out) {
                  *out = badSize.substr(offset, count);
                  return true;
                },
                badSize.size())
                .fault,
            TarFault::kBadHeader);

  for (const std::string& records : {std::string("5 a=b"), std::string("99 path=x\n"),
                                     std::string("x path=y\n"), std::string("9 =value\n")}) {
    Archive pax;
    pax.Pax(records).Member("disk.vmdk", "y").End();
    EXPECT_EQ(pax.List().fault, TarFault::kBadHeader) << records;
  }
  // A pax header for no member at all.
  Archive dangling;
  dangling.Member("a.ovf", "x").Pax(PaxRecord("path", "b")).End();
  EXPECT_EQ(dangling.List().fault, TarFault::kTruncated);
}

TEST(TarArchive, EndsAnArchiveOfEndlessHeadersAndFailedReads) {
  Archive many;
  for (std::size_t i = 0; i <= kMaximumTarMembers; ++i) many.Member(std::to_string(i), "");
  many.End();
  EXPECT_EQ(many.List().fault, TarFault::kTooManyMembers);

  Archive paxOnly;
  for (std::size_t i = 0; i <= 4 * kMaximumTarMembers; ++i) paxOnly.Pax(PaxRecord("mtime", "1"));
  paxOnly.End();
  EXPECT_EQ(paxOnly.List().fault, TarFault::kTooManyMembers);

  Archive fine;
  fine.Member("a.ovf", "x").End();
  const TarListing failed = ListTarMembers(
      [](std::uint64_t, std::size_t, std::string*) { return false; }, fine.bytes().size());
  EXPECT_EQ(failed.fault, TarFault::kReadFailed);
}

}  // namespace
