// An appliance's readers over one input: the tar walk of an .ova over the
// input as the archive, and the OVF envelope (with the XML reader under
// it) over the input as text. The model: every member the walk lists lies
// inside the file, after a header whose checksum adds up, in order and
// apart from the others, under a plain name given once; every read is
// bounded. Every machine an envelope gives is one a .vmx could describe:
// each drive on a place its controller has, once, each file reference
// plain, and the description made from it names no file but those.
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <string_view>

#include "fuzz/model_check.h"
#include "platform/ascii_case.h"
#include "player/appliance.h"
#include "player/ovf_envelope.h"
#include "player/qemu_command.h"
#include "player/tar_archive.h"
#include "player/xml_document.h"

namespace {

constexpr std::size_t kBlock = 512;
constexpr std::size_t kLargestTarRead = 64 * 1024;
constexpr int kMostTarReads = 4 * static_cast<int>(kMaximumTarMembers) + 2;

// The checksum as POSIX defines it, written apart from the walk's own.
bool HeaderChecksumAddsUp(std::string_view header) {
  unsigned long sum = 0;
  for (std::size_t i = 0; i < kBlock; ++i) {
    sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(header[i]);
  }
  unsigned long stored = 0;
  std::size_t i = 148;
  while (i < 156 && header[i] == ' ') ++i;
  for (; i < 156 && header[i] >= '0' && header[i] <= '7'; ++i) {
    stored = stored * 8 + static_cast<unsigned long>(header[i] - '0');
  }
  // Signed sums are allowed too; only the unsigned one is modelled here.
  long signedSum = 0;
  for (std::size_t j = 0; j < kBlock; ++j) {
    signedSum += (j >= 148 && j < 156) ? ' ' : static_cast<signed char>(header[j]);
  }
  return stored == sum || static_cast<long>(stored) == signedSum;
}

bool PlainName(std::string_view name) {
  if (name.empty() || name.front() == '/' || name.back() == '/') return false;
  if (name.find("\\") != std::string_view::npos || name.find(':') != std::string_view::npos) {
    return false;
  }
  return name != ".." && name.substr(0, 3) != "../" &&
         name.find("/../") == std::string_view::npos &&
         (name.size() < 3 || name.substr(name.size() - 3) != "/..");
}

void CheckTarWalk(std::string_view input, bool failAtEnd) {
  int reads = 0;
  const ReadBytesAt read = [&](std::uint64_t offset, std::size_t count, std::string* bytes) {
    ++reads;
    MODEL_CHECK(reads <= kMostTarReads);
    MODEL_CHECK(count <= kLargestTarRead);
    MODEL_CHECK(offset <= std::numeric_limits<std::uint64_t>::max() - count);
    bytes->clear();
    if (failAtEnd && offset + count > input.size()) return false;
    if (offset < input.size()) *bytes = std::string(input.substr(offset, count));
    return true;
  };
  const TarListing listing = ListTarMembers(read, input.size());
  if (listing.fault != TarFault::kNone) {
    MODEL_CHECK(listing.members.empty());
    return;
  }
  std::set<std::string> names;
  std::uint64_t end = 0;
  for (const TarMember& member : listing.members) {
    MODEL_CHECK(member.offset % kBlock == 0 && member.offset >= end + kBlock);
    MODEL_CHECK(member.size <= input.size() - member.offset);
    MODEL_CHECK(HeaderChecksumAddsUp(input.substr(member.offset - kBlock, kBlock)));
    MODEL_CHECK(PlainName(member.name));
    MODEL_CHECK(names.insert(LowerAscii(member.name)).second);
    MODEL_CHECK(FindTarMember(listing.members, member.name) == &member);
    end = member.offset + member.size;
  }
  MODEL_CHECK(listing.members.size() <= kMaximumTarMembers);
}

bool OnItsPlace(const OvfDrive& drive) {
  static constexpr int kControllers[] = {2, 4, 4, 4};
  static constexpr int kUnits[] = {2, 30, 16, 15};
  const auto bus = static_cast<std::size_t>(drive.bus);
  return drive.controller >= 0 && drive.controller < kControllers[bus] && drive.unit >= 0 &&
         drive.unit < kUnits[bus] && !(drive.bus == OvfBus::kScsi && drive.unit == 7) &&
         !(drive.bus == OvfBus::kNvme && drive.cd);
}

void CheckEnvelope(std::string_view input) {
  const OvfEnvelope envelope = ReadOvfEnvelope(input);
  if (envelope.fault != OvfFault::kNone) return;
  MODEL_CHECK(ReadXmlDocument(input).fault == XmlFault::kNone);
  std::set<std::string> hrefs;
  for (const OvfFile& file : envelope.files) {
    MODEL_CHECK(PlainName(file.href));
    hrefs.insert("./" + file.href);
  }
  std::set<std::tuple<int, int, int>> places;
  for (const OvfDrive& drive : envelope.drives) {
    MODEL_CHECK(OnItsPlace(drive));
    MODEL_CHECK(drive.cd || drive.file >= 0);
    MODEL_CHECK(drive.file < static_cast<int>(envelope.files.size()));
    MODEL_CHECK(places.insert({static_cast<int>(drive.bus), drive.controller, drive.unit}).second);
  }
  MODEL_CHECK(!envelope.memoryMegabytes || *envelope.memoryMegabytes >= 0);
  VmxConfig settings = ApplianceSettings(envelope);
  if (!ConvertVmxToSystemEncoding(settings).empty()) return;
  const MachineDescription machine = DescribeMachine(settings, "", '/');
  if (!machine.error.empty()) return;
  for (const FileUse& use : machine.uses) MODEL_CHECK(hrefs.count(use.path) == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  CheckTarWalk(input, false);
  CheckTarWalk(input, true);
  CheckEnvelope(input);
  return 0;
}
