// windows.h first: sddl.h needs it.
#include <windows.h>

#include <sddl.h>

#include "platform/directory_services.h"
#include "platform/directory_services_system.h"
#include "platform/win32/private_rights.h"
#include "platform/win32/system_handles.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

bool IsReparsePoint(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

bool CurrentUserSid(std::string* text) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  ScopedHandle tokenOwner(token);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  if (size == 0) return false;
  std::vector<std::uint8_t> buffer(size);
  if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return false;
  char* sid = nullptr;
  if (!ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) {
    return false;
  }
  *text = sid;
  LocalFree(sid);
  return true;
}

std::string PrivateDirectoryRights(const std::string& userSid) {
  return "D:P(A;OICI;FA;;;" + userSid + ")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
}

namespace {

// The counterpart of mode 0700: a directory below c:\tmp\ would inherit
// that folder's rights, which let every authenticated user change it.
bool CreateOneDirectory(const std::string& path) {
  std::string user;
  if (!CurrentUserSid(&user)) return false;
  const std::string rights = PrivateDirectoryRights(user);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(rights.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return false;
  }
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
  const bool made = CreateDirectoryA(path.c_str(), &attributes) != 0;
  LocalFree(descriptor);
  return made;
}

// Windows walks by path text, so there is nothing to hold open. Levels below
// the top were found by a search that already told links apart; the top,
// named by the caller, is looked at here by its name without trailing
// separators, so that the attributes are those of the entry itself. A
// drive's root is no link.
bool OpenDirectory(const WalkedDirectory* parent, const std::string& name, WalkedDirectory&) {
  if (parent != nullptr) return true;
  std::string path = name;
  while (!path.empty() && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  if (path.empty() || path.back() == ':') return true;
  return !IsReparsePoint(GetFileAttributesA(path.c_str()));
}

bool FindEntries(const WalkedDirectory& directory, const std::string& pattern,
                 std::vector<DirectoryEntry>& entries) {
  WIN32_FIND_DATAA data;
  FileSearch search(directory.text + pattern, data);
  if (!search.Found()) return false;
  do {
    DirectoryEntry entry;
    entry.name = data.cFileName;
    entry.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.isLink = IsReparsePoint(data.dwFileAttributes);
    entry.lastChange = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
        data.ftLastWriteTime.dwLowDateTime);
    entries.push_back(entry);
  } while (search.Next(data));
  return true;
}

bool MakeFileNormal(const WalkedDirectory& directory, const std::string& name) {
  return SetFileAttributesA((directory.text + name).c_str(), FILE_ATTRIBUTE_NORMAL) != 0;
}

bool DeleteOneFile(const WalkedDirectory& directory, const std::string& name) {
  return DeleteFileA((directory.text + name).c_str()) != 0;
}

// A junction or directory symbolic link goes with RemoveDirectoryA, which
// removes the link and leaves its target alone; a file link with DeleteFileA.
bool RemoveLink(const WalkedDirectory& directory, const DirectoryEntry& entry) {
  const std::string fullName = directory.text + entry.name;
  if (entry.isDirectory) return RemoveDirectoryA(fullName.c_str()) != 0;
  return DeleteFileA(fullName.c_str()) != 0;
}

// Asking for delete access with every sharing allowed fails exactly when
// another handle was opened without delete sharing, which is what would make
// DeleteFileA fail.
bool FileInUse(const WalkedDirectory& directory, const std::string& name) {
  const HANDLE file = CreateFileA((directory.text + name).c_str(), DELETE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
  CloseHandle(file);
  return false;
}

bool MakeDirectoryNormal(const WalkedDirectory& directory) {
  return SetFileAttributesA(directory.text.c_str(), FILE_ATTRIBUTE_NORMAL) != 0;
}

bool RemoveOneDirectory(const WalkedDirectory*, const std::string&,
                        const WalkedDirectory& directory) {
  return RemoveDirectoryA(directory.text.c_str()) != 0;
}

}  // namespace

WalkedDirectory::~WalkedDirectory() = default;

DirectorySystemCalls& DirectorySystem() {
  static DirectorySystemCalls calls = {
      .pathRoom = MAX_PATH,
      .createDirectory = CreateOneDirectory,
      .openDirectory = OpenDirectory,
      .findEntries = FindEntries,
      .makeFileNormal = MakeFileNormal,
      .deleteFile = DeleteOneFile,
      .removeLink = RemoveLink,
      .makeDirectoryNormal = MakeDirectoryNormal,
      .fileInUse = FileInUse,
      .removeDirectory = RemoveOneDirectory,
  };
  return calls;
}
