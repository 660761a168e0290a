// BCrypt's hash providers (Windows Vista and later): no library of our own.
#include "player/host/file_digest.h"

#include <windows.h>
// After windows.h, whose types it uses.
#include <bcrypt.h>

struct FileDigest::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool failed = false;
  ~State() {
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};

namespace {

LPCWSTR AlgorithmOf(DigestKind kind) {
  switch (kind) {
    case DigestKind::kSha1:
      return BCRYPT_SHA1_ALGORITHM;
    case DigestKind::kSha256:
      return BCRYPT_SHA256_ALGORITHM;
    case DigestKind::kSha512:
      break;
  }
  return BCRYPT_SHA512_ALGORITHM;
}

bool Succeeded(NTSTATUS status) {
  return status >= 0;
}

}  // namespace

FileDigest::FileDigest(DigestKind kind) : state_(std::make_unique<State>()) {
  state_->failed =
      !Succeeded(BCryptOpenAlgorithmProvider(&state_->algorithm, AlgorithmOf(kind), nullptr, 0)) ||
      !Succeeded(BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0));
}

FileDigest::~FileDigest() = default;

bool FileDigest::Add(std::string_view bytes) {
  constexpr std::size_t kPiece = 1 << 30;  // BCrypt takes a 32-bit length
  while (!state_->failed && !bytes.empty()) {
    const std::size_t piece = bytes.size() < kPiece ? bytes.size() : kPiece;
    state_->failed = !Succeeded(
        BCryptHashData(state_->hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                       static_cast<ULONG>(piece), 0));
    bytes.remove_prefix(piece);
  }
  return !state_->failed;
}

std::string FileDigest::Finish() {
  DWORD length = 0;
  ULONG written = 0;
  if (state_->failed ||
      !Succeeded(BCryptGetProperty(state_->algorithm, BCRYPT_HASH_LENGTH,
                                   reinterpret_cast<PUCHAR>(&length), sizeof length, &written,
                                   0)) ||
      length > 64) {
    return {};
  }
  unsigned char digest[64];
  if (!Succeeded(BCryptFinishHash(state_->hash, digest, length, 0))) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (DWORD i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0xF];
  }
  state_->failed = true;  // a hash is finished once
  return hex;
}
