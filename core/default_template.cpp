#include "core/default_template.h"

#include <string_view>

#include "platform/system.h"

namespace {

// The lines in order, without their line ends.
constexpr std::string_view kLines[] = {
    "#!/usr/bin/vmplayer",
    "# This is a Workstation 6 config file",
    "# It can be used With Player",
    "config.version = \"8\"",
    "virtualHW.version = \"6\"",
    "",
    "# Selected operating system For your virtual machine",
    "guestOS = \"other26xlinux\"",
    "",
    "# displayName is your own name For the virtual machine",
    "displayName = \"CD-Boot\"",
    "",
    "# These fields are free text description fields",
    "guestinfo.vmware.product.url = \"" TRENNWICK_WEB_ADDRESS "\"",
    "guestinfo.vmware.product.class = \"virtual machine\"",
    "",
    "# Number of virtual CPUs. Your virtual machine will Not",
    "# work If this number is higher than the number of your physical CPUs",
    "numvcpus = \"1\"",
    "",
    "# Memory size And other memory settings",
    "memsize = \"768\"",
    "MemAllowAutoScaleDown = \"FALSE\"",
    "MemTrimRate = \"-1\"",
    "",
    "# PowerOn/Off options",
    "gui.powerOnAtStartup = \"TRUE\"",
    "gui.fullScreenAtPowerOn = \"FALSE\"",
    "gui.exitAtPowerOff = \"TRUE\"",
    "",
    "",
    "",
    "# Unique ID For the virtual machine will be created",
    "uuid.action = \"create\"",
    "",
    "# Settings For VMware Tools",
    "tools.remindInstall = \"TRUE\"",
    "tools.upgrade.policy = \"upgradeAtPowerCycle\"",
    "",
    "# Startup hints interfers With automatic startup of a virtual machine",
    "# This setting has no effect in VMware Player",
    "hints.hideAll = \"TRUE\"",
    "",
    "# Enable time synchronization between computer",
    "# And virtual machine",
    "tools.syncTime = \"TRUE\"",
    "",
    "# USB settings",
    "# This config activates USB",
    "usb.present = \"TRUE\"",
    "usb.generic.autoconnect = \"FALSE\"",
    "",
    "# First serial port, physical COM1 is available",
    "#serial0.present = \"TRUE\"",
    "#serial0.fileName = \"Auto Detect\"",
    "#serial0.autodetect = \"TRUE\"",
    "#serial0.hardwareFlowControl = \"TRUE\"",
    "",
    "# Optional second serial port, physical COM2 is Not available",
    "serial1.present = \"FALSE\"",
    "",
    "# First parallell port, physical LPT1 is available",
    "#parallel0.present = \"TRUE\"",
    "#parallel0.fileName = \"Auto Detect\"",
    "#parallel0.autodetect = \"TRUE\"",
    "#parallel0.bidirectional = \"TRUE\"",
    "",
    "# Sound settings",
    "sound.present = \"TRUE\"",
    "sound.fileName = \"-1\"",
    "sound.autodetect = \"TRUE\"",
    "",
    "# Logging",
    "",
    "# This config activates logging, And keeps last log",
    "logging = \"FALSE\"",
    "log.fileName = \"CD-Boot_320RAM_500swapfiledisk.log\"",
    "log.append = \"TRUE\"",
    "log.keepOld = \"3\"",
    "",
    "# These settings decides interaction between your",
    "# computer And the virtual machine",
    "isolation.tools.hgfs.disable = \"FALSE\"",
    "isolation.tools.dnd.disable = \"FALSE\"",
    "isolation.tools.copy.enable = \"TRUE\"",
    "isolation.tools.paste.enabled = \"TRUE\"",
    "",
    "# Other Default settings",
    "svga.autodetect = \"TRUE\"",
    "",
    "mks.keyboardFilter = \"allow\"",
    "snapshot.action = \"autoCommit\"",
    "",
    "# First network Interface card",
    "ethernet0.present = \"TRUE\"",
    "ethernet0.virtualDev = \"e1000\"",
    "ethernet0.connectionType = \"hostonly\"",
    "ethernet0.addressType = \"generated\"",
    "ethernet0.generatedAddressOffset = \"0\"",
    "",
    "# Settings For physical floppy drive",
    "floppy0.present = \"TRUE\"",
    "floppy0.startConnected = \"FALSE\"",
    "floppy0.autodetect = \"TRUE\"",
    "",
    "# Settings For the optional virtual CDROM, ISO-image",
    "ide1:0.present = \"TRUE\"",
    "ide1:0.fileName = \"***isofile.iso***\"",
    "ide1:0.deviceType = \"cdrom-image\"",
    "ide1:0.mode = \"persistent\"",
    "ide1:0.startConnected = \"TRUE\"",
};

static_assert(sizeof(kLines) / sizeof(kLines[0]) == 111);

}  // namespace

std::span<const std::string_view> DefaultTemplateLines() {
  return kLines;
}

std::string DefaultTemplateText() {
  std::string text;
  for (std::string_view line : kLines) {
    text += line;
    // Every line has its line end, the last one too.
    text += system_facts::kTemplateLineEnd;
  }
  return text;
}
