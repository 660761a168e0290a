// The player's mapping from a .vmx text to QEMU's arguments, rendered with
// the files' own names instead of a plan's descriptor sets, so that tests
// of the mapping units read as QEMU's command line.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "player/block_renderer.h"
#include "player/qemu_command.h"
#include "player/vmx_config.h"

namespace player_test {

using Arguments = std::vector<std::string>;

// The dash between the parts of the window's title, as Linux shows it.
inline constexpr char kTitleDash[] = " \xE2\x80\x93 ";

// Every use goes by its path; every image is one raw file.
class NamedFiles : public FileRendering {
 public:
  explicit NamedFiles(const std::vector<FileUse>& uses) : uses_(uses) {}
  std::vector<std::string> Preamble() const override { return {}; }
  std::string FileName(std::size_t use) const override { return uses_.at(use).path; }
  std::vector<std::string> BlockNodes(std::size_t use, const std::string& nodeName,
                                      bool readOnly) const override {
    return RawBlockNodes(FileName(use), nodeName, readOnly, "file");
  }

 private:
  const std::vector<FileUse>& uses_;
};

// A Linux host without KVM, as the tests start from.
inline HostFacts TestHost() {
  HostFacts host;
  host.titleDash = kTitleDash;
  return host;
}

// What the player made for a machine, as the play sequence hands it on.
struct PlayerMade {
  std::string uefiCode;
  std::string uefiStore;  // becomes the plan's use after the machine's, for UEFI
  std::string tpmSocket;
};

struct MappedMachine {
  std::string error;  // the description's refusal
  MachineDescription machine;
  MachineFacts facts;
  std::vector<FileUse> uses;  // the plan's: the machine's, then the player's own
  QemuInvocation invocation;
  Arguments arguments;  // rendered with names
};

// The whole mapping of `text` lying in `directory`: description, facts,
// the uses as the plan holds them, arguments.
inline MappedMachine MapVmx(const std::string& text, const HostFacts& host = TestHost(),
                            const PlayerMade& made = {}, const std::string& directory = "/run/",
                            const BootMediumFacts& bootCd = {}) {
  MappedMachine mapped;
  mapped.machine = DescribeMachine(ParseVmxText(text), directory, host.separator);
  if (!mapped.machine.error.empty()) {
    mapped.error = mapped.machine.error;
    return mapped;
  }
  mapped.facts = WorkOutMachineFacts(mapped.machine, host, bootCd);
  mapped.uses = mapped.machine.uses;
  MachineState state;
  state.tpmSocket = made.tpmSocket;
  if (mapped.facts.Uefi()) {
    state.uefi.code = made.uefiCode;
    state.uefi.store = mapped.uses.size();
    mapped.uses.push_back(UefiStoreUse(made.uefiStore));
  }
  mapped.invocation = MapMachineToQemu(mapped.machine, mapped.facts, host, state);
  mapped.arguments = RenderArguments(mapped.invocation, NamedFiles(mapped.uses));
  return mapped;
}

// The values that follow each `option`, in order.
inline Arguments ValuesOf(const Arguments& arguments, const std::string& option) {
  Arguments found;
  for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (arguments[i] == option) found.push_back(arguments[i + 1]);
  }
  return found;
}

// The value after the first `option`, or "<absent>".
inline std::string ValueOf(const Arguments& arguments, const std::string& option) {
  const Arguments found = ValuesOf(arguments, option);
  return found.empty() ? "<absent>" : found.front();
}

inline bool Contains(const Arguments& arguments, const std::string& argument) {
  for (const std::string& a : arguments) {
    if (a == argument) return true;
  }
  return false;
}

// .vmx lines of drives.
inline std::string DiskLines(const std::string& place, const std::string& file) {
  return place + ".present = \"TRUE\"\n" + place + ".fileName = \"" + file + "\"\n";
}

inline std::string CdLines(const std::string& place, const std::string& file) {
  return DiskLines(place, file) + place + ".deviceType = \"cdrom-image\"\n";
}

inline std::string SerialLines(int port, const std::string& file) {
  const std::string prefix = "serial" + std::to_string(port);
  return prefix + ".present = \"TRUE\"\n" + prefix + ".fileType = \"file\"\n" + prefix +
         ".fileName = \"" + file + "\"\n";
}

}  // namespace player_test
