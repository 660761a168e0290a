#include "player/host/file_association.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>

#include "player/host/file_association_system.h"

namespace {

// A registry in memory: keys of both roots with their default values.
class FileAssociationLogic : public ::testing::Test {
 protected:
  using Key = std::pair<RegistryRoot, std::string>;

  void SetUp() override {
    saved_ = fileAssociationSystem;
    current = this;
    fileAssociationSystem.supported = true;
    fileAssociationSystem.readDefault = [](RegistryRoot root, const std::string& key,
                                           std::string* value) {
      const auto found = current->keys.find({root, key});
      if (found == current->keys.end() || found->second.empty()) return false;
      *value = found->second;
      return true;
    };
    fileAssociationSystem.keyExists = [](RegistryRoot root, const std::string& key) {
      return current->keys.count({root, key}) > 0;
    };
    fileAssociationSystem.writeDefault = [](RegistryRoot root, const std::string& key,
                                            const std::string& value) {
      if (current->writesLeft-- == 0) return false;
      current->keys[{root, key}] = value;
      return true;
    };
    fileAssociationSystem.deleteTree = [](RegistryRoot root, const std::string& key) {
      for (auto it = current->keys.begin(); it != current->keys.end();) {
        const bool below = it->first.first == root &&
                           (it->first.second == key || it->first.second.rfind(key + "\\", 0) == 0);
        it = below ? current->keys.erase(it) : std::next(it);
      }
      return true;
    };
    fileAssociationSystem.notifyChanged = [] { ++current->notifications; };
  }
  void TearDown() override { fileAssociationSystem = saved_; }

  static inline FileAssociationLogic* current = nullptr;
  std::map<Key, std::string> keys;
  int writesLeft = 1000;
  int notifications = 0;

 private:
  FileAssociationSystem saved_;
};

const std::string kCommand = "\"C:\\p\\trennwick-player.exe\" \"%1\"";
const std::string kProgram = "trennwick-player.exe";
const std::string kType = "VMware-Konfiguration";
constexpr RegistryRoot kUser = RegistryRoot::kUserClasses;

TEST_F(FileAssociationLogic, RegistersWhereNoHandlerExistsAndUnregistersExactlyThat) {
  EXPECT_EQ(RegisterFileAssociation(".vmx", "T.vmx", kType, kCommand), AssociationResult::kDone);
  EXPECT_EQ(keys[Key(kUser, ".vmx")], "T.vmx");
  EXPECT_EQ(keys[Key(kUser, "T.vmx\\shell\\open\\command")], kCommand);
  // Explorer names the type and shows the player's own icon for the files.
  EXPECT_EQ(keys[Key(kUser, "T.vmx")], kType);
  EXPECT_EQ(keys[Key(kUser, "T.vmx\\DefaultIcon")], "C:\\p\\trennwick-player.exe,0");
  EXPECT_EQ(notifications, 1);
  // Registering again is no failure and writes nothing.
  writesLeft = 0;
  EXPECT_EQ(RegisterFileAssociation(".vmx", "T.vmx", kType, kCommand),
            AssociationResult::kAlreadyDone);
  writesLeft = 1000;
  EXPECT_EQ(UnregisterFileAssociation(".vmx", "T.vmx", kProgram), AssociationResult::kDone);
  EXPECT_TRUE(keys.empty());
  EXPECT_EQ(UnregisterFileAssociation(".vmx", "T.vmx", kProgram), AssociationResult::kNotOurs);
}

TEST_F(FileAssociationLogic, LeavesAnExistingHandlerAlone) {
  keys[{RegistryRoot::kClassesRoot, ".vmx"}] = "VMware.Document";
  EXPECT_EQ(RegisterFileAssociation(".vmx", "T.vmx", kType, kCommand),
            AssociationResult::kHandlerExists);
  keys.clear();
  keys[{kUser, ".vmx"}] = "";  // a user key, even without a default value
  EXPECT_EQ(RegisterFileAssociation(".vmx", "T.vmx", kType, kCommand),
            AssociationResult::kHandlerExists);
  EXPECT_EQ(keys.size(), 1u);
  EXPECT_EQ(notifications, 0);
  // An empty default value under HKCR alone is no handler.
  keys.clear();
  keys[{RegistryRoot::kClassesRoot, ".vmx"}] = "";
  EXPECT_EQ(RegisterFileAssociation(".vmx", "T.vmx", kType, kCommand), AssociationResult::kDone);
}

TEST_F(FileAssociationLogic, UnregistersOnlyValuesThatAreStillOurs) {
  ASSERT_EQ(RegisterFileAssociation(".vmx", "T.vmx", kType, kCommand), AssociationResult::kDone);
  keys[{kUser, ".vmx"}] = "Other.vmx";  // taken over by another program since
  EXPECT_EQ(UnregisterFileAssociation(".vmx", "T.vmx", kProgram), AssociationResult::kDone);
  EXPECT_EQ(keys[Key(kUser, ".vmx")], "Other.vmx");
  EXPECT_EQ(keys.count({kUser, "T.vmx\\shell\\open\\command"}), 0u);

  keys.clear();
  keys[{kUser, ".vmx"}] = "T.vmx";
  keys[{kUser, "T.vmx\\shell\\open\\command"}] = "\"D:\\moved\\player.exe\" \"%1\"";
  EXPECT_EQ(UnregisterFileAssociation(".vmx", "T.vmx", kProgram), AssociationResult::kDone);
  EXPECT_EQ(keys.count({kUser, ".vmx"}), 0u);
  EXPECT_EQ(keys.count({kUser, "T.vmx\\shell\\open\\command"}), 1u);
}

TEST_F(FileAssociationLogic, FollowsTheProgramWhenItHasMoved) {
  ASSERT_EQ(RegisterFileAssociation(".vmx", "T.vmx", kType, kCommand), AssociationResult::kDone);
  const std::string moved = "\"D:\\Neu\\Trennwick-Player.EXE\" \"%1\"";
  EXPECT_EQ(RegisterFileAssociation(".vmx", "T.vmx", kType, moved), AssociationResult::kDone);
  EXPECT_EQ(keys[Key(kUser, "T.vmx\\shell\\open\\command")], moved);
  EXPECT_EQ(keys[Key(kUser, "T.vmx\\DefaultIcon")], "D:\\Neu\\Trennwick-Player.EXE,0");
  // Unregistered from yet another place: the ProgID still starts our program.
  EXPECT_EQ(UnregisterFileAssociation(".vmx", "T.vmx", kProgram), AssociationResult::kDone);
  EXPECT_TRUE(keys.empty());

  EXPECT_EQ(CommandProgramName("\"C:\\a b\\x.exe\" \"%1\""), "x.exe");
  EXPECT_EQ(CommandProgramName("C:/bin/y.exe %1"), "y.exe");
  EXPECT_EQ(CommandProgramName("\"unclosed"), "unclosed");
}

TEST_F(FileAssociationLogic, CompletesARegistrationOfAnOlderVersion) {
  // Written before the type had a name and an icon: only the command.
  keys[{kUser, ".vmx"}] = "T.vmx";
  keys[{kUser, "T.vmx\\shell\\open\\command"}] = kCommand;
  EXPECT_EQ(RegisterFileAssociation(".vmx", "T.vmx", kType, kCommand), AssociationResult::kDone);
  EXPECT_EQ(keys[Key(kUser, "T.vmx")], kType);
  EXPECT_EQ(keys[Key(kUser, "T.vmx\\DefaultIcon")], "C:\\p\\trennwick-player.exe,0");
  EXPECT_EQ(notifications, 1);
  // A path with a comma keeps it: the shell splits at the last one.
  const std::string odd = "\"C:\\a, b\\trennwick-player.exe\" \"%1\"";
  EXPECT_EQ(RegisterFileAssociation(".vmx", "T.vmx", kType, odd), AssociationResult::kDone);
  EXPECT_EQ(keys[Key(kUser, "T.vmx\\DefaultIcon")], "C:\\a, b\\trennwick-player.exe,0");
  // A refused update is reported, never taken for done.
  writesLeft = 0;
  EXPECT_EQ(RegisterFileAssociation(".vmx", "T.vmx", kType, kCommand), AssociationResult::kFailed);
}

TEST_F(FileAssociationLogic, LeavesNothingBehindWhenAWriteFails) {
  for (int writes : {0, 1, 2, 3}) {
    keys.clear();
    writesLeft = writes;
    EXPECT_EQ(RegisterFileAssociation(".vmx", "T.vmx", kType, kCommand),
              AssociationResult::kFailed);
    EXPECT_TRUE(keys.empty()) << writes;
  }
  EXPECT_EQ(notifications, 0);
}

TEST_F(FileAssociationLogic, SaysWhenTheSystemHasNoRegistry) {
  fileAssociationSystem.supported = false;
  EXPECT_EQ(RegisterFileAssociation(".vmx", "T.vmx", kType, kCommand),
            AssociationResult::kNotSupported);
  EXPECT_EQ(UnregisterFileAssociation(".vmx", "T.vmx", kProgram), AssociationResult::kNotSupported);
}

}  // namespace
