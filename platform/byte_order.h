// Numbers as file formats and protocols store them: `count` bytes (at most
// eight) from `at`, most significant first (big-endian: qcow2, network
// headers) or last (little-endian: vmdk, El Torito, MBR, GPT). The caller
// has made sure the bytes are there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

constexpr std::uint64_t BigEndian(std::string_view bytes, std::size_t at, std::size_t count) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

constexpr std::uint64_t LittleEndian(std::string_view bytes, std::size_t at, std::size_t count) {
  std::uint64_t value = 0;
  for (std::size_t i = count; i > 0; --i) {
    value = value << 8 | static_cast<unsigned char>(bytes[at + i - 1]);
  }
  return value;
}
