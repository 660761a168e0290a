// Message digests of the bytes the player reads (an appliance's manifest
// names SHA-1, SHA-256 or SHA-512 of each file). The system's own hashing:
// GLib's GChecksum on Linux, BCrypt on Windows. Failures are results.
#pragma once

#include <memory>
#include <string>
#include <string_view>

enum class DigestKind { kSha1, kSha256, kSha512 };

class FileDigest {
 public:
  explicit FileDigest(DigestKind kind);
  ~FileDigest();
  FileDigest(const FileDigest&) = delete;
  FileDigest& operator=(const FileDigest&) = delete;

  // False when the system could not start or take the bytes; the digest
  // is then unusable.
  bool Add(std::string_view bytes);
  // The digest in lower-case hex; empty after any failure.
  std::string Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};
