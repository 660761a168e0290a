#include "platform/file_channels.h"

#include "platform/file_channels_system.h"
#include "platform/system.h"
#include "test_directory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// What the recording stand-ins in the system table saw, and how they fail.
struct SeamRecord {
  int reads = 0;
  int failingRead = 0;  // the read, counted from 1, that fails; 0 for none
  std::vector<std::string> writes;
  bool failWrites = false;
  bool halfWrites = false;
};
SeamRecord seam;

std::int32_t RecordingRead(SystemFile file, void* destination, std::int32_t length) {
  if (++seam.reads == seam.failingRead) return -1;
  return ReadSystemFile(file, destination, length);
}

std::int32_t RecordingWrite(SystemFile file, const void* bytes, std::int32_t length) {
  if (seam.failWrites) return -1;
  if (seam.halfWrites) length /= 2;
  seam.writes.emplace_back(static_cast<const char*>(bytes), length);
  return WriteSystemFile(file, bytes, length);
}

void* RefusedBuffer(std::size_t) {
  return nullptr;
}

Lines ReadLines(ChannelId channel) {
  Lines lines;
  while (ChannelAtEnd(channel) == 0 && lines.size() < 100000) lines.push_back(ReadLine(channel));
  return lines;
}

class FileChannels : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = fileChannelSystem;
    seam = SeamRecord{};
    fileChannelSystem.readFile = &RecordingRead;
    fileChannelSystem.writeFile = &RecordingWrite;
    InitChannelTable();
  }

  void TearDown() override {
    fileChannelSystem = saved_;
    CloseAllChannels();  // before the directory goes: open files would keep it on Windows
  }

  std::string Path(const std::string& name) const { return directory_.Name(name); }

  void MakeFile(const std::string& name, const std::string& bytes) const {
    WriteBytes(directory_.path() / name, bytes);
  }

  std::string FileBytes(const std::string& name) const {
    return ReadBytes(directory_.path() / name);
  }

  Lines LinesOfFile(const std::string& bytes) {
    MakeFile("lines.txt", bytes);
    EXPECT_NE(OpenChannelForReading(1, Path("lines.txt")), 0);
    Lines lines = ReadLines(1);
    EXPECT_NE(ChannelAtEnd(1), 0);
    CloseChannel(1);
    return lines;
  }

  FileChannelSystem saved_{};
  TestDirectory directory_;
};

void ExpectLineRules(const std::function<Lines(const std::string&)>& linesOf) {
  const Lines abc = {"A", "", "B"};
  EXPECT_EQ(linesOf("A\r\rB\r"), abc);
  EXPECT_EQ(linesOf("A\r\n\r\nB\r\n"), abc);
  EXPECT_EQ(linesOf("A\n\nB\n"), abc);
  EXPECT_EQ(linesOf("A\rB"), (Lines{"A", "B"}));
  EXPECT_EQ(linesOf("A\n\rB\n"), abc);
  EXPECT_EQ(linesOf(std::string("A\0B\n", 4)), (Lines{"A", "B"}));
  EXPECT_EQ(linesOf("\xE4\xF6\xFC\x80\xFF\r\n"), Lines{"\xE4\xF6\xFC\x80\xFF"});
  EXPECT_EQ(linesOf(""), Lines{});
}

TEST_F(FileChannels, LineEndsCrLfCrLfAndNulEachEndOneLine) {
  ExpectLineRules([this](const std::string& bytes) { return LinesOfFile(bytes); });
}

TEST_F(FileChannels, UnbufferedChannelFollowsTheSameLineRules) {
  fileChannelSystem.allocateBuffer = &RefusedBuffer;
  ExpectLineRules([this](const std::string& bytes) { return LinesOfFile(bytes); });

  MakeFile("abc.txt", "abc");
  ASSERT_NE(OpenChannelForReading(1, Path("abc.txt")), 0);
  seam.reads = 0;
  EXPECT_EQ(ReadLine(1), "abc");
  EXPECT_EQ(seam.reads, 4);  // a system read per byte, and one at the end
  EXPECT_EQ(ChannelAtEnd(1), -1);

  ASSERT_NE(CreateChannel(2, Path("out.txt")), 0);
  EXPECT_EQ(WriteTextLine(2, "abc"), 5);
  EXPECT_EQ(seam.writes, (std::vector<std::string>{"abc", "\r\n"}));
  EXPECT_NE(CloseChannel(2), 0);
  EXPECT_EQ(FileBytes("out.txt"), "abc\r\n");
}

TEST_F(FileChannels, LongLinesAndLineEndsAcrossTheBufferBoundary) {
  const std::string first(kChannelBufferSize - 1, 'a');
  EXPECT_EQ(LinesOfFile(first + "\r\nb\r\n"), (Lines{first, "b"}));
  const std::string longLine(10000, 'x');
  EXPECT_EQ(LinesOfFile(longLine + "\ny"), (Lines{longLine, "y"}));
}

TEST_F(FileChannels, ReadingAFileTakesOneSystemReadPerBufferAndOneAtTheEnd) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{8192}, std::size_t{10000}}) {
    std::string bytes;
    while (bytes.size() < size) bytes += std::string(99, 'a') + "\n";
    bytes.resize(size);
    if (size > 0) bytes.back() = '\n';
    MakeFile("in.txt", bytes);
    ASSERT_NE(OpenChannelForReading(1, Path("in.txt")), 0);
    seam.reads = 0;
    EXPECT_EQ(ReadLines(1).size(), size / 100 + (size % 100 != 0 ? 1 : 0));
    EXPECT_EQ(seam.reads, static_cast<int>((size + 4095) / 4096 + 1)) << size;
    CloseChannel(1);
  }
}

TEST_F(FileChannels, BufferedWritesGoOutInBlocksAndLargeTextsDirectly) {
  ASSERT_NE(CreateChannel(2, Path("out.txt")), 0);
  const std::string almostFull(kChannelBufferSize - 1, 'a');
  EXPECT_EQ(WriteText(2, almostFull), kChannelBufferSize - 1);
  EXPECT_TRUE(seam.writes.empty());
  // The last free byte is never taken: the pending block goes out first.
  EXPECT_EQ(WriteText(2, "b"), 1);
  EXPECT_EQ(seam.writes, std::vector<std::string>{almostFull});
  const std::string large(5000, 'c');
  EXPECT_EQ(WriteText(2, large), 5000);
  EXPECT_EQ(seam.writes, (std::vector<std::string>{almostFull, "b", large}));
  EXPECT_NE(CloseChannel(2), 0);
  EXPECT_EQ(seam.writes.size(), 3u);
  EXPECT_EQ(FileBytes("out.txt"), almostFull + "b" + large);
}

TEST_F(FileChannels, LargeReadsBypassTheBuffer) {
  std::string bytes;
  for (int i = 0; i < 10000; ++i) bytes += static_cast<char>('a' + i % 26);
  MakeFile("in.bin", bytes);
  ASSERT_NE(OpenChannelForReading(1, Path("in.bin")), 0);
  std::string got(9001, '\0');
  EXPECT_EQ(ReadChannelBytes(1, got.data(), 1), 1);
  EXPECT_EQ(ReadChannelBytes(1, got.data() + 1, 9000), 9000);
  EXPECT_EQ(seam.reads, 2);  // a refill of 4096, then 4905 bytes straight in
  EXPECT_EQ(got, bytes.substr(0, 9001));
  EXPECT_EQ(ReadLine(1), bytes.substr(9001));
}

TEST_F(FileChannels, WriteTextLineAppendsCrLfAndEmptyTextsWriteNothing) {
  ASSERT_NE(CreateChannel(2, Path("out.txt")), 0);
  EXPECT_EQ(WriteTextLine(2, "abc"), 5);
  EXPECT_EQ(WriteTextLine(2, ""), 2);
  EXPECT_EQ(WriteText(2, ""), 0);
  EXPECT_NE(CloseChannel(2), 0);
  EXPECT_EQ(FileBytes("out.txt"), "abc\r\n\r\n");
}

TEST_F(FileChannels, CreateKeepsTheTailAndCreateEmptyEmpties) {
  const std::string old(100, 'o');
  MakeFile("keep.txt", old);
  MakeFile("empty.txt", old);
  ASSERT_NE(CreateChannel(2, Path("keep.txt")), 0);
  ASSERT_NE(CreateEmptyChannel(3, Path("empty.txt")), 0);
  WriteText(2, "0123456789");
  WriteText(3, "0123456789");
  CloseAllChannels();
  EXPECT_EQ(FileBytes("keep.txt"), "0123456789" + old.substr(10));
  EXPECT_EQ(FileBytes("empty.txt"), "0123456789");
}

TEST_F(FileChannels, ReopeningANumberClosesAndFlushesWhatWasOpen) {
  ASSERT_NE(CreateChannel(3, Path("first.txt")), 0);
  WriteText(3, "first");
  ASSERT_NE(CreateChannel(3, Path("second.txt")), 0);
  EXPECT_EQ(FileBytes("first.txt"), "first");
  // A failed open leaves the number free.
  EXPECT_EQ(OpenChannelForReading(3, Path("missing.txt")), 0);
  EXPECT_EQ(WriteText(3, "x"), 0);
  EXPECT_EQ(CloseChannel(3), 0);
  EXPECT_EQ(FileBytes("second.txt"), "");
}

TEST_F(FileChannels, TheTableGrowsToTheNumberPlusSixteen) {
  EXPECT_EQ(ChannelSlotCount(), 16u);
  ASSERT_NE(CreateChannel(20, Path("20.txt")), 0);
  EXPECT_EQ(ChannelSlotCount(), 36u);
  ASSERT_NE(CreateChannel(0, Path("0.txt")), 0);
  ASSERT_NE(CreateChannel(35, Path("35.txt")), 0);
  EXPECT_EQ(ChannelSlotCount(), 36u);
  EXPECT_EQ(WriteText(35, "35"), 2);
  EXPECT_EQ(WriteText(20, "20"), 2);
  EXPECT_NE(CloseChannel(35), 0);
  EXPECT_EQ(FileBytes("35.txt"), "35");
  EXPECT_EQ(CreateChannel(kHighestChannelNumber + 1, Path("x.txt")), 0);
  EXPECT_EQ(CreateChannel(-2, Path("x.txt")), 0);
  EXPECT_EQ(ChannelSlotCount(), 36u);
}

TEST_F(FileChannels, UnnumberedChannelsAreIdentifiedAndClosedOldestLast) {
  ASSERT_NE(CreateChannel(2, Path("2.txt")), 0);
  ASSERT_NE(CreateChannel(0, Path("0.txt")), 0);
  const ChannelId older = CreateChannel(kNewUnnumberedChannel, Path("older.txt"));
  const ChannelId newer = CreateChannel(kNewUnnumberedChannel, Path("newer.txt"));
  ASSERT_NE(older, 0);
  ASSERT_NE(newer, 0);
  EXPECT_NE(older, newer);
  EXPECT_FALSE(older >= 0 && older < static_cast<ChannelId>(ChannelSlotCount()));
  EXPECT_EQ(WriteText(kNewUnnumberedChannel, "lost"), 0);
  WriteText(newer, "newer");
  WriteText(2, "2");
  WriteText(older, "older");
  WriteText(0, "0");
  CloseAllChannels();
  EXPECT_EQ(seam.writes, (std::vector<std::string>{"0", "2", "older", "newer"}));
  EXPECT_EQ(FileBytes("newer.txt"), "newer");
  EXPECT_EQ(WriteText(older, "gone"), 0);
  EXPECT_EQ(CloseChannel(newer), 0);
  EXPECT_EQ(OpenChannelForReading(kNewUnnumberedChannel, Path("missing.txt")), 0);
}

TEST_F(FileChannels, MissingFilesAndDirectoriesFailToOpen) {
  EXPECT_EQ(OpenChannelForReading(1, Path("missing.txt")), 0);
  EXPECT_EQ(OpenChannelExclusive(1, Path("missing.txt")), 0);
  const std::string inMissingDirectory = (directory_.path() / "missing" / "file.txt").string();
  EXPECT_EQ(CreateChannel(2, inMissingDirectory), 0);
  EXPECT_EQ(CreateEmptyChannel(2, inMissingDirectory), 0);
  EXPECT_FALSE(fs::exists(directory_.path() / "missing"));
  EXPECT_EQ(OpenChannelForReading(1, directory_.path().string()), 0);
}

TEST_F(FileChannels, AWriterSharesWithNobodyAndReadersShareWithReaders) {
  MakeFile("shared.txt", std::string(100, 's'));
  const std::string shared = Path("shared.txt");
  ASSERT_NE(CreateChannel(1, shared), 0);
  EXPECT_EQ(OpenChannelForReading(2, shared), 0);
  EXPECT_EQ(CreateChannel(2, shared), 0);
  EXPECT_EQ(OpenChannelExclusive(2, shared), 0);
  CloseChannel(1);

  ASSERT_NE(OpenChannelForReading(1, shared), 0);
  ASSERT_NE(OpenChannelForReading(2, shared), 0);
  EXPECT_EQ(CreateChannel(3, shared), 0);
  EXPECT_EQ(CreateEmptyChannel(3, shared), 0);
  EXPECT_EQ(OpenChannelExclusive(3, shared), 0);
  EXPECT_EQ(QueryFileSize(shared), 100);
  CloseAllChannels();

  ASSERT_NE(OpenChannelExclusive(1, shared), 0);
  EXPECT_EQ(OpenChannelForReading(2, shared), 0);
  CloseChannel(1);
  EXPECT_NE(CreateEmptyChannel(2, shared), 0);
  EXPECT_EQ(QueryFileSize(shared), 0);
}

TEST_F(FileChannels, AWriteAfterReadsLandsAtTheNextUnreadByte) {
  MakeFile("mixed.txt", "line1\nline2\nline3\n");
  ASSERT_NE(CreateChannel(1, Path("mixed.txt")), 0);
  EXPECT_EQ(ReadLine(1), "line1");
  WriteText(1, "LINE2");
  EXPECT_EQ(ReadLine(1), "");  // the rest of line 2: its line end
  EXPECT_EQ(ReadLine(1), "line3");
  EXPECT_NE(CloseChannel(1), 0);
  EXPECT_EQ(FileBytes("mixed.txt"), "line1\nLINE2\nline3\n");
}

TEST_F(FileChannels, AFailedFlushOrShortWriteMakesCloseReportALoss) {
  ASSERT_NE(CreateChannel(2, Path("flush.txt")), 0);
  EXPECT_EQ(WriteText(2, "abc"), 3);  // taken into the buffer
  seam.failWrites = true;
  EXPECT_EQ(CloseChannel(2), 0);
  seam.failWrites = false;

  ASSERT_NE(CreateChannel(2, Path("short.txt")), 0);
  seam.halfWrites = true;
  EXPECT_EQ(WriteText(2, std::string(5000, 'h')), 2500);
  seam.halfWrites = false;
  EXPECT_EQ(WriteText(2, "more"), 4);
  EXPECT_EQ(CloseChannel(2), 0);
  EXPECT_EQ(FileBytes("short.txt"), std::string(2500, 'h') + "more");

  ASSERT_NE(CreateChannel(2, Path("whole.txt")), 0);
  WriteText(2, "whole");
  EXPECT_NE(CloseChannel(2), 0);
  EXPECT_EQ(CloseChannel(2), 0);
}

TEST_F(FileChannels, AReadErrorEndsTheDataAndIsToldApartFromTheEnd) {
  std::string bytes;
  for (int i = 0; i < 100; ++i) bytes += std::string(99, 'r') + "\n";
  MakeFile("in.txt", bytes);
  ASSERT_NE(OpenChannelForReading(1, Path("in.txt")), 0);
  seam.failingRead = 2;
  const Lines lines = ReadLines(1);
  EXPECT_EQ(lines.size(), 41u);  // 40 whole lines and the start of one more
  EXPECT_EQ(lines.back(), std::string(96, 'r'));
  EXPECT_TRUE(ChannelReadFailed(1));
  EXPECT_NE(ChannelAtEnd(1), 0);
  EXPECT_EQ(seam.reads, 2);  // the channel stays at its end without asking again

  ASSERT_NE(OpenChannelForReading(1, Path("in.txt")), 0);
  EXPECT_EQ(ReadLines(1).size(), 100u);
  EXPECT_FALSE(ChannelReadFailed(1));
}

TEST_F(FileChannels, QueryFileSizeTellsFilesDirectoriesAndMissingNames) {
  const char separator = system_facts::kPathSeparator;
  MakeFile("empty.txt", "");
  MakeFile("hundred.txt", std::string(100, 'h'));
  fs::create_directory(directory_.path() / "subdir");
  EXPECT_EQ(QueryFileSize(Path("missing.txt")), -1);
  EXPECT_EQ(QueryFileSize(Path("empty.txt")), 0);
  EXPECT_EQ(QueryFileSize(Path("hundred.txt")), 100);
  EXPECT_EQ(QueryFileSize(Path("subdir")), -2);
  EXPECT_EQ(QueryFileSize(Path("subdir") + separator), -2);
  EXPECT_EQ(QueryFileSize(Path("subdir") + std::string(3, separator)), -2);
  EXPECT_EQ(QueryFileSize(""), -1);
  EXPECT_EQ(QueryFileSize(std::string(3, separator)), -1);
  // Wildcards: the first match decides.
  EXPECT_EQ(QueryFileSize(Path("hun*.t?t")), 100);
  EXPECT_EQ(QueryFileSize(Path("sub*")), -2);
  EXPECT_EQ(QueryFileSize(Path("nothing*")), -1);
  // A name is never cut to a shorter one that names something else.
  std::string padded = Path("subdir");
  padded.resize(260, separator);
  EXPECT_EQ(QueryFileSize(padded), -2);
  EXPECT_EQ(QueryFileSize(padded + "x"), -1);
}

TEST_F(FileChannels, QueryFileSizeGivesTheFullSizeBeyondFourGibibytes) {
  const std::uint64_t size = (std::uint64_t{5} << 30) + 7;
  {
    std::ofstream out(directory_.path() / "large.bin", std::ios::binary);
    out.seekp(static_cast<std::streamoff>(size - 1));
    out.put('x');
  }
  ASSERT_EQ(fs::file_size(directory_.path() / "large.bin"), size);
  EXPECT_EQ(QueryFileSize(Path("large.bin")), static_cast<std::int64_t>(size));
}

TEST_F(FileChannels, QueryFileSizeNamesDrivesOnWindows) {
  if (system_facts::kPathSeparator != '\\') GTEST_SKIP() << "no drives on this system";
  EXPECT_EQ(QueryFileSize("C:"), -2);
  EXPECT_EQ(QueryFileSize("C:\\"), -2);
  EXPECT_EQ(QueryFileSize("Q:"), -1);
  EXPECT_EQ(QueryFileSize("Q:\\"), -1);
}

TEST_F(FileChannels, OnlyAnOrdinaryFileCountsAsRegular) {
  MakeFile("plain.txt", "x");
  ASSERT_NE(OpenChannelForReading(1, Path("plain.txt")), 0);
  EXPECT_TRUE(ChannelOnRegularFile(1));
  // The null device opens like a file but is none.
  const std::string nullDevice = system_facts::kPathSeparator == '\\' ? "NUL" : "/dev/null";
  ASSERT_NE(OpenChannelForReading(2, nullDevice), 0);
  EXPECT_FALSE(ChannelOnRegularFile(2));
  EXPECT_FALSE(ChannelOnRegularFile(3));
}

TEST_F(FileChannels, RemoveFileDeletesOneFile) {
  MakeFile("doomed.txt", "x");
  EXPECT_TRUE(RemoveFile(Path("doomed.txt")));
  EXPECT_FALSE(fs::exists(directory_.path() / "doomed.txt"));
  EXPECT_FALSE(RemoveFile(Path("doomed.txt")));
  EXPECT_FALSE(RemoveFile(""));
}

}  // namespace
