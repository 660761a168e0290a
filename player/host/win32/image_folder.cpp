// The player's image folder on Windows: a new folder whose rights are the
// user's, SYSTEM's and the Administrators' only (the counterpart of 0700:
// below c:\tmp\ it would otherwise inherit rights that let every user in),
// and files made with CREATE_NEW, which never opens what is there.
#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "player/host/image_folder.h"

namespace {

bool UserSid(std::string* text) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<std::uint8_t> buffer(size == 0 ? 1 : size);
  const bool read = size != 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
  CloseHandle(token);
  if (!read) return false;
  char* sid = nullptr;
  if (!ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) {
    return false;
  }
  *text = sid;
  LocalFree(sid);
  return true;
}

}  // namespace

bool MakeImageFolder(const std::string& root, std::string* folder) {
  std::string user;
  if (!UserSid(&user)) return false;
  const std::string rights = "D:P(A;OICI;FA;;;" + user + ")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(rights.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return false;
  }
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
  bool made = false;
  const unsigned long long start = GetTickCount64() ^ GetCurrentProcessId();
  for (unsigned attempt = 0; attempt < 100 && !made; ++attempt) {
    const std::string path = root + kImageFolderPrefix + std::to_string(start + attempt);
    if (CreateDirectoryA(path.c_str(), &attributes)) {
      *folder = path + "\\";
      made = true;
    } else if (GetLastError() != ERROR_ALREADY_EXISTS) {
      break;
    }
  }
  LocalFree(descriptor);
  return made;
}

bool WriteNewFile(const std::string& path, const std::string& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::size_t done = 0;
  bool written = true;
  while (written && done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
    DWORD wrote = 0;
    written = WriteFile(file, bytes.data() + done, chunk, &wrote, nullptr) && wrote == chunk;
    done += wrote;
  }
  CloseHandle(file);
  if (!written) DeleteFileA(path.c_str());
  return written;
}

void RemoveWrittenFile(const std::string& path) {
  DeleteFileA(path.c_str());
}

void RemoveEmptyFolder(const std::string& folder) {
  RemoveDirectoryA(folder.c_str());
}
