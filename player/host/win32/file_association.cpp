// The registry calls of the file association. Only the current user's
// classes are written; HKEY_CLASSES_ROOT is only read.
#include <shlobj.h>
#include <windows.h>

#include <string>

#include "player/host/file_association_system.h"

namespace {

constexpr char kUserClasses[] = "Software\\Classes\\";

// An open registry key, closed on every path out.
class RegistryKey {
 public:
  RegistryKey() = default;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  ~RegistryKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  HKEY* Out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

HKEY RootKey(RegistryRoot root) {
  return root == RegistryRoot::kClassesRoot ? HKEY_CLASSES_ROOT : HKEY_CURRENT_USER;
}

std::string KeyPath(RegistryRoot root, const std::string& key) {
  return root == RegistryRoot::kClassesRoot ? key : kUserClasses + key;
}

bool ReadDefault(RegistryRoot root, const std::string& key, std::string* value) {
  RegistryKey opened;
  if (RegOpenKeyExA(RootKey(root), KeyPath(root, key).c_str(), 0, KEY_QUERY_VALUE, opened.Out()) !=
      ERROR_SUCCESS) {
    return false;
  }
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(opened.get(), nullptr, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return false;
  }
  std::string buffer(size + 1, '\0');
  if (RegQueryValueExA(opened.get(), nullptr, nullptr, &type,
                       reinterpret_cast<BYTE*>(buffer.data()), &size) != ERROR_SUCCESS) {
    return false;
  }
  buffer.resize(size);
  while (!buffer.empty() && buffer.back() == '\0') buffer.pop_back();
  *value = buffer;
  return true;
}

bool KeyExists(RegistryRoot root, const std::string& key) {
  RegistryKey opened;
  return RegOpenKeyExA(RootKey(root), KeyPath(root, key).c_str(), 0, KEY_READ, opened.Out()) ==
         ERROR_SUCCESS;
}

bool WriteDefault(RegistryRoot root, const std::string& key, const std::string& value) {
  RegistryKey created;
  if (RegCreateKeyExA(RootKey(root), KeyPath(root, key).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                      nullptr, created.Out(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  return RegSetValueExA(created.get(), nullptr, 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

bool DeleteTree(RegistryRoot root, const std::string& key) {
  const LONG result = RegDeleteTreeA(RootKey(root), KeyPath(root, key).c_str());
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

void NotifyChanged() {
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
}

}  // namespace

const FileAssociationSystem kSystemFileAssociationCalls = {
    true, ReadDefault, KeyExists, WriteDefault, DeleteTree, NotifyChanged};
