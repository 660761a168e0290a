#include "player/qemu_invocation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/default_template.h"
#include "platform/text_utilities.h"
#include "player/vmx_config.h"

namespace {

using Arguments = std::vector<std::string>;

QemuHostFacts LinuxHost() {
  QemuHostFacts host;
  host.vmxDirectory = "/tmp/run/";
  host.separator = '/';
  return host;
}

QemuInvocation Map(const std::string& text, const QemuHostFacts& host = LinuxHost()) {
  return MapVmxToQemu(ParseVmxText(text), host);
}

// A configuration that boots, plus `more`.
QemuInvocation MapBootable(const std::string& more, const QemuHostFacts& host = LinuxHost()) {
  return Map(
      "ide1:0.present = \"TRUE\"\nide1:0.fileName = \"cd.iso\"\n"
      "ide1:0.deviceType = \"cdrom-image\"\n" +
          more,
      host);
}

// The arguments that follow the first `option`, or "<absent>".
std::string After(const QemuInvocation& invocation, const std::string& option) {
  const Arguments& a = invocation.arguments;
  for (std::size_t i = 0; i + 1 < a.size(); ++i) {
    if (a[i] == option) return a[i + 1];
  }
  return "<absent>";
}

bool Has(const QemuInvocation& invocation, const std::string& argument) {
  for (const std::string& a : invocation.arguments) {
    if (a == argument) return true;
  }
  return false;
}

TEST(QemuInvocation, MapsTheDefaultTemplate) {
  std::string text = DefaultTemplateText();
  text = ReplaceAll(text, "***isofile.iso***", "/home/j/debian 12.iso");
  const QemuInvocation invocation = Map(text);
  ASSERT_EQ(invocation.error, "");
  const Arguments expected = {
      "-accel",
      "tcg",
      "-cpu",
      "max",
      "-m",
      "768",
      "-smp",
      "1",
      "-drive",
      "file=/home/j/debian 12.iso,if=none,id=drive0,media=cdrom,readonly=on,format=raw",
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
  EXPECT_EQ(invocation.arguments, expected);
  ASSERT_EQ(invocation.uses.size(), 1u);
  EXPECT_EQ(invocation.uses[0].path, "/home/j/debian 12.iso");
  EXPECT_EQ(invocation.uses[0].kind, FileUseKind::kCdImage);
  EXPECT_EQ(invocation.uses[0].access, FileAccess::kRead);

  // With KVM and sound: the same machine, accelerated with the host's CPU, with sound.
  QemuHostFacts host = LinuxHost();
  host.accelerator = QemuAccelerator::kKvm;
  host.audioBackend = "pa";
  const QemuInvocation shown = Map(text, host);
  EXPECT_EQ(After(shown, "-accel"), "kvm");
  EXPECT_EQ(After(shown, "-cpu"), "host");
  EXPECT_EQ(After(shown, "-name"), "guest=CD-Boot \xE2\x80\x93 debian 12.iso");
  EXPECT_EQ(After(shown, "-audiodev"), "pa,id=sound0");
  EXPECT_FALSE(Has(shown, "-full-screen"));
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
    const QemuInvocation invocation = Map(text);
    EXPECT_NE(invocation.error.find("kein Startmedium"), std::string::npos) << text;
    EXPECT_TRUE(invocation.arguments.empty()) << text;
  }
}

TEST(QemuInvocation, ValidatesMemoryAndProcessors) {
  EXPECT_EQ(After(MapBootable("memsize = \"1048576\"\n"), "-m"), "1048576");
  EXPECT_EQ(After(MapBootable("numvcpus = \"255\"\n"), "-smp"), "255");
  EXPECT_EQ(After(MapBootable(""), "-m"), "<absent>");  // QEMU's own default
  for (const char* bad : {"memsize = \"1048577\"", "memsize = \"99999999999999999999\"",
                          "memsize = \"0\"", "memsize = \"-1\"", "memsize = \"768M\"",
                          "memsize = \"\"", "memsize = \" 768\"", "memsize = \"0x300\"",
                          "numvcpus = \"0\"", "numvcpus = \"256\"", "numvcpus = \"2,maxcpus=9\""}) {
    const QemuInvocation invocation = MapBootable(std::string(bad) + "\n");
    EXPECT_NE(invocation.error.find("Ung\xFCltiger Wert"), std::string::npos) << bad;
    EXPECT_TRUE(invocation.arguments.empty()) << bad;
  }
}

TEST(QemuInvocation, KeepsHostileValuesInsideTheirOption) {
  const QemuInvocation invocation = MapBootable(
      "displayName = \"-display sdl,gl=on\"\n"
      "ide1:0.fileName = \"/x/a,format=qcow2,file.driver=ssh.iso\"\n"
      "serial0.present = \"TRUE\"\nserial0.fileType = \"file\"\n"
      "serial0.fileName = \"/log/a,b -serial stdio\"\n");
  ASSERT_EQ(invocation.error, "");
  EXPECT_EQ(After(invocation, "-name"),
            "guest=-display sdl,,gl=on \xE2\x80\x93 a,,format=qcow2,,file.driver=ssh.iso "
            "\xE2\x80\x93 Software-Emulation");
  EXPECT_EQ(After(invocation, "-drive"),
            "file=/x/a,,format=qcow2,,file.driver=ssh.iso,if=none,id=drive0,media=cdrom,"
            "readonly=on,format=raw");
  EXPECT_EQ(After(invocation, "-chardev"),
            "file,id=serial0,path=/log/a,,b -serial stdio,append=on");
  // A quote inside a value stays one byte of one argument.
  QemuHostFacts kvm = LinuxHost();
  kvm.accelerator = QemuAccelerator::kKvm;
  EXPECT_EQ(After(MapBootable("displayName = 'a\"b'\n", kvm), "-name"),
            "guest='a\"b' \xE2\x80\x93 cd.iso");
}

// Two machines at once are told apart by their windows, and a slow one
// says why it is slow.
TEST(QemuInvocation, TitlesTheWindowWithTheMachineItsCdAndTheEmulation) {
  const std::string dash = " \xE2\x80\x93 ";
  const auto kvm = QemuAccelerator::kKvm;
  EXPECT_EQ(WindowTitle("Debian", "C:\\isos\\debian.iso", '\\', kvm),
            "Debian" + dash + "debian.iso");
  EXPECT_EQ(WindowTitle("Debian", "C:/isos/debian.iso", '\\', kvm), "Debian" + dash + "debian.iso");
  EXPECT_EQ(WindowTitle("Debian", "a\\b.iso", '/', kvm), "Debian" + dash + "a\\b.iso");
  EXPECT_EQ(WindowTitle("", "/i/x.iso", '/', QemuAccelerator::kWhpx), "x.iso");
  EXPECT_EQ(WindowTitle("", "", '/', kvm), "");
  EXPECT_EQ(WindowTitle("", "", '/', QemuAccelerator::kTcg), "Software-Emulation");
  // The configuration's bytes pass unchanged (UTF-8 on Linux).
  EXPECT_EQ(WindowTitle("M\xC3\xBCller", "", '/', QemuAccelerator::kTcg),
            "M\xC3\xBCller" + dash + "Software-Emulation");

  // The CD named is the one that boots; a disk-only machine names none.
  QemuHostFacts host = LinuxHost();
  host.accelerator = kvm;
  const std::string cd =
      "ide1:0.present = \"TRUE\"\nide1:0.deviceType = \"cdrom-image\"\n"
      "ide1:0.fileName = \"second.iso\"\n";
  EXPECT_EQ(After(Map("displayName = \"A\"\nide0:0.present = \"TRUE\"\n"
                      "ide0:0.deviceType = \"cdrom-image\"\nide0:0.fileName = \"first.iso\"\n" +
                          cd,
                      host),
                  "-name"),
            "guest=A" + dash + "first.iso");
  EXPECT_EQ(After(Map("displayName = \"A,B\"\nide0:0.present = \"TRUE\"\n"
                      "ide0:0.fileName = \"d.img\"\n",
                      host),
                  "-name"),
            "guest=A,,B");
}

TEST(QemuInvocation, RefusesControlBytesInTheValuesItUses) {
  const QemuInvocation invocation = MapBootable("displayName = \"a\tb\"\n");
  EXPECT_NE(invocation.error.find("displayName"), std::string::npos);
  EXPECT_TRUE(invocation.arguments.empty());
  EXPECT_NE(MapBootable("ide1:0.fileName = \"a\x1b.iso\"\n").error, "");
  // DEL is a valid file-name byte: it stays part of the one argument.
  const QemuInvocation del = MapBootable("ide1:0.fileName = \"/i/a\x7f.iso\"\n");
  EXPECT_EQ(del.error, "");
  EXPECT_EQ(After(del, "-drive"),
            "file=/i/a\x7f.iso,if=none,id=drive0,media=cdrom,readonly=on,format=raw");
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
}

TEST(QemuInvocation, WritesSerialPortsToFilesKeepingTheirNumbers) {
  const QemuInvocation invocation = MapBootable(
      "serial0.present = \"TRUE\"\nserial0.fileName = \"Auto Detect\"\n"
      "serial2.present = \"TRUE\"\nserial2.fileType = \"FILE\"\nserial2.fileName = \"com3.txt\"\n"
      "serial3.present = \"FALSE\"\nserial3.fileType = \"file\"\nserial3.fileName = \"no.txt\"\n");
  ASSERT_EQ(invocation.error, "");
  Arguments serial;
  for (std::size_t i = 0; i + 1 < invocation.arguments.size(); ++i) {
    const std::string& a = invocation.arguments[i];
    if (a == "-serial" || a == "-chardev")
      serial.insert(serial.end(), {a, invocation.arguments[i + 1]});
  }
  // Appended to, never cut short.
  const Arguments expected = {"-serial",  "null",
                              "-serial",  "null",
                              "-chardev", "file,id=serial2,path=/tmp/run/com3.txt,append=on",
                              "-serial",  "chardev:serial2"};
  EXPECT_EQ(serial, expected);
  const FileUse& use = invocation.uses.back();
  EXPECT_EQ(use.kind, FileUseKind::kSerialOutput);
  EXPECT_EQ(use.access, FileAccess::kWrite);
  EXPECT_EQ(invocation.arguments[use.argument], "file,id=serial2,path=/tmp/run/com3.txt,append=on");
  EXPECT_FALSE(Has(MapBootable("serial0.present = \"FALSE\"\n"), "-serial"));
}

TEST(QemuInvocation, MapsNetworkCardsToTheNearestModel) {
  const QemuInvocation invocation = MapBootable(
      "ethernet0.present = \"TRUE\"\nethernet0.virtualDev = \"vlance\"\n"
      "ethernet0.connectionType = \"nat\"\n"
      "ethernet1.present = \"TRUE\"\nethernet1.virtualDev = \"vmxnet3\"\n"
      "ethernet1.connectionType = \"bridged\"\n"
      "ethernet2.present = \"FALSE\"\n");
  Arguments network;
  for (std::size_t i = 0; i + 1 < invocation.arguments.size(); ++i) {
    const std::string& a = invocation.arguments[i];
    if (a == "-netdev" || (a == "-device" && invocation.arguments[i + 1].rfind("ide-", 0) != 0)) {
      network.push_back(invocation.arguments[i + 1]);
    }
  }
  const Arguments expected = {"user,id=net0",
                              "pcnet,netdev=net0,romfile=", "user,id=net1,restrict=on",
                              "vmxnet3,netdev=net1,romfile="};
  EXPECT_EQ(network, expected);
}

TEST(QemuInvocation, ShowsFullScreenAndSoundOnlyWhenAsked) {
  QemuHostFacts host = LinuxHost();
  EXPECT_TRUE(Has(MapBootable("gui.fullScreenAtPowerOn = \"TRUE\"\n", host), "-full-screen"));
  EXPECT_FALSE(Has(MapBootable("gui.fullScreenAtPowerOn = \"FALSE\"\n", host), "-full-screen"));
  // Sound needs both the setting and a host driver.
  EXPECT_FALSE(Has(MapBootable("sound.present = \"TRUE\"\n"), "-audiodev"));
  host.audioBackend = "pa";
  EXPECT_FALSE(Has(MapBootable("sound.present = \"FALSE\"\n", host), "-audiodev"));
}

}  // namespace
