#include "platform/file_channels.h"

#include "platform/file_channels_system.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <list>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace {

void* AllocateChannelBuffer(std::size_t size) {
  return ::operator new(size, std::nothrow);
}

void ReleaseChannelBuffer(void* buffer) {
  ::operator delete(buffer);
}

}  // namespace

FileChannelSystem fileChannelSystem = {
    &OpenSystemFile,  &ReadSystemFile,        &WriteSystemFile,      &MoveSystemFilePosition,
    &CloseSystemFile, &AllocateChannelBuffer, &ReleaseChannelBuffer, &IsRegularSystemFile,
};

namespace {

constexpr std::size_t kInitialSlotCount = 16;
constexpr std::size_t kSlotGrowthStep = 16;

// Owns one open system file and closes it through the system table.
class ChannelFile {
 public:
  ChannelFile() = default;
  explicit ChannelFile(SystemFile file) : file_(file) {}
  ChannelFile(ChannelFile&& other) noexcept : file_(std::exchange(other.file_, kNoSystemFile)) {}
  ChannelFile& operator=(ChannelFile&& other) noexcept {
    if (this != &other) {
      Close();
      file_ = std::exchange(other.file_, kNoSystemFile);
    }
    return *this;
  }
  ~ChannelFile() { Close(); }

  SystemFile get() const { return file_; }
  bool IsOpen() const { return file_ != kNoSystemFile; }

 private:
  void Close() {
    if (IsOpen()) fileChannelSystem.closeFile(std::exchange(file_, kNoSystemFile));
  }

  SystemFile file_ = kNoSystemFile;
};

struct BufferRelease {
  void operator()(char* buffer) const { fileChannelSystem.releaseBuffer(buffer); }
};
using ChannelBuffer = std::unique_ptr<char[], BufferRelease>;

// One open file. A default record is a free slot. Without a buffer the
// channel works unbuffered: every transfer is a system call.
struct FileChannel {
  ChannelFile handle;
  ChannelBuffer buffer;
  std::int32_t bufferSize = 0;
  // Writing: free bytes left in the buffer. Reading: read-ahead not yet
  // taken; the next byte lies at filled - remaining.
  std::int32_t remaining = 0;
  std::int32_t filled = 0;
  bool reading = true;
  bool writeFailed = false;
  bool readFailed = false;
};

struct ChannelTable {
  std::vector<FileChannel> slots;
  // The channels opened with -1, each identified by its record's address;
  // the newest first. A list keeps every record at its address.
  std::list<FileChannel> unnumbered;
};

ChannelTable channelTable;

ChannelId IdentifierOf(const FileChannel& record) {
  return reinterpret_cast<ChannelId>(&record);
}

bool IsSlotNumber(ChannelId channel) {
  return channel >= 0 && static_cast<std::size_t>(channel) < channelTable.slots.size();
}

// The open channel that the value names, or null.
FileChannel* FindChannel(ChannelId channel) {
  if (IsSlotNumber(channel)) {
    FileChannel& slot = channelTable.slots[static_cast<std::size_t>(channel)];
    return slot.handle.IsOpen() ? &slot : nullptr;
  }
  for (FileChannel& record : channelTable.unnumbered) {
    if (IdentifierOf(record) == channel) return &record;
  }
  return nullptr;
}

bool MakeSlot(ChannelId channel) {
  if (IsSlotNumber(channel)) return true;
  try {
    channelTable.slots.resize(static_cast<std::size_t>(channel) + kSlotGrowthStep);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

std::int32_t WriteThrough(FileChannel& channel, const void* bytes, std::int32_t length) {
  const std::int32_t written = fileChannelSystem.writeFile(channel.handle.get(), bytes, length);
  if (written == length) return written;
  channel.writeFailed = true;
  return std::max<std::int32_t>(written, 0);
}

std::int32_t ReadThrough(FileChannel& channel, void* destination, std::int32_t length) {
  const std::int32_t got = fileChannelSystem.readFile(channel.handle.get(), destination, length);
  if (got >= 0) return got;
  channel.readFailed = true;
  return 0;
}

// Writes the pending output; the buffer is empty afterwards even when the
// write failed, which the channel remembers.
void FlushChannel(FileChannel& channel) {
  if (channel.reading || !channel.buffer) return;
  const std::int32_t pending = channel.bufferSize - channel.remaining;
  channel.remaining = channel.bufferSize;
  if (pending > 0) WriteThrough(channel, channel.buffer.get(), pending);
}

std::int32_t WriteBytes(FileChannel& channel, const char* bytes, std::int32_t length) {
  if (!channel.buffer) return WriteThrough(channel, bytes, length);
  if (channel.reading) {
    // The system's position lies behind the read-ahead; step back over the
    // unread part so that the write lands at the next unread byte.
    if (channel.remaining > 0 &&
        !fileChannelSystem.moveFilePosition(channel.handle.get(), -channel.remaining)) {
      channel.writeFailed = true;
    }
    channel.reading = false;
    channel.remaining = channel.bufferSize;
  }
  // Strictly greater: a text that would take the last free byte flushes
  // first, so the buffer never becomes completely full.
  if (channel.remaining <= length) {
    FlushChannel(channel);
    if (length >= channel.bufferSize) return WriteThrough(channel, bytes, length);
  }
  std::memcpy(channel.buffer.get() + (channel.bufferSize - channel.remaining), bytes,
              static_cast<std::size_t>(length));
  channel.remaining -= length;
  return length;
}

std::int32_t ReadBytes(FileChannel& channel, char* destination, std::int32_t length) {
  // After a read error the channel stays at its end, so a reading loop stops.
  if (channel.readFailed) return 0;
  if (!channel.buffer) return ReadThrough(channel, destination, length);
  if (!channel.reading) {
    FlushChannel(channel);
    channel.reading = true;
    channel.remaining = 0;
  }
  const char* next = channel.buffer.get() + (channel.filled - channel.remaining);
  if (channel.remaining >= length) {
    std::memcpy(destination, next, static_cast<std::size_t>(length));
    channel.remaining -= length;
    return length;
  }
  const std::int32_t copied = channel.remaining;
  std::memcpy(destination, next, static_cast<std::size_t>(copied));
  channel.remaining = 0;
  const std::int32_t wanted = length - copied;
  if (wanted >= channel.bufferSize) {
    return copied + ReadThrough(channel, destination + copied, wanted);
  }
  const std::int32_t got = ReadThrough(channel, channel.buffer.get(), channel.bufferSize);
  channel.filled = got;
  const std::int32_t taken = std::min(wanted, got);
  std::memcpy(destination + copied, channel.buffer.get(), static_cast<std::size_t>(taken));
  channel.remaining = got - taken;
  return copied + taken;
}

bool ReadOneByte(FileChannel& channel, char& byte) {
  return ReadBytes(channel, &byte, 1) == 1;
}

// Puts back the one byte just read.
void GiveByteBack(FileChannel& channel) {
  if (channel.buffer) {
    ++channel.remaining;
  } else if (!fileChannelSystem.moveFilePosition(channel.handle.get(), -1)) {
    channel.readFailed = true;
  }
}

std::int32_t WriteTextTo(FileChannel& channel, std::string_view text) {
  if (text.empty()) return 0;
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    channel.writeFailed = true;
    return 0;
  }
  return WriteBytes(channel, text.data(), static_cast<std::int32_t>(text.size()));
}

ChannelId OpenChannel(ChannelId channel, const std::string& fileName, ChannelOpenMode mode) {
  if (channel != kNewUnnumberedChannel && (channel < 0 || channel > kHighestChannelNumber)) {
    return 0;
  }
  if (channel >= 0) {
    if (!MakeSlot(channel)) return 0;
    CloseChannel(channel);
  }
  ChannelFile file(fileChannelSystem.openFile(fileName, mode));
  if (!file.IsOpen()) return 0;

  FileChannel* record = nullptr;
  if (channel >= 0) {
    record = &channelTable.slots[static_cast<std::size_t>(channel)];
  } else {
    try {
      record = &channelTable.unnumbered.emplace_front();
    } catch (const std::bad_alloc&) {
      return 0;
    }
  }
  const SystemFile handle = file.get();
  record->handle = std::move(file);
  record->buffer.reset(static_cast<char*>(fileChannelSystem.allocateBuffer(kChannelBufferSize)));
  record->bufferSize = kChannelBufferSize;
  if (channel < 0) return IdentifierOf(*record);
  // A descriptor may be 0, and success must read as nonzero.
  return handle != 0 ? handle : 1;
}

}  // namespace

void InitChannelTable() {
  CloseAllChannels();
  channelTable.slots.clear();
  try {
    channelTable.slots.resize(kInitialSlotCount);
  } catch (const std::bad_alloc&) {
    // Left empty: the first open grows the table.
  }
}

ChannelId OpenChannelForReading(ChannelId channel, const std::string& fileName) {
  return OpenChannel(channel, fileName, ChannelOpenMode::kReadShared);
}

ChannelId CreateChannel(ChannelId channel, const std::string& fileName) {
  return OpenChannel(channel, fileName, ChannelOpenMode::kCreate);
}

ChannelId CreateEmptyChannel(ChannelId channel, const std::string& fileName) {
  return OpenChannel(channel, fileName, ChannelOpenMode::kCreateEmpty);
}

ChannelId OpenChannelExclusive(ChannelId channel, const std::string& fileName) {
  return OpenChannel(channel, fileName, ChannelOpenMode::kExclusive);
}

std::int32_t ReadChannelBytes(ChannelId channel, void* destination, std::int32_t length) {
  FileChannel* record = FindChannel(channel);
  if (record == nullptr || length <= 0) return 0;
  return ReadBytes(*record, static_cast<char*>(destination), length);
}

std::int32_t WriteChannelBytes(ChannelId channel, const void* bytes, std::int32_t length) {
  FileChannel* record = FindChannel(channel);
  if (record == nullptr || length <= 0) return 0;
  return WriteBytes(*record, static_cast<const char*>(bytes), length);
}

std::int32_t ChannelAtEnd(ChannelId channel) {
  FileChannel* record = FindChannel(channel);
  if (record == nullptr) return 0;
  char byte = 0;
  if (ReadOneByte(*record, byte)) {
    GiveByteBack(*record);
    return 0;
  }
  return record->buffer ? 1 : -1;
}

std::string ReadLine(ChannelId channel) {
  FileChannel* record = FindChannel(channel);
  if (record == nullptr) return std::string();
  std::string line;
  line.reserve(kChannelBufferSize);
  char byte = 0;
  while (ReadOneByte(*record, byte)) {
    if (byte == '\r') {
      // CR LF is one line end; any other byte after a CR begins the next line.
      if (ReadOneByte(*record, byte) && byte != '\n') GiveByteBack(*record);
      break;
    }
    if (byte == '\n' || byte == '\0') break;
    line.push_back(byte);
  }
  return line;
}

bool ChannelOnRegularFile(ChannelId channel) {
  const FileChannel* record = FindChannel(channel);
  return record != nullptr && fileChannelSystem.isRegularFile(record->handle.get());
}

bool ChannelReadFailed(ChannelId channel) {
  const FileChannel* record = FindChannel(channel);
  return record != nullptr && record->readFailed;
}

std::int32_t WriteText(ChannelId channel, std::string_view text) {
  FileChannel* record = FindChannel(channel);
  if (record == nullptr) return 0;
  return WriteTextTo(*record, text);
}

std::int32_t WriteTextLine(ChannelId channel, std::string_view text) {
  FileChannel* record = FindChannel(channel);
  if (record == nullptr) return 0;
  const std::int32_t taken = WriteTextTo(*record, text);
  return taken + WriteTextTo(*record, "\r\n");
}

std::int32_t CloseChannel(ChannelId channel) {
  FileChannel* record = FindChannel(channel);
  if (record == nullptr) return 0;
  FlushChannel(*record);
  const bool complete = !record->writeFailed;
  if (IsSlotNumber(channel)) {
    *record = FileChannel{};
  } else {
    channelTable.unnumbered.remove_if([record](const FileChannel& r) { return &r == record; });
  }
  return complete ? 1 : 0;
}

void CloseAllChannels() {
  for (std::size_t number = 0; number < channelTable.slots.size(); ++number) {
    CloseChannel(static_cast<ChannelId>(number));
  }
  while (!channelTable.unnumbered.empty()) {
    CloseChannel(IdentifierOf(channelTable.unnumbered.back()));
  }
}

std::size_t ChannelSlotCount() {
  return channelTable.slots.size();
}
