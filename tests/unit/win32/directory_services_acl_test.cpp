// A directory made by MakeDirectory is private, as mode 0700 makes it on
// POSIX: its list of rights is its own (not inherited from c:\tmp\) and
// allows the user, SYSTEM and the Administrators alone.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <set>
#include <string>

#include "platform/directory_services.h"
#include "platform/win32/private_rights.h"
#include "tests/unit/test_directory.h"

namespace {

constexpr char kSystemSid[] = "S-1-5-18";
constexpr char kAdministratorsSid[] = "S-1-5-32-544";

struct Rights {
  bool read = false;
  bool isProtected = false;
  std::multiset<std::string> fullAccess;  // SIDs allowed everything, passed on inside
  std::multiset<std::string> others;      // SIDs with any other entry
};

std::string SidText(PSID sid) {
  char* text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) return {};
  std::string copy = text;
  LocalFree(text);
  return copy;
}

Rights ReadRights(PSECURITY_DESCRIPTOR descriptor) {
  Rights rights;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorControl(descriptor, &control, &revision) ||
      !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present ||
      dacl == nullptr) {
    return rights;
  }
  rights.read = true;
  rights.isProtected = (control & SE_DACL_PROTECTED) != 0;
  constexpr BYTE kPassedOn = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) continue;
    const auto* header = static_cast<ACE_HEADER*>(entry);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      rights.others.insert("type " + std::to_string(header->AceType));
      continue;
    }
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    const std::string sid = SidText(&allowed->SidStart);
    const bool full = (allowed->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS &&
                      (header->AceFlags & kPassedOn) == kPassedOn &&
                      (header->AceFlags & INHERITED_ACE) == 0;
    (full ? rights.fullAccess : rights.others).insert(sid);
  }
  return rights;
}

bool UnderWine() {
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

TEST(DirectoryServicesRights, TheRightsTextAllowsOnlyTheUserSystemAndAdministrators) {
  std::string user;
  ASSERT_TRUE(CurrentUserSid(&user));
  EXPECT_EQ(user.rfind("S-1-5-", 0), 0u);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
      PrivateDirectoryRights(user).c_str(), SDDL_REVISION_1, &descriptor, nullptr));
  const Rights rights = ReadRights(descriptor);
  LocalFree(descriptor);
  ASSERT_TRUE(rights.read);
  EXPECT_TRUE(rights.isProtected);
  EXPECT_EQ(rights.fullAccess, (std::multiset<std::string>{user, kSystemSid, kAdministratorsSid}));
  EXPECT_TRUE(rights.others.empty());
}

TEST(DirectoryServicesRights, ATemporaryDirectoryIsMadeWithThoseRights) {
  TestDirectory test;
  // The test directory passes on its own rights, as c:\tmp\ does.
  const std::string path = test.Name("private");
  ASSERT_EQ(MakeDirectory(path + "\\"), 1);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &dacl, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  const Rights rights = ReadRights(descriptor);
  LocalFree(descriptor);
  std::string user;
  ASSERT_TRUE(CurrentUserSid(&user));
  ASSERT_TRUE(rights.read);
  // Nobody else is allowed anything.
  EXPECT_TRUE(rights.others.empty());
  for (const std::string& sid : rights.fullAccess) {
    EXPECT_TRUE(sid == user || sid == kSystemSid || sid == kAdministratorsSid) << sid;
  }
  EXPECT_EQ(rights.fullAccess.count(user), 1u);
  // Wine keeps no lists of its own: it maps them onto the Unix mode and
  // back, which loses the protection and the Administrators.
  if (UnderWine()) return;
  EXPECT_TRUE(rights.isProtected);
  EXPECT_EQ(rights.fullAccess, (std::multiset<std::string>{user, kSystemSid, kAdministratorsSid}));
}

}  // namespace
