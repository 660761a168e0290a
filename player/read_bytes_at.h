// The bounded read that the player's file readers work over: they never
// open a file themselves, so each one is pure logic over its caller's read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Reads up to `count` bytes at `offset` of an opened file into `bytes`
// (fewer at its end); false when the read fails.
using ReadBytesAt =
    std::function<bool(std::uint64_t offset, std::size_t count, std::string* bytes)>;
