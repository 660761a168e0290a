// A TPM 2.0 for vtpm.present = "TRUE" (or Windows setup media): an swtpm
// beside QEMU keeps the TPM's state in the machine's own folder `<name>-tpm`
// next to the .vmx, QEMU reaches it through the emulator backend on
// swtpm's control socket and shows it to the guest as a CRB device, which
// UEFI firmware announces in the ACPI table TPM2. The caller starts swtpm;
// this unit only maps.
#pragma once

#include <string>
#include <vector>

#include "player/machine_facts.h"
#include "player/qemu_arguments.h"

// The refusal (an own text) of a TPM that the machine cannot have: one
// without UEFI firmware; empty when there is none or it can have it. The
// player refuses it before it makes anything for the machine.
std::string TpmRefusal(const MachineFacts& facts);

// `socket`: the control socket of the swtpm opened for the machine, as
// QEMU reaches it. Only a TPM that TpmRefusal let pass gets here.
void AddTpmArguments(const MachineFacts& facts, const std::string& socket,
                     QemuInvocation& invocation);

// The machine's TPM state folder: the .vmx's name without ".vmx", "-tpm".
std::string TpmStateFolderPath(const std::string& vmxFile);

// The name of swtpm's control socket inside the state folder.
inline constexpr char kTpmSocketName[] = "swtpm.sock";

// swtpm's arguments: a TPM 2.0 with its state in `stateFolder`, listening
// on `socketPath`, both readable by the user alone, and ending when QEMU
// closes the connection. swtpm splits its options at every comma and knows
// no escape, so neither path may hold one.
std::vector<std::string> SwtpmArguments(const std::string& stateFolder,
                                        const std::string& socketPath);

// The .vmx's path without its extension ".vmx" (any case): the base of the
// files the player keeps beside a machine (its UEFI store, its TPM state).
std::string MachineFileBase(const std::string& vmxFile);
