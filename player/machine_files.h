// What a machine may touch, decided in one place before anything starts.
//
// A file counts as the machine's own when its resolved path (links and ".."
// resolved) lies in the .vmx's folder or below. For a .vmx that Trennwick
// wrote itself (trennwick.vmx in a trennwick_temp_* folder directly in the
// launcher's temporary root, owned by the current user and writable by
// nobody else) every file is the user's own choice. Files of any other
// .vmx outside its folder are marked `outside`: the caller asks the user.
// Never allowed: network paths (refused before any look at the file
// system), device and process paths other than a CD drive, a disk or
// serial output that is no regular file. Disk images in a format that can
// name other files are read with qemu-img first; what they name is placed
// the same way. A flat vmdk becomes a raw disk of its one extent; any other
// image that names files outside the machine's folder is refused.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/file_kind.h"
#include "player/file_use.h"
#include "player/qemu_invocation.h"

enum class PathClass {
  kOrdinary,
  kNetwork,  // \\server\share, //server/share
  kDevice,   // /dev, /proc, /sys; \\?\, \\.\ and DOS device names (CON, COM1, ...)
  kCdDrive,  // /dev/sr0, /dev/cdrom; \\.\D:, \\.\CdRom0
};

// By the name alone, without a look at the file system. `separator` '\\'
// reads the name the Windows way, where '/' divides folders as well.
PathClass ClassifyPath(std::string_view path, char separator);

// True when `path` lies in `folder` (with its trailing separator) or below.
// Windows: letters compared without regard to case, '/' the same as '\\'.
bool LiesInFolder(std::string_view path, std::string_view folder, char separator);

// True when `vmxFile` is named as the launcher names its own: trennwick.vmx
// in a trennwick_temp_* folder directly in `temporaryRoot`.
bool NamedLikeTrennwickRun(std::string_view vmxFile, std::string_view temporaryRoot,
                           char separator);

// What the decision asks of the system; tests script it.
class MachineFileHost {
 public:
  enum class ImageReport { kRead, kNoTool, kFailed };
  virtual ~MachineFileHost() = default;
  // Links and ".." resolved; a missing last name is kept below its resolved
  // folder. False when the folder is missing or the name a dangling link.
  virtual bool Resolve(const std::string& path, std::string* resolved) = 0;
  virtual FileKind Kind(const std::string& resolved) = 0;
  // Owned by the current user, writable by nobody else, no link.
  virtual bool PrivateToUser(const std::string& resolved) = 0;
  // qemu-img's JSON report of the image and its backing chain.
  virtual ImageReport ReportImage(const std::string& resolved, const std::string& format,
                                  std::string* report) = 0;
  // The text of a vmdk descriptor (a small file).
  virtual bool ReadDescriptor(const std::string& resolved, std::string* text) = 0;
  // The first bytes of an image, where its header names other files.
  virtual bool ReadImageStart(const std::string& resolved, std::string* bytes) = 0;
};

// One file of the plan.
struct PlacedFile {
  FileUse use;  // a flat vmdk's use names its extent
  std::string resolved;
  bool outside = false;  // not the machine's own: the user decides
  // The index in the invocation's uses; kNoArgument for a file an image names.
  std::size_t useIndex = kNoArgument;
  // A flat vmdk: the options that replace "format=vmdk" (raw, the extent's
  // place); empty otherwise.
  std::string driveOptions;
};

struct MachineFilePlan {
  // The own text (Windows-1252) of the refusal, shown before `refusedPath`
  // in quotes; empty when the machine may start (after the question).
  std::string refusal;
  std::string refusedPath;
  std::vector<PlacedFile> files;
  bool AsksUser() const;
};

inline constexpr char kQemuImgPackage[] = "qemu-utils";

MachineFilePlan PlanMachineFiles(const QemuInvocation& invocation, const std::string& vmxFile,
                                 const std::string& temporaryRoot, char separator,
                                 MachineFileHost& host);

// The descriptors a file of the plan goes to QEMU with.
struct HandedFile {
  std::size_t file = 0;  // index in the plan's files
  std::vector<int> descriptors;
};

// The arguments of `invocation` as the plan has them: a flat vmdk as its
// raw extent, and each handed file as /dev/fdset/N (set N taking its
// descriptors, with -add-fd in front) in place of its name.
std::vector<std::string> PlannedArguments(const QemuInvocation& invocation,
                                          const MachineFilePlan& plan,
                                          const std::vector<HandedFile>& handed);

// The system's side of MachineFileHost; `qemuImg` empty when there is none.
class SystemMachineFiles : public MachineFileHost {
 public:
  explicit SystemMachineFiles(std::string qemuImg) : qemuImg_(std::move(qemuImg)) {}
  bool Resolve(const std::string& path, std::string* resolved) override;
  FileKind Kind(const std::string& resolved) override;
  bool PrivateToUser(const std::string& resolved) override;
  ImageReport ReportImage(const std::string& resolved, const std::string& format,
                          std::string* report) override;
  bool ReadDescriptor(const std::string& resolved, std::string* text) override;
  bool ReadImageStart(const std::string& resolved, std::string* bytes) override;

 private:
  std::string qemuImg_;
};
