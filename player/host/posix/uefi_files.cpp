// The UEFI files on Linux: Debian's ovmf package, and a copy made with
// O_EXCL | O_NOFOLLOW, so that nothing planted of that name is written
// through.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/system_handles.h"
#include "player/host/uefi_files.h"
#include "player/host/uefi_files_system.h"

UefiFirmware UefiFirmwareCandidates(bool secureBoot, const std::string& qemuProgram) {
  (void)qemuProgram;  // the package's firmware serves every QEMU
  const std::string ovmf = "/usr/share/OVMF/";
  return secureBoot ? UefiFirmware{ovmf + "OVMF_CODE_4M.ms.fd", ovmf + "OVMF_VARS_4M.ms.fd"}
                    : UefiFirmware{ovmf + "OVMF_CODE_4M.fd", ovmf + "OVMF_VARS_4M.fd"};
}

namespace {

// A second name (a hard link) could be another machine's store or any file
// of the user's: such a file is no store of this machine's own.
bool IsPlainFile(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
         status.st_uid == geteuid() && status.st_nlink == 1;
}

bool NameTaken(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

bool CopyToNewFile(const std::string& source, const std::string& target) {
  Descriptor from(open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (from.get() < 0) return false;
  Descriptor to(open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (to.get() < 0) return false;
  char buffer[65536];
  bool copied = true;
  while (true) {
    const ssize_t count = read(from.get(), buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count == 0) break;
    if (count < 0) {
      copied = false;
      break;
    }
    for (ssize_t done = 0; done < count;) {
      const ssize_t written =
          write(to.get(), buffer + done, static_cast<std::size_t>(count - done));
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        copied = false;
        break;
      }
      done += written;
    }
    if (!copied) break;
  }
  if (close(to.Release()) != 0) copied = false;
  if (!copied) unlink(target.c_str());
  return copied;
}

}  // namespace

const UefiFilesSystem kSystemUefiFilesCalls = {IsPlainFile, NameTaken, CopyToNewFile};
