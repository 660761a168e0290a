// GLib's GChecksum: the player links GLib on Linux already.
#include "player/host/file_digest.h"

#include <glib.h>

struct FileDigest::State {
  GChecksum* checksum = nullptr;
  ~State() {
    if (checksum != nullptr) g_checksum_free(checksum);
  }
};

namespace {

GChecksumType TypeOf(DigestKind kind) {
  switch (kind) {
    case DigestKind::kSha1:
      return G_CHECKSUM_SHA1;
    case DigestKind::kSha256:
      return G_CHECKSUM_SHA256;
    case DigestKind::kSha512:
      break;
  }
  return G_CHECKSUM_SHA512;
}

}  // namespace

FileDigest::FileDigest(DigestKind kind) : state_(std::make_unique<State>()) {
  state_->checksum = g_checksum_new(TypeOf(kind));
}

FileDigest::~FileDigest() = default;

bool FileDigest::Add(std::string_view bytes) {
  if (state_->checksum == nullptr) return false;
  // GChecksum takes a signed length: feed large views in pieces.
  constexpr std::size_t kPiece = 1 << 30;
  while (!bytes.empty()) {
    const std::size_t piece = bytes.size() < kPiece ? bytes.size() : kPiece;
    g_checksum_update(state_->checksum, reinterpret_cast<const guchar*>(bytes.data()),
                      static_cast<gssize>(piece));
    bytes.remove_prefix(piece);
  }
  return true;
}

std::string FileDigest::Finish() {
  if (state_->checksum == nullptr) return {};
  return g_checksum_get_string(state_->checksum);
}
