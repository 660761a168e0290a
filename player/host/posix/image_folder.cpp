// The player's image folder on Linux: mkdtemp makes it 0700 under a name
// nobody could have planted; files are made with O_EXCL | O_NOFOLLOW.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <vector>

#include "platform/posix/system_handles.h"
#include "player/host/image_folder.h"

bool MakeImageFolder(const std::string& root, std::string* folder) {
  std::string pattern = root + kImageFolderPrefix + "XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) return false;
  *folder = std::string(name.data()) + "/";
  return true;
}

bool WriteNewFile(const std::string& path, const std::string& bytes) {
  Descriptor file(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (file.get() < 0) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = write(file.get(), bytes.data() + done, bytes.size() - done);
    if (written <= 0) {
      unlink(path.c_str());
      return false;
    }
    done += static_cast<std::size_t>(written);
  }
  return true;
}

void RemoveWrittenFile(const std::string& path) {
  unlink(path.c_str());
}

void RemoveEmptyFolder(const std::string& folder) {
  rmdir(folder.c_str());
}
