#include "player/cd_machine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/config_generation.h"
#include "platform/file_channels.h"
#include "platform/system.h"
#include "player/host/machine_file_access.h"
#include "player/machine_files.h"
#include "test_directory.h"

namespace {

namespace fs = std::filesystem;

constexpr char kSep = system_facts::kPathSeparator;

class PlayerCdMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    InitChannelTable();
    fs::create_directory(directory.path() / "template");
    fs::create_directory(directory.path() / "root");
    places.templateDirectory = directory.Name("template") + kSep;
    places.temporaryRoot = directory.Name("root") + kSep;
    places.now = 1200000000;
    WriteBytes(directory.path() / "a.iso", "CD001");
    image = directory.Name("a.iso");
  }

  fs::path Root() const { return directory.path() / "root"; }
  bool RootIsEmpty() const { return fs::is_empty(Root()); }
  void PlaceTemplate(const std::string& bytes) const {
    WriteBytes(directory.path() / "template" / "trennwick_template.txt", bytes);
  }

  TestDirectory directory;
  CdMachinePlaces places;
  std::string image;
};

TEST_F(PlayerCdMachine, TellsConfigurationsFromImagesByTheirEnding) {
  EXPECT_TRUE(IsVmxFileName("machine.vmx"));
  EXPECT_TRUE(IsVmxFileName("C:\\VMs\\Machine.VMX"));
  EXPECT_TRUE(IsVmxFileName("/home/anna/m.Vmx"));
  EXPECT_FALSE(IsVmxFileName("debian.iso"));
  EXPECT_FALSE(IsVmxFileName("machine.vmx.iso"));
  EXPECT_FALSE(IsVmxFileName("machine.vmxf"));
  EXPECT_FALSE(IsVmxFileName("/dev/sr0"));
}

TEST_F(PlayerCdMachine, UsersTemplateBecomesTheLaunchersConfigInAPrivateRunFolder) {
  PlaceTemplate("memsize = \"2048\"\nide1:0.fileName = \"***isofile.iso***\"\n");
  CdMachine machine;
  ASSERT_EQ(MakeCdMachine(image, places, &machine), std::nullopt);
  const std::string folder = places.temporaryRoot + "trennwick_temp_1200000000" + kSep;
  EXPECT_EQ(machine.folder(), folder);
  EXPECT_EQ(machine.vmxFile(), folder + "trennwick.vmx");
  EXPECT_EQ(ReadBytes(machine.vmxFile()),
            "memsize = \"2048\"\r\nide1:0.fileName = \"" + image + "\"\r\n\r\n");
  // The player boots it as Trennwick's own run: every file is the user's.
  EXPECT_TRUE(NamedLikeTrennwickRun(machine.vmxFile(), places.temporaryRoot, kSep));
  EXPECT_TRUE(PrivateToCurrentUser(folder.substr(0, folder.size() - 1)));
}

TEST_F(PlayerCdMachine, WithoutATemplateTheBuiltInOneIsUsedAndNoneWritten) {
  CdMachine machine;
  ASSERT_EQ(MakeCdMachine(image, places, &machine), std::nullopt);
  EXPECT_EQ(ReadBytes(machine.vmxFile()), GenerateDefaultConfig(image) + "\r\n");
  EXPECT_TRUE(fs::is_empty(directory.path() / "template"));
}

TEST_F(PlayerCdMachine, TemplateThatCannotBeReadLeavesNothingBehind) {
  // A folder of the template's name is no missing template.
  fs::create_directory(directory.path() / "template" / "trennwick_template.txt");
  CdMachine machine;
  EXPECT_EQ(MakeCdMachine(image, places, &machine), MachineFailure::kTemplateUnreadable);
  EXPECT_TRUE(machine.vmxFile().empty());
  EXPECT_TRUE(RootIsEmpty());
}

TEST_F(PlayerCdMachine, ImagesTheLauncherWouldRefuseAreRefusedBeforeAnythingIsMade) {
  CdMachine machine;
  EXPECT_EQ(MakeCdMachine(directory.Name("missing.iso"), places, &machine),
            MachineFailure::kImageIsNoFile);
  EXPECT_EQ(MakeCdMachine(directory.Name("template"), places, &machine),
            MachineFailure::kImageIsNoFile);
  // A folder whose name would break the configuration, holding a good image.
  const std::string quoted = "CD \"1\"";
  std::error_code refused;  // Windows allows no quote in a name
  if (fs::create_directory(directory.path() / quoted, refused)) {
    WriteBytes(directory.path() / quoted / "a.iso", "CD001");
    EXPECT_EQ(MakeCdMachine(directory.Name(quoted) + kSep + "a.iso", places, &machine),
              MachineFailure::kImagePathUnusable);
  }
  EXPECT_TRUE(RootIsEmpty());
}

TEST_F(PlayerCdMachine, ARelativeImageIsNamedFromThePresentDirectory) {
  const fs::path before = fs::current_path();
  fs::current_path(directory.path());
  CdMachine machine;
  const std::optional<MachineFailure> failure = MakeCdMachine("a.iso", places, &machine);
  fs::current_path(before);
  ASSERT_EQ(failure, std::nullopt);
  const std::string config = ReadBytes(machine.vmxFile());
  const std::string named = "ide1:0.fileName = \"";
  const std::size_t at = config.find(named);
  ASSERT_NE(at, std::string::npos);
  const std::string path =
      config.substr(at + named.size(), config.find('"', at + named.size()) - at - named.size());
  EXPECT_TRUE(fs::path(path).is_absolute()) << path;
  EXPECT_TRUE(fs::equivalent(path, directory.path() / "a.iso")) << path;
}

TEST_F(PlayerCdMachine, TakenFoldersAreNeverSharedAndAMissingRootMakesNone) {
  const fs::path first = Root() / "trennwick_temp_1200000000";
  fs::create_directory(first);
  WriteBytes(first / "trennwick.vmx", "the launcher's config");
  fs::create_directory(Root() / "trennwick_temp_1200000000_2");
  {
    CdMachine machine;
    ASSERT_EQ(MakeCdMachine(image, places, &machine), std::nullopt);
    EXPECT_EQ(machine.folder(), places.temporaryRoot + "trennwick_temp_1200000000_3" + kSep);
  }
  EXPECT_EQ(ReadBytes(first / "trennwick.vmx"), "the launcher's config");
  EXPECT_FALSE(fs::exists(Root() / "trennwick_temp_1200000000_3"));

  places.now = -1;  // a clock out of range, as the launcher names it
  {
    CdMachine machine;
    ASSERT_EQ(MakeCdMachine(image, places, &machine), std::nullopt);
    EXPECT_EQ(machine.folder(), places.temporaryRoot + "trennwick_temp_-1" + kSep);
  }

  places.temporaryRoot = directory.Name("no root") + kSep;
  CdMachine machine;
  EXPECT_EQ(MakeCdMachine(image, places, &machine), MachineFailure::kNoFolder);
  EXPECT_FALSE(fs::exists(directory.path() / "no root"));
}

TEST_F(PlayerCdMachine, RemovalTakesWhatThePlayerAddedAndHappensOnce) {
  fs::path folder;
  {
    CdMachine machine;
    ASSERT_EQ(MakeCdMachine(image, places, &machine), std::nullopt);
    folder = machine.folder();
    // What a run leaves beside the configuration: UEFI store, TPM state.
    WriteBytes(folder / "trennwick-efivars.fd", "vars");
    fs::create_directory(folder / "trennwick-tpm");
    WriteBytes(folder / "trennwick-tpm" / "tpm2-00.permall", "state");
    EXPECT_TRUE(machine.Remove());
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_TRUE(machine.folder().empty());
    // A folder of the same name made later is someone else's.
    fs::create_directory(folder);
    EXPECT_TRUE(machine.Remove());
  }
  EXPECT_TRUE(fs::exists(folder));
}

// A download named like a CD may be a link to any of the user's files: the
// machine gets the file itself, asked about where it lies elsewhere.
TEST_F(PlayerCdMachine, APickedLinkIsTheFileItPointsToAndLeadingOutIsAsked) {
  fs::create_directory(directory.path() / "downloads");
  fs::create_directory(directory.path() / "downloads" / "sub");
  WriteBytes(directory.path() / "downloads" / "real.iso", "CD001");
  WriteBytes(directory.path() / "downloads" / "sub" / "deeper.iso", "CD001");
  const fs::path links = directory.path() / "downloads";
  std::error_code error;
  fs::create_symlink(directory.path() / "a.iso", links / "out.iso", error);
  if (error) GTEST_SKIP() << "no symbolic links here: " << error.message();
  fs::create_symlink("real.iso", links / "beside.iso");
  fs::create_symlink("sub/deeper.iso", links / "below.iso");
  fs::create_symlink("../downloads/../a.iso", links / "dotdot.iso");
  fs::create_symlink("out.iso", links / "chain.iso");
  fs::create_symlink(directory.path() / "gone.iso", links / "dangling.iso");

  std::string target;
  ASSERT_TRUE(ResolveFilePath(image, &target));
  for (const char* name : {"out.iso", "dotdot.iso", "chain.iso"}) {
    const PickedImage picked = LookAtPickedImage((links / name).string());
    EXPECT_EQ(picked.image, target) << name;
    EXPECT_TRUE(picked.linkLeadsOut) << name;
  }
  for (const char* name : {"beside.iso", "below.iso"}) {
    const PickedImage picked = LookAtPickedImage((links / name).string());
    EXPECT_FALSE(picked.linkLeadsOut) << name;
    EXPECT_TRUE(fs::equivalent(picked.image, fs::canonical(links / name))) << name;
    EXPECT_FALSE(fs::is_symlink(picked.image)) << name;
  }
  // No link, and a dangling one, stay as they were named: the second is
  // refused as missing, with nothing made.
  EXPECT_EQ(LookAtPickedImage(image).image, image);
  EXPECT_FALSE(LookAtPickedImage(image).linkLeadsOut);
  const PickedImage dangling = LookAtPickedImage((links / "dangling.iso").string());
  EXPECT_EQ(dangling.image, (links / "dangling.iso").string());
  EXPECT_FALSE(dangling.linkLeadsOut);
  CdMachine machine;
  EXPECT_EQ(MakeCdMachine(dangling.image, places, &machine), MachineFailure::kImageIsNoFile);
  EXPECT_TRUE(RootIsEmpty());

  const std::string question = LinkedImageQuestion((links / "out.iso").string(), target);
  EXPECT_NE(question.find((links / "out.iso").string()), std::string::npos) << question;
  EXPECT_NE(question.find(target), std::string::npos) << question;
}

// A link to what is neither a file nor a drive is refused, naming what it
// points to, before anything is made and without a question.
TEST_F(PlayerCdMachine, APickedLinkToAFolderIsRefusedByItsTarget) {
  std::error_code error;
  fs::create_directory_symlink(Root(), directory.path() / "folder.iso", error);
  if (error) GTEST_SKIP() << "no symbolic links here: " << error.message();
  const PickedImage picked = LookAtPickedImage(directory.Name("folder.iso"));
  EXPECT_FALSE(picked.linkLeadsOut);
  EXPECT_TRUE(fs::equivalent(picked.image, Root()));
  CdMachine machine;
  EXPECT_EQ(MakeCdMachine(picked.image, places, &machine), MachineFailure::kImageIsNoFile);
  EXPECT_TRUE(RootIsEmpty());
}

}  // namespace
