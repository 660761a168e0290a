// The system side of the file channels: the few primitives the channel
// logic needs, reached through one table of function pointers so that a
// test can put a failing stand-in in place of any of them. The signatures
// are the same on both systems; platform/<system>/file_channels.cpp
// supplies the real ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file_channels.h"

// A system file (a HANDLE or a file descriptor) in an integer.
using SystemFile = std::intptr_t;
inline constexpr SystemFile kNoSystemFile = -1;

// What an open asks of the system; each maps to one fixed set of access,
// sharing and creation rules in the backend.
enum class ChannelOpenMode {
  kReadShared,   // read; others may read too; the file must exist
  kCreate,       // read and write; others may read; made when missing
  kCreateEmpty,  // as kCreate, and the file is emptied
  kExclusive,    // read and write; shared with nobody; the file must exist
};

struct FileChannelSystem {
  // kNoSystemFile on failure (missing file, sharing conflict, ...).
  SystemFile (*openFile)(const std::string& fileName, ChannelOpenMode mode);
  // Bytes moved, 0 at the end of the file, -1 on failure. A write gives
  // fewer than asked only when the system stopped taking bytes.
  std::int32_t (*readFile)(SystemFile file, void* destination, std::int32_t length);
  std::int32_t (*writeFile)(SystemFile file, const void* bytes, std::int32_t length);
  // Moves the file position by distance bytes from where it is.
  bool (*moveFilePosition)(SystemFile file, std::int32_t distance);
  void (*closeFile)(SystemFile file);
  // The transfer buffer of an open channel; null when it cannot be had.
  void* (*allocateBuffer)(std::size_t size);
  void (*releaseBuffer)(void* buffer);
  // True when the open file is an ordinary file, not a FIFO, pipe, device
  // or console.
  bool (*isRegularFile)(SystemFile file);
};

// The table every channel operation goes through.
extern FileChannelSystem fileChannelSystem;

// The real primitives of this system, the table's initial entries.
SystemFile OpenSystemFile(const std::string& fileName, ChannelOpenMode mode);
std::int32_t ReadSystemFile(SystemFile file, void* destination, std::int32_t length);
std::int32_t WriteSystemFile(SystemFile file, const void* bytes, std::int32_t length);
bool MoveSystemFilePosition(SystemFile file, std::int32_t distance);
void CloseSystemFile(SystemFile file);
bool IsRegularSystemFile(SystemFile file);

// The channel layer's own byte transfer, under the line and text
// operations. The result is the number of bytes moved (taken, for a write).
std::int32_t ReadChannelBytes(ChannelId channel, void* destination, std::int32_t length);
std::int32_t WriteChannelBytes(ChannelId channel, const void* bytes, std::int32_t length);

// How many numbered slots the table has at present.
std::size_t ChannelSlotCount();
