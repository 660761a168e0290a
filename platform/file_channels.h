// File channels: the program's only way to read and write files. A caller
// opens a file on a small channel number of its choice (or -1 for a new
// unnumbered channel), reads lines from it or writes texts to it by that
// number, and closes it. Each open channel carries a 4096-byte transfer
// buffer. Files are byte streams: no code-page or line-end translation.
//
// Failures are results: a failed open gives 0; an operation on a channel
// that is not open does nothing and gives 0 or the empty text. A channel
// remembers a failed or short write and a failed read, so that a caller
// can tell a lost write from success and a read error from the end.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// A channel number (0, 1, 2, ...) or the identifier of an unnumbered
// channel, in one integer wide enough to hold an address.
using ChannelId = std::intptr_t;

// Asks an open operation for a new unnumbered channel.
inline constexpr ChannelId kNewUnnumberedChannel = -1;

inline constexpr std::int32_t kChannelBufferSize = 4096;

// The table grows to any channel number up to this one; an open of a larger
// number (or of one below -1) fails.
inline constexpr ChannelId kHighestChannelNumber = 65535;

// Sets up the one channel table; runs once before any channel operation.
// Run again, it closes every channel and starts with a fresh table.
void InitChannelTable();

// The open operations close whatever is open on the number first. The
// result is nonzero on success: the identifier for -1, else a nonzero value
// that callers use only as success. A write after reads on one channel
// lands at the next unread byte; a read after writes, behind the written
// bytes.
ChannelId OpenChannelForReading(ChannelId channel, const std::string& fileName);
// Opens or creates for writing; an existing file is written over from its
// first byte and not shortened.
ChannelId CreateChannel(ChannelId channel, const std::string& fileName);
// Always leaves an empty file.
ChannelId CreateEmptyChannel(ChannelId channel, const std::string& fileName);
// An existing file, shared with nobody.
ChannelId OpenChannelExclusive(ChannelId channel, const std::string& fileName);

// 0 while a byte can still be read; nonzero at the end (1, or -1 on an
// unbuffered channel) and after a read error. 0 for a channel not open.
std::int32_t ChannelAtEnd(ChannelId channel);

// The next line without its line end. CR LF, a lone CR, a lone LF and a NUL
// byte each end a line; a NUL is never part of a line.
std::string ReadLine(ChannelId channel);

// True when the channel holds an ordinary file. An open does not refuse a
// FIFO, a pipe or a device (it only never blocks on one); a caller that
// must read a whole file asks this before reading.
bool ChannelOnRegularFile(ChannelId channel);

// True once a read on the channel has failed (as opposed to reaching the end).
bool ChannelReadFailed(ChannelId channel);

// Bytes taken. WriteTextLine appends CR LF.
std::int32_t WriteText(ChannelId channel, std::string_view text);
std::int32_t WriteTextLine(ChannelId channel, std::string_view text);

// Flushes and closes. Nonzero when every byte written on the channel reached
// the file; 0 when a write failed or fell short, or the channel was not open.
std::int32_t CloseChannel(ChannelId channel);

// Closes every open channel: the numbered ones upward, then the unnumbered
// ones from the oldest to the newest.
void CloseAllChannels();

// Size in bytes; -1 when nothing of that name exists (or the name does not
// fit the system's path room), -2 for a directory or a drive.
std::int64_t QueryFileSize(const std::string& fileName);

// Deletes one file. True on success.
bool RemoveFile(const std::string& fileName);
