#include "player/qemu_command.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/default_template.h"
#include "platform/text_utilities.h"
#include "player_test_support.h"

namespace {

using namespace player_test;

MappedMachine Map(const std::string& text, const HostFacts& host = TestHost()) {
  return MapVmx(text, host, {}, "/tmp/run/");
}

// A configuration that boots, plus `more`.
MappedMachine MapBootable(const std::string& more, const HostFacts& host = TestHost()) {
  return Map(CdLines("ide1:0", "cd.iso") + more, host);
}

TEST(QemuInvocation, MapsTheDefaultTemplate) {
  std::string text = DefaultTemplateText();
  text = ReplaceAll(text, "***isofile.iso***", "/home/j/debian 12.iso");
  const MappedMachine mapped = Map(text);
  ASSERT_EQ(mapped.error, "");
  const Arguments expected = {
      "-accel",
      "tcg",
      "-cpu",
      "max",
      "-m",
      "768",
      "-smp",
      "1",
      "-blockdev",
      "driver=file,node-name=drive0-file,filename=/home/j/debian 12.iso,read-only=on",
      "-blockdev",
      "driver=raw,node-name=drive0,file=drive0-file,read-only=on",
      "-device",
      "ide-cd,bus=ide.1,unit=0,drive=drive0,bootindex=1",
      "-name",
      "guest=CD-Boot \xE2\x80\x93 debian 12.iso \xE2\x80\x93 Software-Emulation",
      "-netdev",
      "user,id=net0,restrict=on",
      "-device",
      "e1000,netdev=net0,romfile=",
      "-usb",
      "-device",
      "usb-tablet",
      "-drive",
      "if=floppy,index=0"};
  EXPECT_EQ(mapped.arguments, expected);
  ASSERT_EQ(mapped.uses.size(), 1u);
  EXPECT_EQ(mapped.uses[0].path, "/home/j/debian 12.iso");
  EXPECT_EQ(mapped.uses[0].kind, FileUseKind::kCdImage);
  EXPECT_EQ(mapped.uses[0].access, FileAccess::kRead);

  // With KVM and sound: the same machine, accelerated with the host's CPU, with sound.
  HostFacts host = TestHost();
  host.accelerator = QemuAccelerator::kKvm;
  host.audioBackend = "pa";
  const MappedMachine shown = Map(text, host);
  EXPECT_EQ(ValueOf(shown.arguments, "-accel"), "kvm");
  EXPECT_EQ(ValueOf(shown.arguments, "-cpu"), "host");
  EXPECT_EQ(ValueOf(shown.arguments, "-name"), "guest=CD-Boot \xE2\x80\x93 debian 12.iso");
  EXPECT_EQ(ValueOf(shown.arguments, "-audiodev"), "pa,id=sound0");
  EXPECT_TRUE(Contains(shown.arguments, "hda-output,audiodev=sound0"));
  EXPECT_FALSE(Contains(shown.arguments, "-full-screen"));
}

TEST(QemuInvocation, RefusesAMachineWithoutABootMedium) {
  for (const char* text : {
           "memsize = \"256\"\n",
           // Present but not connected, absent, or not present at all.
           "ide1:0.present = \"TRUE\"\nide1:0.fileName = \"a.iso\"\n"
           "ide1:0.deviceType = \"cdrom-image\"\nide1:0.startConnected = \"FALSE\"\n",
           "ide1:0.present = \"FALSE\"\nide1:0.fileName = \"a.iso\"\nide1:0.deviceType = "
           "\"cdrom-image\"\n",
           "ide1:0.present = \"TRUE\"\nide1:0.fileName = \"\"\nide1:0.deviceType = "
           "\"cdrom-image\"\n",
           "ide1:0.present = \"TRUE\"\nide1:0.deviceType = \"cdrom-raw\"\n",
       }) {
    const MappedMachine mapped = Map(text);
    EXPECT_NE(mapped.error.find("kein Startmedium"), std::string::npos) << text;
    EXPECT_TRUE(mapped.machine.drives.empty()) << text;
  }
}

TEST(QemuInvocation, ValidatesMemoryAndProcessors) {
  EXPECT_EQ(ValueOf(MapBootable("memsize = \"1048576\"\n").arguments, "-m"), "1048576");
  EXPECT_EQ(ValueOf(MapBootable("numvcpus = \"255\"\n").arguments, "-smp"), "255");
  // QEMU's own defaults.
  EXPECT_EQ(ValueOf(MapBootable("").arguments, "-m"), "<absent>");
  EXPECT_EQ(ValueOf(MapBootable("").arguments, "-smp"), "<absent>");
  for (const char* bad : {"memsize = \"1048577\"", "memsize = \"99999999999999999999\"",
                          "memsize = \"0\"", "memsize = \"-1\"", "memsize = \"768M\"",
                          "memsize = \"\"", "memsize = \" 768\"", "memsize = \"0x300\"",
                          "numvcpus = \"0\"", "numvcpus = \"256\"", "numvcpus = \"2,maxcpus=9\""}) {
    const MappedMachine mapped = MapBootable(std::string(bad) + "\n");
    EXPECT_NE(mapped.error.find("Ung\xFCltiger Wert"), std::string::npos) << bad;
    EXPECT_TRUE(mapped.machine.uses.empty()) << bad;
    EXPECT_TRUE(mapped.arguments.empty()) << bad;
  }
}

TEST(QemuInvocation, KeepsHostileValuesInsideTheirOption) {
  const MappedMachine mapped = MapBootable(
      "displayName = \"-display sdl,gl=on\"\n"
      "ide1:0.fileName = \"/x/a,format=qcow2,file.driver=ssh.iso\"\n" +
      SerialLines(0, "/log/a,b -serial stdio"));
  ASSERT_EQ(mapped.error, "");
  EXPECT_EQ(ValueOf(mapped.arguments, "-name"),
            "guest=-display sdl,,gl=on \xE2\x80\x93 a,,format=qcow2,,file.driver=ssh.iso "
            "\xE2\x80\x93 Software-Emulation");
  EXPECT_EQ(ValueOf(mapped.arguments, "-blockdev"),
            "driver=file,node-name=drive0-file,filename=/x/a,,format=qcow2,,file.driver=ssh.iso,"
            "read-only=on");
  EXPECT_EQ(ValueOf(mapped.arguments, "-chardev"),
            "file,id=serial0,path=/log/a,,b -serial stdio,append=on");
  // The names stay whole in the uses: the plan opens what was written.
  EXPECT_EQ(mapped.uses[0].path, "/x/a,format=qcow2,file.driver=ssh.iso");
  EXPECT_EQ(mapped.uses[1].path, "/log/a,b -serial stdio");
  // A quote inside a value stays one byte of one argument.
  HostFacts kvm = TestHost();
  kvm.accelerator = QemuAccelerator::kKvm;
  EXPECT_EQ(ValueOf(MapBootable("displayName = 'a\"b'\n", kvm).arguments, "-name"),
            "guest='a\"b' \xE2\x80\x93 cd.iso");
}

// Two machines at once are told apart by their windows, and a slow one
// says why it is slow.
TEST(QemuInvocation, TitlesTheWindowWithTheMachineItsCdAndTheEmulation) {
  const std::string dash = kTitleDash;
  HostFacts windows = TestHost();
  windows.separator = '\\';
  MachineFacts kvm;
  kvm.accelerator = QemuAccelerator::kKvm;
  MachineFacts tcg;
  EXPECT_EQ(WindowTitle("Debian", "C:\\isos\\debian.iso", kvm, windows),
            "Debian" + dash + "debian.iso");
  EXPECT_EQ(WindowTitle("Debian", "C:/isos/debian.iso", kvm, windows),
            "Debian" + dash + "debian.iso");
  EXPECT_EQ(WindowTitle("Debian", "a\\b.iso", kvm, TestHost()), "Debian" + dash + "a\\b.iso");
  MachineFacts whpx;
  whpx.accelerator = QemuAccelerator::kWhpx;
  EXPECT_EQ(WindowTitle("", "/i/x.iso", whpx, TestHost()), "x.iso");
  EXPECT_EQ(WindowTitle("", "", kvm, TestHost()), "");
  EXPECT_EQ(WindowTitle("", "", tcg, TestHost()), "Software-Emulation");
  // The configuration's bytes pass unchanged (UTF-8 on Linux).
  EXPECT_EQ(WindowTitle("M\xC3\xBCller", "", tcg, TestHost()),
            "M\xC3\xBCller" + dash + "Software-Emulation");
  // Why the firmware is not the .vmx's comes before the emulation.
  MachineFacts changed = tcg;
  changed.titleNote = "UEFI, von der CD verlangt";
  EXPECT_EQ(
      WindowTitle("A", "/i/x.iso", changed, TestHost()),
      "A" + dash + "x.iso" + dash + "UEFI, von der CD verlangt" + dash + "Software-Emulation");

  // The CD named is the one that boots; a disk-only machine names none.
  HostFacts host = TestHost();
  host.accelerator = QemuAccelerator::kKvm;
  EXPECT_EQ(ValueOf(Map("displayName = \"A\"\n" + CdLines("ide0:0", "first.iso") +
                            CdLines("ide1:0", "second.iso"),
                        host)
                        .arguments,
                    "-name"),
            "guest=A" + dash + "first.iso");
  const MappedMachine disk = Map("displayName = \"A,B\"\n" + DiskLines("ide0:0", "d.img"), host);
  EXPECT_EQ(ValueOf(disk.arguments, "-name"), "guest=A,,B");
  EXPECT_FALSE(Contains(Map(DiskLines("ide0:0", "d.img"), host).arguments, "-name"));
}

TEST(QemuInvocation, RefusesControlBytesInTheValuesItUses) {
  const MappedMachine mapped = MapBootable("displayName = \"a\tb\"\n");
  EXPECT_NE(mapped.error.find("displayName"), std::string::npos);
  EXPECT_TRUE(mapped.arguments.empty());
  EXPECT_NE(MapBootable("ide1:0.fileName = \"a\x1b.iso\"\n").error, "");
  // DEL is a valid file-name byte: it stays part of the one argument.
  const MappedMachine del = MapBootable("ide1:0.fileName = \"/i/a\x7f.iso\"\n");
  EXPECT_EQ(del.error, "");
  EXPECT_EQ(ValueOf(del.arguments, "-blockdev"),
            "driver=file,node-name=drive0-file,filename=/i/a\x7f.iso,read-only=on");
  // A setting the player does not use may hold anything.
  EXPECT_EQ(MapBootable("annotation = \"a\x01\x7f\"\n").error, "");
}

TEST(QemuInvocation, ResolvesRelativeNamesAgainstTheConfigurationsDirectory) {
  EXPECT_EQ(ResolveVmxPath("a.iso", "/tmp/run/", '/'), "/tmp/run/a.iso");
  EXPECT_EQ(ResolveVmxPath("sub/a.iso", "", '/'), "./sub/a.iso");
  EXPECT_EQ(ResolveVmxPath("c:a.iso", "", '/'), "./c:a.iso");
  EXPECT_EQ(ResolveVmxPath("/abs/a.iso", "/tmp/run/", '/'), "/abs/a.iso");
  EXPECT_EQ(ResolveVmxPath("a.iso", "C:\\tmp\\run\\", '\\'), "C:\\tmp\\run\\a.iso");
  EXPECT_EQ(ResolveVmxPath("D:\\isos\\a.iso", "C:\\tmp\\", '\\'), "D:\\isos\\a.iso");
  EXPECT_EQ(ResolveVmxPath("\\\\server\\share\\a.iso", "C:\\tmp\\", '\\'),
            "\\\\server\\share\\a.iso");
  EXPECT_EQ(ResolveVmxPath("..\\a.iso", "C:\\tmp\\", '\\'), "C:\\tmp\\..\\a.iso");
  // The description takes every name it uses there.
  const MappedMachine mapped = Map(CdLines("ide1:0", "cd.iso") + SerialLines(0, "s.log"));
  ASSERT_EQ(mapped.uses.size(), 2u);
  EXPECT_EQ(mapped.uses[0].path, "/tmp/run/cd.iso");
  EXPECT_EQ(mapped.uses[1].path, "/tmp/run/s.log");
}

TEST(QemuInvocation, WritesSerialPortsToFilesKeepingTheirNumbers) {
  const MappedMachine mapped = MapBootable(
      "serial0.present = \"TRUE\"\nserial0.fileName = \"Auto Detect\"\n"
      "serial2.present = \"TRUE\"\nserial2.fileType = \"FILE\"\nserial2.fileName = \"com3.txt\"\n"
      "serial3.present = \"FALSE\"\nserial3.fileType = \"file\"\nserial3.fileName = \"no.txt\"\n");
  ASSERT_EQ(mapped.error, "");
  Arguments serial;
  for (std::size_t i = 0; i + 1 < mapped.arguments.size(); ++i) {
    const std::string& a = mapped.arguments[i];
    if (a == "-serial" || a == "-chardev")
      serial.insert(serial.end(), {a, mapped.arguments[i + 1]});
  }
  // Appended to, never cut short.
  const Arguments expected = {"-serial",  "null",
                              "-serial",  "null",
                              "-chardev", "file,id=serial2,path=/tmp/run/com3.txt,append=on",
                              "-serial",  "chardev:serial2"};
  EXPECT_EQ(serial, expected);
  const FileUse use = {"/tmp/run/com3.txt", FileAccess::kAppend, FileUseKind::kSerialOutput,
                       "serial2"};
  EXPECT_EQ(mapped.uses.back(), use);
  EXPECT_EQ(mapped.uses.size(), 2u);
  EXPECT_FALSE(Contains(MapBootable("serial0.present = \"FALSE\"\n").arguments, "-serial"));
}

TEST(QemuInvocation, MapsNetworkCardsToTheNearestModel) {
  const MappedMachine mapped = MapBootable(
      "ethernet0.present = \"TRUE\"\nethernet0.virtualDev = \"vlance\"\n"
      "ethernet0.connectionType = \"nat\"\n"
      "ethernet1.present = \"TRUE\"\nethernet1.virtualDev = \"vmxnet3\"\n"
      "ethernet1.connectionType = \"bridged\"\n"
      "ethernet2.present = \"FALSE\"\n"
      "ethernet3.present = \"TRUE\"\nethernet3.virtualDev = \"E1000E\"\n"
      "ethernet3.connectionType = \"NAT\"\n");
  Arguments network;
  for (std::size_t i = 0; i + 1 < mapped.arguments.size(); ++i) {
    const std::string& a = mapped.arguments[i];
    if (a == "-netdev" || (a == "-device" && mapped.arguments[i + 1].rfind("ide-", 0) != 0)) {
      network.push_back(mapped.arguments[i + 1]);
    }
  }
  // Only NAT reaches beyond the host.
  const Arguments expected = {"user,id=net0",
                              "pcnet,netdev=net0,romfile=",
                              "user,id=net1,restrict=on",
                              "vmxnet3,netdev=net1,romfile=",
                              "user,id=net3",
                              "e1000e,netdev=net3,romfile="};
  EXPECT_EQ(network, expected);
}

TEST(QemuInvocation, ShowsFullScreenAndSoundOnlyWhenAsked) {
  HostFacts host = TestHost();
  EXPECT_TRUE(Contains(MapBootable("gui.fullScreenAtPowerOn = \"TRUE\"\n", host).arguments,
                       "-full-screen"));
  EXPECT_FALSE(Contains(MapBootable("gui.fullScreenAtPowerOn = \"FALSE\"\n", host).arguments,
                        "-full-screen"));
  // Sound needs both the setting and a host driver.
  EXPECT_FALSE(Contains(MapBootable("sound.present = \"TRUE\"\n", host).arguments, "-audiodev"));
  host.audioBackend = "pa";
  EXPECT_FALSE(Contains(MapBootable("sound.present = \"FALSE\"\n", host).arguments, "-audiodev"));
  EXPECT_EQ(ValueOf(MapBootable("sound.present = \"TRUE\"\n", host).arguments, "-audiodev"),
            "pa,id=sound0");
}

}  // namespace
