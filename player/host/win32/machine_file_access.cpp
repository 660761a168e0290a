// The machine's files on Windows: full and final paths for placement, the
// owner's SID and the DACL for the launcher's own folders, the volume and
// drive type for roots of drives and mounted folders, handles held
// for reading. QEMU gets names here, as it opens them itself.
#include <aclapi.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/ascii_case.h"
#include "platform/path_names.h"
#include "platform/win32/system_handles.h"
#include "player/host/machine_file_access.h"

namespace {

// Why CreateFile failed, as far as the user is to learn it.
OpenResult FailureOfOpen(DWORD error) {
  if (error == ERROR_TOO_MANY_OPEN_FILES) return OpenResult::kTooManyFiles;
  return error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY ||
                 error == ERROR_NO_SYSTEM_RESOURCES
             ? OpenResult::kNoMemory
             : OpenResult::kUnfit;
}

bool FullPath(const std::string& path, std::string* full) {
  char buffer[MAX_PATH];
  char* name = nullptr;
  const DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, buffer, &name);
  if (length == 0 || length >= MAX_PATH) return false;
  *full = buffer;
  return true;
}

// The path of an existing file as the system holds it, links and
// junctions resolved; "\\?\" taken off, "\\?\UNC\" given back as "\\".
bool FinalPath(const std::string& path, std::string* final) {
  const HANDLE file =
      CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  ScopedHandle owner(file);
  char buffer[MAX_PATH + 8];
  const DWORD length = GetFinalPathNameByHandleA(file, buffer, sizeof buffer, VOLUME_NAME_DOS);
  if (length == 0 || length >= sizeof buffer) return false;
  std::string text(buffer, length);
  if (text.rfind("\\\\?\\UNC\\", 0) == 0) {
    text = "\\\\" + text.substr(8);
  } else if (text.rfind("\\\\?\\", 0) == 0) {
    text = text.substr(4);
  }
  *final = text;
  return true;
}

}  // namespace

bool ResolveFilePath(const std::string& path, std::string* resolved) {
  std::string full;
  if (path.empty() || !FullPath(path, &full)) return false;
  if (GetFileAttributesA(full.c_str()) != INVALID_FILE_ATTRIBUTES) {
    if (!FinalPath(full, resolved)) *resolved = full;
    return true;
  }
  const std::string folderPart = FolderOfPath(full, '\\');
  if (folderPart.empty()) return false;
  std::string folder;
  if (!FinalPath(folderPart, &folder)) return false;
  if (!folder.empty() && folder.back() != '\\') folder += '\\';
  *resolved = folder + std::string(LastPathName(full, '\\'));
  return true;
}

namespace {

// Rights that let a holder change what lies in a folder or who may.
constexpr ACCESS_MASK kChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                        FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE |
                                        WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  return IsWellKnownSid(sid, type) != FALSE;
}

// True when no entry of `dacl` lets anyone but `user`, SYSTEM and the
// Administrators change the folder: the counterpart of a mode without
// group or other write bits. No DACL at all lets everyone in.
bool OnlyTheseMayChange(PACL dacl, PSID user) {
  if (dacl == nullptr) return false;
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* entry = nullptr;
    if (!GetAce(dacl, index, &entry)) return false;
    const auto* header = static_cast<ACE_HEADER*>(entry);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    if ((allowed->Mask & kChangingRights) == 0) continue;
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if (EqualSid(sid, user) || IsWellKnown(sid, WinLocalSystemSid) ||
        IsWellKnown(sid, WinBuiltinAdministratorsSid)) {
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace

namespace {

// The current user's SID, in `buffer`; null when it cannot be had.
PSID CurrentUser(char (&buffer)[256]) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  ScopedHandle tokenOwner(token);
  DWORD length = 0;
  if (!GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length)) return nullptr;
  return reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
}

}  // namespace

bool OthersMayWrite(const std::string& folder) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoA(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return true;
  }
  char buffer[256];
  const PSID user = CurrentUser(buffer);
  const bool others = user == nullptr || !OnlyTheseMayChange(dacl, user);
  LocalFree(descriptor);
  return others;
}

bool IsLink(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool IsVolumeRoot(const std::string& folder) {
  // The volume's path is worked out from the name alone, also for a folder
  // that is not there.
  const DWORD attributes = GetFileAttributesA(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return true;
  }
  char volume[MAX_PATH + 1];
  if (!GetVolumePathNameA(folder.c_str(), volume, sizeof volume)) return true;
  std::string root = volume;
  if (root.empty() || root.back() != '\\') root += '\\';
  if (EqualsIgnoringAsciiCase(root, folder)) return true;
  // A stick's folders are where a camera or a phone keeps the user's files.
  return GetDriveTypeA(root.c_str()) == DRIVE_REMOVABLE &&
         EqualsIgnoringAsciiCase(FolderOfPath(folder.substr(0, folder.size() - 1), '\\'), root);
}

bool PrivateToCurrentUser(const std::string& path) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                            &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  char buffer[256];
  const PSID user = CurrentUser(buffer);
  const bool private_ =
      user != nullptr && EqualSid(user, owner) != 0 && OnlyTheseMayChange(dacl, user);
  LocalFree(descriptor);
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return private_ && attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

SmallFileResult ReadSmallFile(const std::string& path, std::size_t limit, std::string* bytes) {
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return SmallFileResult::kCannotOpen;
  ScopedHandle owner(file);
  if (GetFileType(file) != FILE_TYPE_DISK) return SmallFileResult::kNotAFile;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) return SmallFileResult::kReadFailed;
  if (static_cast<unsigned long long>(size.QuadPart) > limit) return SmallFileResult::kTooLarge;
  bytes->clear();
  char buffer[65536];
  DWORD count = 0;
  while (true) {
    if (!ReadFile(file, buffer, sizeof buffer, &count, nullptr))
      return SmallFileResult::kReadFailed;
    if (count == 0) return SmallFileResult::kRead;
    if (bytes->size() + count > limit) return SmallFileResult::kTooLarge;
    bytes->append(buffer, count);
  }
}

bool FilesHandedAsDescriptors() {
  return false;
}

long long OpenFileLimit() {
  return 0;
}

void RaiseOpenFileLimit() {}

OpenResult OpenForHandOver(const std::string& /*resolved*/, HandOverMode /*mode*/,
                           bool /*blockDeviceAllowed*/, std::vector<int>* /*descriptors*/) {
  return OpenResult::kUnfit;
}

HandedDescriptors::~HandedDescriptors() = default;

HeldFiles::~HeldFiles() {
  for (const Held& held : held_) CloseHandle(reinterpret_cast<HANDLE>(held.handle));
}

OpenResult HeldFiles::Open(const std::string& resolved, bool blockDeviceAllowed,
                           std::size_t* number) {
  // The reparse point itself, never what it points at; others may go on
  // reading and writing, as QEMU opens the file by name after us.
  const HANDLE file =
      CreateFileA(resolved.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return FailureOfOpen(GetLastError());
  ScopedHandle owner(file);
  const bool device = resolved.rfind("\\\\.\\", 0) == 0;
  BY_HANDLE_FILE_INFORMATION information{};
  if (device) {
    if (!blockDeviceAllowed) return OpenResult::kUnfit;
  } else if (GetFileType(file) != FILE_TYPE_DISK ||
             !GetFileInformationByHandle(file, &information) ||
             (information.dwFileAttributes &
              (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return OpenResult::kUnfit;
  }
  for (std::size_t earlier = 0; earlier < held_.size(); ++earlier) {
    if (held_[earlier].path != resolved) continue;
    // Held without FILE_SHARE_DELETE, a file cannot be renamed away or
    // replaced; the comparison keeps the promise where a file system
    // ignores that (a network share). A device is its name.
    BY_HANDLE_FILE_INFORMATION was{};
    if (!device &&
        (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(held_[earlier].handle), &was) ||
         was.dwVolumeSerialNumber != information.dwVolumeSerialNumber ||
         was.nFileIndexHigh != information.nFileIndexHigh ||
         was.nFileIndexLow != information.nFileIndexLow)) {
      return OpenResult::kUnfit;
    }
    *number = earlier;
    return OpenResult::kOpened;
  }
  held_.push_back({resolved, reinterpret_cast<std::intptr_t>(owner.Release()), device});
  *number = held_.size() - 1;
  return OpenResult::kOpened;
}

bool HeldFiles::ReadAt(std::size_t number, std::uint64_t offset, std::size_t count,
                       std::string* bytes) {
  if (number >= held_.size()) return false;
  const HANDLE file = reinterpret_cast<HANDLE>(held_[number].handle);
  bytes->assign(count, '\0');
  std::size_t done = 0;
  while (done < count) {
    OVERLAPPED at{};
    const std::uint64_t position = offset + done;
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    DWORD got = 0;
    if (!ReadFile(file, bytes->data() + done, static_cast<DWORD>(count - done), &got, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return false;
    }
    if (got == 0) break;
    done += got;
  }
  bytes->resize(done);
  return true;
}

std::uint64_t HeldFiles::Size(std::size_t number) {
  LARGE_INTEGER size{};
  if (number >= held_.size() ||
      !GetFileSizeEx(reinterpret_cast<HANDLE>(held_[number].handle), &size)) {
    return 0;
  }
  return static_cast<std::uint64_t>(size.QuadPart);
}

std::uint64_t HeldFiles::LinkCount(std::size_t number) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (number >= held_.size() ||
      !GetFileInformationByHandle(reinterpret_cast<HANDLE>(held_[number].handle), &information)) {
    return 1;
  }
  return information.nNumberOfLinks;
}

OpenResult HeldFiles::OpenForHandOver(std::size_t /*number*/, HandOverMode /*mode*/,
                                      std::vector<int>* /*descriptors*/) {
  return OpenResult::kUnfit;
}
