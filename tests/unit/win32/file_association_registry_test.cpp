// The association in the real registry (wine's on the build machine): only
// keys of a test extension below the current user's classes are touched.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "player/host/file_association.h"

namespace {

const std::string kExtension = ".trennwicktest";
const std::string kProgId = "Trennwick.Test.trennwicktest";
const std::string kType = "VMware-Konfiguration";
const std::string kCommand = "\"C:\\p q\\trennwick-player.exe\" \"%1\"";

// The default value of HKCU\Software\Classes\<key>, or "<missing>".
std::string UserClassDefault(const std::string& key) {
  char value[512];
  DWORD size = sizeof value;
  const std::string path = "Software\\Classes\\" + key;
  if (RegGetValueA(HKEY_CURRENT_USER, path.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value,
                   &size) != ERROR_SUCCESS) {
    return "<missing>";
  }
  return value;
}

class FileAssociationRegistry : public ::testing::Test {
 protected:
  void SetUp() override { Clean(); }
  void TearDown() override { Clean(); }
  static void Clean() {
    RegDeleteTreeA(HKEY_CURRENT_USER, ("Software\\Classes\\" + kExtension).c_str());
    RegDeleteTreeA(HKEY_CURRENT_USER, ("Software\\Classes\\" + kProgId).c_str());
  }
};

TEST_F(FileAssociationRegistry, RegistersReadsBackAndUnregisters) {
  ASSERT_EQ(RegisterFileAssociation(kExtension, kProgId, kType, kCommand),
            AssociationResult::kDone);
  EXPECT_EQ(UserClassDefault(kExtension), kProgId);
  EXPECT_EQ(UserClassDefault(kProgId + "\\shell\\open\\command"), kCommand);
  EXPECT_EQ(UserClassDefault(kProgId), kType);
  EXPECT_EQ(UserClassDefault(kProgId + "\\DefaultIcon"), "C:\\p q\\trennwick-player.exe,0");
  EXPECT_EQ(RegisterFileAssociation(kExtension, kProgId, kType, kCommand),
            AssociationResult::kAlreadyDone);

  ASSERT_EQ(UnregisterFileAssociation(kExtension, kProgId, "trennwick-player.exe"),
            AssociationResult::kDone);
  EXPECT_EQ(UserClassDefault(kExtension), "<missing>");
  EXPECT_EQ(UserClassDefault(kProgId + "\\shell\\open\\command"), "<missing>");
  HKEY key = nullptr;
  EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, ("Software\\Classes\\" + kProgId).c_str(), 0, KEY_READ,
                          &key),
            ERROR_SUCCESS);
  EXPECT_EQ(UnregisterFileAssociation(kExtension, kProgId, "trennwick-player.exe"),
            AssociationResult::kNotOurs);
}

TEST_F(FileAssociationRegistry, RefusesWhenTheSystemHasAHandler) {
  // A machine-wide handler, seen through HKEY_CLASSES_ROOT.
  const std::string machineKey = "Software\\Classes\\" + kExtension;
  const std::string handler = "Other.Handler";
  ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, machineKey.c_str(), nullptr, REG_SZ,
                            handler.c_str(), static_cast<DWORD>(handler.size() + 1)),
            ERROR_SUCCESS);
  const AssociationResult machineResult =
      RegisterFileAssociation(kExtension, kProgId, kType, kCommand);
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, machineKey.c_str());
  EXPECT_EQ(machineResult, AssociationResult::kHandlerExists);
  EXPECT_EQ(UserClassDefault(kExtension), "<missing>");
  EXPECT_EQ(UserClassDefault(kProgId + "\\shell\\open\\command"), "<missing>");
  // A user key without any value counts as a handler as well.
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, ("Software\\Classes\\" + kExtension).c_str(), 0,
                            nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(RegisterFileAssociation(kExtension, kProgId, kType, kCommand),
            AssociationResult::kHandlerExists);
  EXPECT_EQ(UserClassDefault(kProgId + "\\shell\\open\\command"), "<missing>");
}

}  // namespace
