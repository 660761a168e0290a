#include "core/throwaway_machine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/config_generation.h"
#include "platform/directory_services.h"
#include "platform/file_channels.h"
#include "platform/system.h"
#include "test_directory.h"

namespace {

namespace fs = std::filesystem;

constexpr char kSep = system_facts::kPathSeparator;

class ThrowawayMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    InitChannelTable();
    root = directory.Name("");
  }

  // Makes the machine for a.iso, noting every folder asked for.
  MadeMachine Make(const MachineTemplate& from) {
    return MakeMachine("/cds/a.iso", from, root, "77", [this](const std::string& path) {
      asked.push_back(path);
      return MakeDirectory(path);
    });
  }

  TestDirectory directory;
  std::string root;
  std::vector<std::string> asked;
};

TEST_F(ThrowawayMachine, AnImageIsLookedAtBeforeItsName) {
  // What the path names decides first: a name that could never be written
  // into a configuration still gets "no file" while there is nothing.
  EXPECT_EQ(RefusalOfImage("a\".iso", FileKind::kMissing), MachineFailure::kImageIsNoFile);
  EXPECT_EQ(RefusalOfImage("a.iso", FileKind::kDirectory), MachineFailure::kImageIsNoFile);
  EXPECT_EQ(RefusalOfImage("a.iso", FileKind::kOther), MachineFailure::kImageIsNoFile);
  EXPECT_EQ(RefusalOfImage("a\".iso", FileKind::kRegular), MachineFailure::kImagePathUnusable);
  EXPECT_EQ(RefusalOfImage("a\t.iso", FileKind::kBlockDevice), MachineFailure::kImagePathUnusable);
  EXPECT_EQ(RefusalOfImage("/dev/sr0", FileKind::kBlockDevice), std::nullopt);
  EXPECT_EQ(RefusalOfImage("C:\\J\xFCrgen\\a.iso", FileKind::kRegular), std::nullopt);
}

TEST_F(ThrowawayMachine, OnlyAMissingTemplateGivesWayToTheBuiltInOne) {
  const std::string folder = directory.Name("t") + kSep;
  fs::create_directory(directory.path() / "t");
  EXPECT_TRUE(TemplateIn(folder).builtIn);
  EXPECT_EQ(TemplateIn(folder).path, folder + "trennwick_template.txt");
  fs::create_directory(directory.path() / "t" / "trennwick_template.txt");
  EXPECT_FALSE(TemplateIn(folder).builtIn);
}

TEST_F(ThrowawayMachine, WritesTheConfigurationIntoAFolderOfItsOwn) {
  WriteBytes(directory.path() / "tpl", "a\nide1:0.fileName = \"***isofile.iso***\"\n");
  const MadeMachine made = Make({directory.Name("tpl"), false});
  ASSERT_EQ(made.failure, std::nullopt);
  EXPECT_EQ(made.folder, root + "trennwick_temp_77" + kSep);
  EXPECT_EQ(made.vmxFile, made.folder + "trennwick.vmx");
  EXPECT_EQ(ReadBytes(made.vmxFile), "a\r\nide1:0.fileName = \"/cds/a.iso\"\r\n\r\n");

  // The built-in template ignores a file of that name.
  const MadeMachine builtIn = Make({directory.Name("tpl"), true});
  ASSERT_EQ(builtIn.failure, std::nullopt);
  EXPECT_EQ(builtIn.folder, root + "trennwick_temp_77_2" + kSep);
  EXPECT_EQ(ReadBytes(builtIn.vmxFile), GenerateDefaultConfig("/cds/a.iso") + "\r\n");
}

TEST_F(ThrowawayMachine, FailuresSayWhatWasMadeAndNameTheirFile) {
  // A template that cannot be read makes no folder at all.
  const MadeMachine unread = Make({directory.Name("missing"), false});
  EXPECT_EQ(unread.failure, MachineFailure::kTemplateUnreadable);
  EXPECT_TRUE(asked.empty());
  EXPECT_TRUE(unread.folder.empty());
  EXPECT_NE(MachineFailureText(*unread.failure, "/cds/a.iso", directory.Name("missing"))
                .find("'" + directory.Name("missing") + "'"),
            std::string::npos);

  // A configuration that cannot be written leaves its folder to the caller.
  const MadeMachine unwritten =
      MakeMachine("/cds/a.iso", {"", true}, root, "77", [](const std::string& path) {
        fs::create_directories(fs::path(path) / "trennwick.vmx");
        return 1;
      });
  EXPECT_EQ(unwritten.failure, MachineFailure::kConfigNotWritten);
  EXPECT_EQ(unwritten.folder, root + "trennwick_temp_77" + kSep);
  EXPECT_TRUE(unwritten.vmxFile.empty());

  root = directory.Name("no root") + kSep;
  const MadeMachine homeless = Make({"", true});
  EXPECT_EQ(homeless.failure, MachineFailure::kNoFolder);
  EXPECT_TRUE(homeless.folder.empty());
  EXPECT_FALSE(fs::exists(directory.path() / "no root"));

  EXPECT_NE(MachineFailureText(MachineFailure::kImageIsNoFile, "x.iso", "").find("'x.iso'"),
            std::string::npos);
  EXPECT_NE(FolderStaysText("/tmp/trennwick_temp_1/").find("'/tmp/trennwick_temp_1/'"),
            std::string::npos);
}

}  // namespace
