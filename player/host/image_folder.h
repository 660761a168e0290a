// The player's own folder for the files it writes for QEMU (a vmdk
// descriptor that names only handed-over extents, a throw-away overlay):
// made with the first file, in the temporary root as trennwick_overlay_*,
// private to the user (0700; on Windows inside the user's own temporary
// root), and removed with what the player wrote into it when the object
// goes: after QEMU's end, also when a stop signal ended QEMU.
#pragma once

#include <string>
#include <vector>

class ImageFolder {
 public:
  virtual ~ImageFolder() = default;
  // Writes `bytes` as a new file `name` in the folder (never through a
  // link, never over a file there); `path` gets its full name. False when
  // the folder or the file cannot be made.
  virtual bool Write(const std::string& name, const std::string& bytes, std::string* path) = 0;
};

class TemporaryImageFolder : public ImageFolder {
 public:
  explicit TemporaryImageFolder(std::string temporaryRoot) : root_(std::move(temporaryRoot)) {}
  ~TemporaryImageFolder() override;
  TemporaryImageFolder(const TemporaryImageFolder&) = delete;
  TemporaryImageFolder& operator=(const TemporaryImageFolder&) = delete;

  bool Write(const std::string& name, const std::string& bytes, std::string* path) override;

 private:
  std::string root_;
  std::string folder_;  // with its separator; empty until made
  std::vector<std::string> written_;
};

// The system's side (player/host/<system>/image_folder.cpp).
inline constexpr char kImageFolderPrefix[] = "trennwick_overlay_";
// Makes a new folder `root` + kImageFolderPrefix + something unique, only
// the user's; its path with the separator.
bool MakeImageFolder(const std::string& root, std::string* folder);
// A new file; fails when the name is taken, also by a link.
bool WriteNewFile(const std::string& path, const std::string& bytes);
void RemoveWrittenFile(const std::string& path);
void RemoveEmptyFolder(const std::string& folder);
