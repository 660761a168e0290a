#include "player/machine_facts.h"

#include <algorithm>

#include "platform/ascii_case.h"
#include "player/boot_media.h"
#include "player/host_look.h"

namespace {

FirmwareKind RequestedFirmware(const MachineDescription& machine) {
  if (!machine.uefiRequested) return FirmwareKind::kBios;
  return machine.secureBootRequested ? FirmwareKind::kEfiSecureBoot : FirmwareKind::kEfi;
}

// Raises `value` (0: QEMU's default, which lies below `wanted`) to `wanted`
// where the host has that much; true when it could.
bool RaiseTo(long long* value, long long wanted, long long hostHas) {
  if (*value >= wanted) return true;
  if (hostHas > 0 && hostHas < wanted) {
    *value = std::max(*value, hostHas);
    return false;
  }
  *value = wanted;
  return true;
}

void FitWindowsSetup(const HostFacts& host, MachineFacts* facts) {
  facts->firmware = FirmwareKind::kEfiSecureBoot;
  facts->titleNote = "Windows-Setup";
  facts->reason =
      "Die CD ist ein Windows-Setup: UEFI mit Secure Boot, TPM 2.0, mindestens 4096 MB und 2 "
      "Prozessoren.";
  // Without emulation the machine starts without a TPM, as the notice of
  // the shortfalls says, even where the .vmx asked for one itself.
  facts->tpm = host.tpmEmulation;
  if (!host.tpmEmulation) {
    facts->shortfalls.push_back(
        "ein TPM 2.0 (der TPM-Emulator swtpm fehlt oder l\xE4uft hier nicht)");
  }
  if (!RaiseTo(&facts->memoryMegabytes, kWindowsSetupMemoryMegabytes, host.spareMemoryMegabytes)) {
    facts->shortfalls.push_back("4096 MB Arbeitsspeicher (frei sind " +
                                std::to_string(host.spareMemoryMegabytes) + " MB)");
  }
  if (!RaiseTo(&facts->processors, kWindowsSetupProcessors, host.processors)) {
    facts->shortfalls.push_back("2 Prozessoren (der Rechner hat " +
                                std::to_string(host.processors) + ")");
  }
}

// A medium that boots under one firmware only gets that one.
void FitBootMedium(const BootMediumFacts& medium, MachineFacts* facts) {
  if (medium.biosBoot == medium.uefiBoot) return;
  const std::string by = medium.disk ? "von der Festplatte" : "von der CD";
  const std::string what = medium.disk ? "Die Festplatte" : "Die CD";
  if (medium.uefiBoot && !facts->Uefi()) {
    facts->firmware = FirmwareKind::kEfi;
    facts->titleNote = "UEFI, " + by + " verlangt";
    facts->reason = what + " startet nur mit UEFI; die Maschine bekommt UEFI statt BIOS.";
  } else if (medium.biosBoot && facts->Uefi()) {
    facts->firmware = FirmwareKind::kBios;
    facts->tpm = false;
    facts->titleNote = "BIOS, " + by + " verlangt";
    facts->reason = what +
                    " startet nur mit BIOS; die Maschine bekommt BIOS statt UEFI (ohne Secure Boot "
                    "und TPM).";
  }
}

// A .vmx from elsewhere must not take the host's memory or make QEMU run
// more processors than there are, where each one only waits for the others.
void CapToHost(const HostFacts& host, MachineFacts* facts) {
  if (host.spareMemoryMegabytes > 0 && facts->memoryMegabytes > host.spareMemoryMegabytes) {
    facts->lowered.push_back("Arbeitsspeicher von " + std::to_string(facts->memoryMegabytes) +
                             " auf " + std::to_string(host.spareMemoryMegabytes) +
                             " MB gesenkt: der Rechner beh\xE4lt genug f\xFCr sich");
    facts->memoryMegabytes = host.spareMemoryMegabytes;
  }
  if (host.processors > 0 && facts->processors > host.processors) {
    facts->lowered.push_back("Prozessoren von " + std::to_string(facts->processors) + " auf " +
                             std::to_string(host.processors) +
                             " gesenkt: mehr hat der Rechner nicht");
    facts->processors = host.processors;
  }
}

}  // namespace

long long SpareMemoryMegabytes(long long physicalMegabytes) {
  if (physicalMegabytes <= 0) return 0;
  // A small host keeps half: a guest still gets enough to start there.
  return std::max(
      {physicalMegabytes - kHostReserveMegabytes, physicalMegabytes / 2, kMinimumMemoryMegabytes});
}

const char* AcceleratorName(QemuAccelerator accelerator) {
  switch (accelerator) {
    case QemuAccelerator::kKvm:
      return "kvm";
    case QemuAccelerator::kWhpx:
      return "whpx";
    case QemuAccelerator::kTcg:
      break;
  }
  return "tcg";
}

bool ChooseAccelerator(const std::string& override, bool kvmUsable, bool whpxUsable,
                       QemuAccelerator* accelerator) {
  const std::string name = LowerAscii(override);
  if (name.empty()) {
    *accelerator = kvmUsable    ? QemuAccelerator::kKvm
                   : whpxUsable ? QemuAccelerator::kWhpx
                                : QemuAccelerator::kTcg;
    return true;
  }
  for (QemuAccelerator known :
       {QemuAccelerator::kTcg, QemuAccelerator::kKvm, QemuAccelerator::kWhpx}) {
    if (name == AcceleratorName(known)) {
      *accelerator = known;
      return true;
    }
  }
  return false;
}

WorkedOutHost WorkOutHostFacts(const HostLook& look) {
  WorkedOutHost result;
  HostFacts& host = result.facts;
  const bool chooses = look.acceleratorOverride.empty();
  if (!ChooseAccelerator(look.acceleratorOverride, chooses && look.kvm.usable,
                         chooses && !look.kvm.usable && look.whpx, &host.accelerator)) {
    result.refusal = HostRefusal::kUnknownAccelerator;
    return result;
  }
  if (look.qemu.empty()) {
    result.refusal = HostRefusal::kNoQemu;
    return result;
  }
  host.audioBackend = look.audioBackend;
  host.separator = look.separator;
  host.titleDash = look.titleDash;
  host.spareMemoryMegabytes = SpareMemoryMegabytes(look.memoryMegabytes);
  host.processors = look.processors;
  host.tpmEmulation = look.tpmEmulation && !look.swtpm.empty();
  return result;
}

BootMediumFacts ReadBootMedium(const MachineDescription& machine, const MediumReader& readerOf) {
  if (machine.bootCdUse != kNoUse) {
    const ReadBytesAt read = readerOf(machine.bootCdUse);
    if (!read) return {};
    const BootMedia media = ReadCdBootMedia(read);
    return {media.biosBoot, media.uefiBoot, media.windowsSetup, false};
  }
  for (const Drive& drive : machine.drives) {
    if (drive.cd || drive.bootIndex == 0) continue;
    const ReadBytesAt read = readerOf(drive.use);
    if (!read) return {};
    const BootMedia media = ReadDiskBootMedia(read);
    return {media.biosBoot, media.uefiBoot, false, true};
  }
  return {};
}

MachineFacts WorkOutMachineFacts(const MachineDescription& machine, const HostFacts& host,
                                 const BootMediumFacts& bootMedium) {
  MachineFacts facts;
  facts.firmware = RequestedFirmware(machine);
  facts.tpm = machine.tpmRequested;
  facts.accelerator = host.accelerator;
  facts.memoryMegabytes = machine.memoryMegabytes.value_or(0);
  facts.processors = machine.processors.value_or(0);
  if (bootMedium.windowsSetup) {
    FitWindowsSetup(host, &facts);
  } else {
    FitBootMedium(bootMedium, &facts);
  }
  CapToHost(host, &facts);
  return facts;
}

MachineFacts FactsForTcgRetry(const MachineFacts& facts) {
  MachineFacts retry = facts;
  retry.accelerator = QemuAccelerator::kTcg;
  return retry;
}
