#include "player/drives.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "player/accelerator.h"
#include "player/firmware.h"
#include "player/qemu_invocation.h"
#include "player/vmx_config.h"

namespace {

using Arguments = std::vector<std::string>;

QemuInvocation Map(const std::string& text, QemuHostFacts host = {}) {
  host.vmxDirectory = "/run/";
  return MapVmxToQemu(ParseVmxText(text), host);
}

// The values of every `option`, in order.
Arguments All(const QemuInvocation& invocation, const std::string& option) {
  Arguments found;
  for (std::size_t i = 0; i + 1 < invocation.arguments.size(); ++i) {
    if (invocation.arguments[i] == option) found.push_back(invocation.arguments[i + 1]);
  }
  return found;
}

std::string Cd(const std::string& place, const std::string& file) {
  return place + ".present = \"TRUE\"\n" + place + ".deviceType = \"cdrom-image\"\n" + place +
         ".fileName = \"" + file + "\"\n";
}

std::string Disk(const std::string& place, const std::string& file) {
  return place + ".present = \"TRUE\"\n" + place + ".fileName = \"" + file + "\"\n";
}

TEST(Drives, PlacesIdeDrivesAndBootsTheCdBeforeTheDisk) {
  const QemuInvocation invocation =
      Map(Disk("ide0:0", "disk.vmdk") + Disk("ide0:1", "/d/raw.img") + Cd("ide1:1", "cd.iso") +
          "ide1:0.present = \"TRUE\"\nide1:0.deviceType = \"atapi-cdrom\"\n"
          "ide1:0.fileName = \"auto detect\"\n");
  ASSERT_EQ(invocation.error, "");
  EXPECT_EQ(All(invocation, "-drive"),
            (Arguments{"file=/run/disk.vmdk,if=none,id=drive0,format=vmdk",
                       "file=/d/raw.img,if=none,id=drive1,format=raw",
                       "if=none,id=drive2,media=cdrom,readonly=on",
                       "file=/run/cd.iso,if=none,id=drive3,media=cdrom,readonly=on,format=raw"}));
  EXPECT_EQ(All(invocation, "-device")[0], "ide-hd,bus=ide.0,unit=0,drive=drive0,bootindex=2");
  EXPECT_EQ(All(invocation, "-device")[1], "ide-hd,bus=ide.0,unit=1,drive=drive1");
  EXPECT_EQ(All(invocation, "-device")[2], "ide-cd,bus=ide.1,unit=0,drive=drive2");
  EXPECT_EQ(All(invocation, "-device")[3], "ide-cd,bus=ide.1,unit=1,drive=drive3,bootindex=1");
  // Each use names the argument that holds its file, past the controllers
  // added before it.
  const std::vector<FileUse> uses = {
      {"/run/disk.vmdk", FileAccess::kWrite, FileUseKind::kDiskImage, 5},
      {"/d/raw.img", FileAccess::kWrite, FileUseKind::kDiskImage, 9},
      {"/run/cd.iso", FileAccess::kRead, FileUseKind::kCdImage, 17}};
  EXPECT_EQ(invocation.uses, uses);
  for (const FileUse& use : invocation.uses) {
    EXPECT_EQ(invocation.arguments[use.argument].rfind("file=" + use.path + ",", 0), 0u);
  }
  EXPECT_TRUE(All(invocation, "-boot").empty());  // bootindex decides
}

TEST(Drives, PlacesSataScsiAndNvmeDrivesOnTheirControllers) {
  const QemuInvocation invocation =
      Map("sata0.present = \"TRUE\"\n" + Cd("sata0:1", "/i/a.iso") + Disk("sata0:7", "/i/s.qcow2") +
          "scsi0.present = \"TRUE\"\nscsi0.virtualDev = \"pvscsi\"\n" +
          Disk("scsi0:3", "/i/x.img") + "scsi1.present = \"TRUE\"\n" + Cd("scsi1:0", "/i/b.iso") +
          "nvme0.present = \"TRUE\"\n" + Disk("nvme0:2", "/i/n.img"));
  ASSERT_EQ(invocation.error, "");
  EXPECT_EQ(All(invocation, "-device"),
            (Arguments{"ahci,id=sata0", "ide-cd,bus=sata0.1,drive=drive0,bootindex=1",
                       "ahci,id=sata0-1", "ide-hd,bus=sata0-1.1,drive=drive1,bootindex=2",
                       "pvscsi,id=scsi0", "scsi-hd,bus=scsi0.0,scsi-id=3,drive=drive2",
                       "lsi53c895a,id=scsi1", "scsi-cd,bus=scsi1.0,scsi-id=0,drive=drive3",
                       "nvme,serial=nvme0-2,drive=drive4"}));
  // Alone on SATA, a CD boots; IDE beside it no longer hides it.
  const QemuInvocation both =
      Map(Disk("ide0:0", "/i/d.img") + "sata0.present = \"TRUE\"\n" + Cd("sata0:1", "/i/a.iso"));
  EXPECT_EQ(All(both, "-device"),
            (Arguments{"ide-hd,bus=ide.0,unit=0,drive=drive0,bootindex=2", "ahci,id=sata0",
                       "ide-cd,bus=sata0.1,drive=drive1,bootindex=1"}));
}

TEST(Drives, HonoursTheControllersPresentAsVmwareDoes) {
  for (const char* controller : {"sata0", "scsi0", "nvme0"}) {
    const std::string drive = std::string(controller) + ":0";
    const std::string text =
        std::string(controller) == "nvme0" ? Disk(drive, "/i/d.img") : Cd(drive, "/i/a.iso");
    EXPECT_NE(Map(text).error.find("kein Startmedium"), std::string::npos) << controller;
    EXPECT_NE(Map(std::string(controller) + ".present = \"FALSE\"\n" + text).error, "");
    EXPECT_EQ(Map(std::string(controller) + ".present = \"TRUE\"\n" + text).error, "");
  }
}

TEST(Drives, MapsVmwareScsiAdaptersToTheNearestQemuOne) {
  EXPECT_EQ(ScsiControllerModel("lsilogic"), "lsi53c895a");
  EXPECT_EQ(ScsiControllerModel(""), "lsi53c895a");
  EXPECT_EQ(ScsiControllerModel("BusLogic"), "lsi53c895a");
  EXPECT_EQ(ScsiControllerModel("PVSCSI"), "pvscsi");
  EXPECT_EQ(ScsiControllerModel("lsisas1068"), "mptsas1068");
}

// Every unit VMware allows on SCSI gets a place QEMU accepts and the
// firmware boots from: on the LSI models targets 0 to 6 only (SeaBIOS
// scans no further), on pvscsi and virtio-scsi the unit's own number.
TEST(Drives, PlacesEveryVmwareScsiUnitWhereTheFirmwareBootsFromIt) {
  for (const char* model : {"lsi53c895a", "mptsas1068"}) {
    std::vector<ScsiPlace> seen;
    for (int unit = 0; unit < 16; ++unit) {
      if (unit == 7) continue;
      const ScsiPlace place = PlaceOnScsi(model, unit);
      EXPECT_GE(place.target, 0) << model << unit;
      EXPECT_LT(place.target, 7) << model << unit;
      EXPECT_LT(place.adapter, 3) << model << unit;
      for (const ScsiPlace& other : seen) EXPECT_FALSE(other == place) << model << unit;
      seen.push_back(place);
    }
    EXPECT_EQ(PlaceOnScsi(model, 6), (ScsiPlace{0, 6}));
    EXPECT_EQ(PlaceOnScsi(model, 8), (ScsiPlace{1, 0}));
    EXPECT_EQ(PlaceOnScsi(model, 15), (ScsiPlace{2, 0}));
  }
  for (const char* model : {"pvscsi", "virtio-scsi-pci"}) {
    EXPECT_EQ(PlaceOnScsi(model, 15), (ScsiPlace{0, 15}));
  }

  // The further adapter is of the same model and comes before its drive.
  const std::string scsi = "scsi0.present = \"TRUE\"\n";
  EXPECT_EQ(
      All(Map(scsi + Cd("scsi0:8", "/i/a.iso") + Disk("scsi0:15", "/i/d.img")), "-device"),
      (Arguments{
          "lsi53c895a,id=scsi0-1", "scsi-cd,bus=scsi0-1.0,scsi-id=0,drive=drive0,bootindex=1",
          "lsi53c895a,id=scsi0-2", "scsi-hd,bus=scsi0-2.0,scsi-id=0,drive=drive1,bootindex=2"}));
  EXPECT_EQ(
      All(Map(scsi + "scsi0.virtualDev = \"lsisas1068\"\n" + Cd("scsi0:9", "/i/a.iso")), "-device"),
      (Arguments{"mptsas1068,id=scsi0-1",
                 "scsi-cd,bus=scsi0-1.0,scsi-id=1,drive=drive0,bootindex=1"}));
  EXPECT_EQ(
      All(Map(scsi + "scsi0.virtualDev = \"pvscsi\"\n" + Cd("scsi0:15", "/i/a.iso")), "-device"),
      (Arguments{"pvscsi,id=scsi0", "scsi-cd,bus=scsi0.0,scsi-id=15,drive=drive0,bootindex=1"}));
  QemuHostFacts uefi;
  uefi.firmwareCode = "/c.fd";
  uefi.firmwareVariables = "/v.fd";
  EXPECT_EQ(All(Map("firmware = \"efi\"\n" + scsi + Cd("scsi0:15", "/i/a.iso"), uefi), "-device"),
            (Arguments{"virtio-scsi-pci,id=scsi0",
                       "scsi-cd,bus=scsi0.0,scsi-id=15,drive=drive0,bootindex=1"}));

  // Unit 7 is the adapter's own: VMware refuses the machine, and so do we.
  const QemuInvocation seven = Map(scsi + Cd("scsi0:0", "/i/a.iso") + Disk("scsi0:7", "/i/d.img"));
  EXPECT_NE(seven.error.find("'scsi0:7.present'"), std::string::npos) << seven.error;
  EXPECT_TRUE(seven.arguments.empty());
}

TEST(Drives, KnowsVmwaresDeviceTypesAndRefusesOthers) {
  const std::string ide = "ide0:0.present = \"TRUE\"\nide0:0.fileName = \"/i/d.vmdk\"\n";
  for (const char* disk : {"disk", "ata-hardDisk", "SCSI-HARDDISK"}) {
    const QemuInvocation invocation = Map(ide + "ide0:0.deviceType = \"" + disk + "\"\n");
    ASSERT_EQ(invocation.error, "") << disk;
    EXPECT_EQ(All(invocation, "-device"),
              Arguments{"ide-hd,bus=ide.0,unit=0,drive=drive0,bootindex=2"})
        << disk;
    ASSERT_EQ(invocation.uses.size(), 1u) << disk;
    EXPECT_EQ(invocation.uses[0].path, "/i/d.vmdk");
    EXPECT_EQ(invocation.uses[0].kind, FileUseKind::kDiskImage);
    EXPECT_EQ(invocation.uses[0].access, FileAccess::kWrite);
  }
  // The host's drive: an empty CD drive, its file never opened.
  const QemuInvocation raw =
      Map(Cd("ide1:0", "/i/a.iso") + ide + "ide0:0.deviceType = \"atapi-cdrom\"\n");
  EXPECT_EQ(All(raw, "-drive")[0], "if=none,id=drive0,media=cdrom,readonly=on");
  EXPECT_EQ(raw.uses.size(), 1u);

  for (const char* unknown : {"floppy", "cdrom", "hardDisk "}) {
    const QemuInvocation invocation =
        Map(Cd("ide1:0", "/i/a.iso") + ide + "ide0:0.deviceType = \"" + unknown + "\"\n");
    EXPECT_NE(invocation.error.find("ide0:0.deviceType = \"" + std::string(unknown) + "\""),
              std::string::npos)
        << invocation.error;
    EXPECT_TRUE(invocation.arguments.empty());
  }
}

TEST(Drives, KeepsUnconnectedAndRawCdDrivesEmpty) {
  const QemuInvocation invocation = Map(
      Cd("ide0:0", "/i/first.iso") + "ide0:0.startConnected = \"FALSE\"\n" + "sata0.present = " +
      "\"TRUE\"\nsata0:0.present = \"TRUE\"\nsata0:0.deviceType = \"cdrom-raw\"\n" +
      "sata0:0.fileName = \"/dev/sr0\"\n" + Cd("sata0:2", "/i/second.iso") +
      Disk("ide1:0", "/i/off.img") + "ide1:0.startConnected = \"FALSE\"\n");
  ASSERT_EQ(invocation.error, "");
  EXPECT_EQ(All(invocation, "-drive"),
            (Arguments{"if=none,id=drive0,media=cdrom,readonly=on",
                       "if=none,id=drive1,media=cdrom,readonly=on",
                       "file=/i/second.iso,if=none,id=drive2,media=cdrom,readonly=on,format=raw"}));
  // The first connected image boots, wherever it sits.
  EXPECT_EQ(All(invocation, "-device").back(), "ide-cd,bus=sata0.2,drive=drive2,bootindex=1");
  ASSERT_EQ(invocation.uses.size(), 1u);
  // The SATA controller comes before the drive that names the file.
  EXPECT_EQ(invocation.arguments[invocation.uses[0].argument],
            "file=/i/second.iso,if=none,id=drive2,media=cdrom,readonly=on,format=raw");
  EXPECT_NE(Map("nvme0.present = \"TRUE\"\n" + Cd("nvme0:0", "/i/a.iso")).error, "");
}

TEST(Firmware, BootsUefiFromTwoPflashUnits) {
  QemuHostFacts host;
  host.firmwareCode = "/usr/share/OVMF/OVMF_CODE_4M.fd";
  host.firmwareVariables = "/run/m,1-efivars.fd";
  const std::string cd = Cd("ide1:0", "/i/a.iso");
  const QemuInvocation efi = Map("firmware = \"EFI\"\n" + cd, host);
  ASSERT_EQ(efi.error, "");
  EXPECT_EQ(All(efi, "-drive")[0],
            "if=pflash,unit=0,format=raw,readonly=on,file=/usr/share/OVMF/OVMF_CODE_4M.fd");
  EXPECT_EQ(All(efi, "-drive")[1], "if=pflash,unit=1,format=raw,file=/run/m,,1-efivars.fd");
  EXPECT_TRUE(All(efi, "-machine").empty());
  // The variable store is a use of its own, written, named by its argument.
  ASSERT_FALSE(efi.uses.empty());
  EXPECT_EQ(efi.uses[0].kind, FileUseKind::kFirmwareVariables);
  EXPECT_EQ(efi.uses[0].access, FileAccess::kWrite);
  EXPECT_EQ(efi.arguments[efi.uses[0].argument], All(efi, "-drive")[1]);

  const QemuInvocation secure =
      Map("firmware = \"efi\"\nuefi.secureBoot.enabled = \"TRUE\"\n" + cd, host);
  EXPECT_EQ(All(secure, "-machine"), Arguments{"q35,smm=on"});
  EXPECT_EQ(All(secure, "-global"), Arguments{"driver=cfi.pflash01,property=secure,value=on"});
  // q35 has no PIIX IDE: the IDE places become its AHCI ports.
  EXPECT_EQ(All(secure, "-device"), Arguments{"ide-cd,bus=ide.2,drive=drive0,bootindex=1"});

  // OVMF boots SCSI only from virtio-scsi, whatever the adapter.
  const QemuInvocation scsi =
      Map("firmware = \"efi\"\nscsi0.present = \"TRUE\"\n"
          "scsi0.virtualDev = \"lsilogic\"\n" +
              Cd("scsi0:0", "/i/a.iso"),
          host);
  EXPECT_EQ(All(scsi, "-device")[0], "virtio-scsi-pci,id=scsi0");

  // BIOS, the default, adds nothing; UEFI without firmware is refused.
  EXPECT_EQ(All(Map("firmware = \"bios\"\n" + cd, host), "-drive").size(), 1u);
  EXPECT_NE(Map("firmware = \"efi\"\n" + cd).error, "");
}

TEST(Accelerator, ChoosesByTheHostUnlessTheEnvironmentSays) {
  QemuAccelerator chosen = QemuAccelerator::kTcg;
  ASSERT_TRUE(ChooseAccelerator("", true, true, &chosen));
  EXPECT_EQ(chosen, QemuAccelerator::kKvm);
  ASSERT_TRUE(ChooseAccelerator("", false, true, &chosen));
  EXPECT_EQ(chosen, QemuAccelerator::kWhpx);
  ASSERT_TRUE(ChooseAccelerator("", false, false, &chosen));
  EXPECT_EQ(chosen, QemuAccelerator::kTcg);
  ASSERT_TRUE(ChooseAccelerator("TCG", true, false, &chosen));
  EXPECT_EQ(chosen, QemuAccelerator::kTcg);
  ASSERT_TRUE(ChooseAccelerator("kvm", false, false, &chosen));
  EXPECT_EQ(chosen, QemuAccelerator::kKvm);
  EXPECT_FALSE(ChooseAccelerator("hvf", true, true, &chosen));

  // The CPU the guest sees: all that the accelerator gives.
  QemuHostFacts host;
  for (auto [accelerator, cpu] :
       {std::pair{QemuAccelerator::kKvm, "host"}, std::pair{QemuAccelerator::kTcg, "max"},
        std::pair{QemuAccelerator::kWhpx, "max"}}) {
    host.accelerator = accelerator;
    const QemuInvocation invocation = Map(Cd("ide1:0", "/i/a.iso"), host);
    EXPECT_EQ(All(invocation, "-accel"), Arguments{AcceleratorName(accelerator)});
    EXPECT_EQ(All(invocation, "-cpu"), Arguments{cpu});
  }
}

TEST(Accelerator, RetriesWithTcgOnlyAfterAnEarlyFailureOfAnother) {
  EXPECT_TRUE(ShouldRetryWithTcg(QemuAccelerator::kKvm, 1, 0.3));
  EXPECT_TRUE(ShouldRetryWithTcg(QemuAccelerator::kWhpx, 1, 4.9));
  EXPECT_FALSE(ShouldRetryWithTcg(QemuAccelerator::kTcg, 1, 0.3));
  EXPECT_FALSE(ShouldRetryWithTcg(QemuAccelerator::kKvm, 0, 0.3));
  // A guest that ran for a while and failed then is not started twice.
  EXPECT_FALSE(ShouldRetryWithTcg(QemuAccelerator::kKvm, 1, kEarlyFailureSeconds));
}

}  // namespace
