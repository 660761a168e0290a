// The mapping of a .vmx onto QEMU's arguments, against what must hold for
// any .vmx: a refused machine gets no argument, every file reaches QEMU
// only as the option value its use gives (commas doubled, so that no name
// adds an option of its own), no control byte reaches an argument, one CD
// at most boots first, and the facts only raise what Windows setup needs
// and lower nothing but what the host cannot spare.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "fuzz/model_check.h"
#include "player/block_renderer.h"
#include "player/firmware.h"
#include "player/qemu_command.h"
#include "player/tpm.h"
#include "player/vmx_config.h"

namespace {

// Renders each file by its use's path, as Windows passes names.
class NamedFiles : public FileRendering {
 public:
  explicit NamedFiles(const std::vector<FileUse>& uses) : uses_(uses) {}
  std::vector<std::string> Preamble() const override { return {}; }
  std::string FileName(std::size_t use) const override {
    MODEL_CHECK(use < uses_.size());
    return uses_[use].path;
  }
  std::vector<std::string> BlockNodes(std::size_t use, const std::string& nodeName,
                                      bool readOnly) const override {
    return RawBlockNodes(FileName(use), nodeName, readOnly, "file");
  }

 private:
  const std::vector<FileUse>& uses_;
};

// The options of a QEMU option list, read as QEMU reads it: split at a
// single comma, a doubled comma is one comma of the value.
std::vector<std::string> Options(const std::string& list) {
  std::vector<std::string> options;
  std::string option;
  for (std::size_t i = 0; i <= list.size(); ++i) {
    if (i < list.size() && list[i] == ',' && i + 1 < list.size() && list[i + 1] == ',') {
      option += ',';
      ++i;
      continue;
    }
    if (i == list.size() || list[i] == ',') {
      options.push_back(option);
      option.clear();
      continue;
    }
    option += list[i];
  }
  return options;
}

// Every key a rendered option list of the mapping may hold.
const std::set<std::string> kKnownKeys = {
    "driver",    "node-name", "filename", "read-only", "file",    "if",     "id",
    "media",     "readonly",  "unit",     "format",    "path",    "append", "bus",
    "drive",     "bootindex", "scsi-id",  "serial",    "guest",   "netdev", "romfile",
    "addr.type", "addr.str",  "restrict", "audiodev",  "chardev", "tpmdev", "smm",
    "property",  "value",     "index"};

void CheckArguments(const std::vector<std::string>& arguments) {
  int bootsFirst = 0;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    for (char c : arguments[i]) MODEL_CHECK(static_cast<unsigned char>(c) >= 0x20);
    const std::string& option = arguments[i];
    if (i + 1 == arguments.size()) break;
    if (option != "-blockdev" && option != "-drive" && option != "-chardev" &&
        option != "-device" && option != "-name" && option != "-netdev") {
      continue;
    }
    const std::vector<std::string> options = Options(arguments[i + 1]);
    for (std::size_t k = 0; k < options.size(); ++k) {
      // A device's or backend's model comes first, without a key.
      if (k == 0 && (option == "-device" || option == "-chardev" || option == "-netdev")) continue;
      MODEL_CHECK(kKnownKeys.count(options[k].substr(0, options[k].find('='))) == 1);
      if (option == "-device" && options[k] == "bootindex=1") ++bootsFirst;
    }
  }
  MODEL_CHECK(bootsFirst <= 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const char separator = provider.ConsumeBool() ? '\\' : '/';
  HostFacts host;
  host.separator = separator;
  host.titleDash = " - ";
  host.accelerator = provider.ConsumeBool() ? QemuAccelerator::kKvm : QemuAccelerator::kTcg;
  host.audioBackend = provider.ConsumeBool() ? "pa" : "";
  host.spareMemoryMegabytes = provider.ConsumeIntegralInRange<long long>(0, 65536);
  host.processors = provider.ConsumeIntegralInRange<long long>(0, 64);
  host.tpmEmulation = provider.ConsumeBool();
  BootMediumFacts cd;
  cd.biosBoot = provider.ConsumeBool();
  cd.uefiBoot = provider.ConsumeBool();
  cd.windowsSetup = provider.ConsumeBool();
  const std::string directory = separator == '\\' ? "c:\\m\\" : "/m/";
  const std::string text = provider.ConsumeRemainingBytesAsString();

  const MachineDescription machine = DescribeMachine(ParseVmxText(text), directory, separator);
  if (!machine.error.empty()) {
    MODEL_CHECK(machine.uses.empty() && machine.drives.empty());
    return 0;
  }
  for (const FileUse& use : machine.uses) {
    MODEL_CHECK(IsAbsolutePath(use.path, separator) || use.path.rfind(directory, 0) == 0);
  }
  const MachineFacts facts = WorkOutMachineFacts(machine, host, cd);
  // What the .vmx asks for, raised for setup media, and never beyond what
  // the host can spare.
  const long long memoryCap =
      host.spareMemoryMegabytes > 0 ? host.spareMemoryMegabytes : kMaximumMemoryMegabytes;
  const long long processorCap = host.processors > 0 ? host.processors : kMaximumProcessors;
  MODEL_CHECK(facts.memoryMegabytes <= memoryCap);
  MODEL_CHECK(facts.processors <= processorCap);
  if (machine.memoryMegabytes) {
    MODEL_CHECK(facts.memoryMegabytes >= std::min(*machine.memoryMegabytes, memoryCap));
  }
  if (machine.processors) {
    MODEL_CHECK(facts.processors >= std::min(*machine.processors, processorCap));
  }
  if (cd.windowsSetup) {
    MODEL_CHECK(facts.firmware == FirmwareKind::kEfiSecureBoot);
    MODEL_CHECK(facts.memoryMegabytes >= kWindowsSetupMemoryMegabytes ||
                (host.spareMemoryMegabytes > 0 &&
                 host.spareMemoryMegabytes < kWindowsSetupMemoryMegabytes));
  }
  // A TPM without UEFI is refused before anything is mapped.
  if (!TpmRefusal(facts).empty()) {
    MODEL_CHECK(facts.tpm && !facts.Uefi());
    return 0;
  }
  // The plan's uses as the player holds them: the machine's, then its own.
  std::vector<FileUse> uses = machine.uses;
  MachineState state;
  if (facts.Uefi()) {
    state.uefi = {"/usr/share/OVMF/code.fd", uses.size()};
    uses.push_back(UefiStoreUse(directory + "m-efivars.fd"));
  }
  state.tpmSocket = "/proc/self/fd/9/swtpm.sock";
  CheckArguments(RenderArguments(MapMachineToQemu(machine, facts, host, state), NamedFiles(uses)));
  return 0;
}
