// What the player tells the user to install when QEMU or the UEFI firmware
// is missing: where they come from differs by system. Own texts
// (Windows-1252), for ShownText.
#pragma once

// Where QEMU comes from, one sentence.
const char* QemuInstallAdvice();
// How to get the UEFI firmware files, one sentence.
const char* UefiFirmwareAdvice();
