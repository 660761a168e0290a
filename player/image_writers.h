// Files the player writes for QEMU, as pure functions to bytes: a vmdk
// descriptor that names only what the player handed over, and an empty
// qcow2 overlay that takes a read-only disk's writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "player/image_readers.h"

// The descriptor QEMU reads in place of `original`: its createType, CID and
// parentCID (QEMU checks a child's parentCID against its parent's CID before
// it copies a grain up), and its extents in order, each naming
// `extentNames[i]` instead of the name written in the image. No
// parentFileNameHint: the parent reaches QEMU as a node of its own. False
// when a name cannot be written into a descriptor line (a quote, a line
// break, a NUL byte, or longer than QEMU reads) or the count differs.
bool WriteVmdkDescriptor(const VmdkDescriptor& original,
                         const std::vector<std::string>& extentNames, std::string* text);

// The most a descriptor may hold for QEMU to keep every line when it
// rewrites its CID after the guest's first write.
inline constexpr std::size_t kVmdkWrittenDescriptorBytes = 20 * 512 - 1;

// An empty qcow2 image (version 3, 64 KiB clusters, 16-bit refcounts) of
// `virtualSize` bytes rounded up to whole sectors, with no backing name in
// its header: the backing is given to QEMU as a node. False for a size
// QEMU cannot take.
bool WriteQcow2Overlay(std::uint64_t virtualSize, std::string* bytes);
