// What a machine may touch, decided in one place before anything starts.
//
// A file counts as the machine's own when its resolved path (links and ".."
// resolved) lies in the .vmx's folder or below, and that folder is a
// machine's folder: not the user's home or one of the user's folders
// (Downloads, Desktop, ...), not a temporary root nor any folder in or below
// one (archive and mail programs unpack there), not a folder others may
// write into, not the root of a file system nor a mount point (a USB
// stick, a network share, a mounted image), and on Windows not a drive's
// root nor a folder directly in a removable drive's root. In Trennwick's
// own run (its launcher is the player's parent, or the player made the
// machine itself) every file is the user's own choice. Every other file is marked
// `outside`: the caller asks the user. A file with further names (hard
// links) counts as outside too: it may be one of the user's files by
// another name.
//
// Never allowed: network paths (refused before any look at the file
// system), device and process paths other than a CD drive, the .vmx itself
// as a drive or serial output, a disk or serial output that is no regular
// file. A disk image is read by the player itself, layer by layer: what it
// names (backing files, data files, extents) is placed the same way, and
// nothing outside the machine's folder is read before the user agreed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_kind.h"
#include "platform/path_names.h"
#include "player/file_use.h"
#include "player/host/machine_file_access.h"
#include "player/image_chain.h"

// True when `vmxFile` is named as the launcher names its own: trennwick.vmx
// in a trennwick_temp_* folder directly in `temporaryRoot`.
bool NamedLikeTrennwickRun(std::string_view vmxFile, std::string_view temporaryRoot,
                           char separator);

// Where the .vmx lies and what the player knows of the user's folders.
struct MachinePlace {
  std::string vmxFile;
  std::string temporaryRoot;
  // Every temporary root (/tmp, $TMPDIR; %TEMP%), resolved, each with its
  // trailing separator.
  std::vector<std::string> temporaryFolders;
  char separator = '/';
  // Folders that are no machine's folder (resolved, each with its trailing
  // separator): the home, the user's folders.
  std::vector<std::string> userFolders;
  // The launcher is the player's parent, or the player made the machine.
  bool trennwickRun = false;
};

inline constexpr std::size_t kNoFile = static_cast<std::size_t>(-1);

// What the decision asks of the system; tests script it.
class MachineFileHost {
 public:
  virtual ~MachineFileHost() = default;
  // Links and ".." resolved; a missing last name is kept below its resolved
  // folder. False when the folder is missing or the name a dangling link.
  virtual bool Resolve(const std::string& path, std::string* resolved) = 0;
  virtual FileKind Kind(const std::string& resolved) = 0;
  // Owned by the current user, writable by nobody else, no link.
  virtual bool PrivateToUser(const std::string& resolved) = 0;
  // Someone else than the user may make files in the folder (/tmp).
  virtual bool OthersMayWrite(const std::string& resolvedFolder) = 0;
  // The folder is the root of a mounted file system or a mount point
  // (Windows: a drive's root, a mounted folder, or a folder directly in a
  // removable drive's root).
  virtual bool VolumeRoot(const std::string& resolvedFolder) = 0;
  // Opens the file for reading, never through a link at its last step and
  // without waiting for a FIFO, and holds it open; kUnfit unless it is a
  // regular file (or, with `blockDeviceAllowed`, a block device).
  virtual OpenResult OpenForReading(const std::string& resolved, bool blockDeviceAllowed,
                                    std::size_t* held) = 0;
  // The most files the player may hold open at once; 0 when unlimited or
  // unknown.
  virtual long long OpenFileLimit() = 0;
  virtual bool ReadAt(std::size_t held, std::uint64_t offset, std::size_t count,
                      std::string* bytes) = 0;
  virtual std::uint64_t Size(std::size_t held) = 0;
  virtual std::uint64_t LinkCount(std::size_t held) = 0;
};

// The own text (Windows-1252) for an open that failed for want of
// descriptors or memory, shown before the file's name in quotes; empty for
// any other result. `limit`: the most files the player may hold open, 0
// when unknown.
std::string OpenShortageText(OpenResult result, long long limit);

// Up to `count` bytes at `offset` of the part of a held file that starts at
// `sliceOffset` and is `sliceSize` long (0: the whole file), never past
// that part's end.
bool ReadPartAt(MachineFileHost& host, std::size_t held, std::uint64_t sliceOffset,
                std::uint64_t sliceSize, std::uint64_t offset, std::size_t count,
                std::string* bytes);

// One file of the plan; several uses or layers may name it.
struct PlannedFile {
  std::string resolved;
  FileUseKind kind = FileUseKind::kDiskImage;
  FileAccess access = FileAccess::kRead;  // the most any use needs
  FileKind fileKind = FileKind::kRegular;
  bool outside = false;  // not the machine's own: the user decides
  bool agreed = false;   // the user said yes to it
  // What the user's yes covered: the access the question named and the
  // uses that wrote the file then. More is a new question.
  FileAccess agreedAccess = FileAccess::kRead;
  std::size_t agreedWriters = 0;
  std::vector<std::size_t> writers;  // the uses that write it
  bool cd = false;                   // some use reads it as a CD
  std::size_t held = kNoFile;        // the host's number once it is open for reading
};

class MachineFilePlan {
 public:
  MachineFilePlan(MachinePlace place, MachineFileHost& host);

  // Places every use and reads the images as far as allowed. After a
  // refusal nothing else is decided.
  void Decide(const std::vector<FileUse>& uses);
  // The user agreed to the files asked about: they are read, and what they
  // name is placed in turn (which may ask again).
  void Agree();
  // True while files outside the machine's folder wait for an answer.
  bool AsksUser() const;
  // The files to ask about now.
  std::vector<const PlannedFile*> FilesToAsk() const;

  // The own text (Windows-1252) of the refusal, shown before
  // `refusedPath()` in quotes; empty when the machine may start.
  const std::string& refusal() const { return refusal_; }
  const std::string& refusedPath() const { return refusedPath_; }

  // The player's own files (the UEFI store beside the .vmx), added once the
  // facts are known and before anything is rendered: no question, the
  // caller makes and checks them. Returns the use's number.
  std::size_t AddOwnFile(const FileUse& use);

  const std::vector<PlannedFile>& files() const { return files_; }
  const std::vector<FileUse>& uses() const { return uses_; }
  // The file a use names, and for a disk the chain of its image.
  std::size_t FileOfUse(std::size_t use) const;
  const ImageChain* ChainOfUse(std::size_t use) const;

 private:
  class Images;
  bool Refuse(const char* text, const std::string& path);
  // Resolves, judges place and kind, and adds or finds the planned file.
  // `use`: the use that reaches the file, itself or through its image.
  bool Place(const std::string& path, FileUseKind kind, FileAccess access, std::size_t use,
             std::size_t* file);
  // Adds what `use` needs of a planned file; a file the user agreed to is
  // asked about again when the use needs more than the question named.
  bool Need(std::size_t file, FileUseKind kind, FileAccess access, std::size_t use);
  bool OpenNow(std::size_t file);
  void ReadImages();

  MachinePlace place_;
  MachineFileHost& host_;
  std::string vmx_;     // resolved
  std::string folder_;  // the .vmx's resolved folder
  bool machineFolder_ = false;
  std::string refusal_;
  std::string refusedPath_;
  std::vector<FileUse> uses_;
  std::vector<std::size_t> fileOfUse_;
  std::vector<ImageChain> chains_;  // one per use; empty for others than disks
  std::vector<PlannedFile> files_;
};
