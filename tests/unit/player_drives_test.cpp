#include "player/drives.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "player/accelerator.h"
#include "player/firmware.h"
#include "player_test_support.h"

namespace {

using namespace player_test;

std::string Cd(const std::string& place, const std::string& file) {
  return CdLines(place, file);
}

std::string Disk(const std::string& place, const std::string& file) {
  return DiskLines(place, file);
}

PlayerMade UefiState() {
  return {"/usr/share/OVMF/OVMF_CODE_4M.fd", "/run/m,1-efivars.fd", ""};
}

TEST(Drives, PlacesIdeDrivesAsBlockNodesAndBootsTheCdBeforeTheDisk) {
  const MappedMachine mapped =
      MapVmx(Disk("ide0:0", "disk.vmdk") + Disk("ide0:1", "/d/raw.img") + Cd("ide1:1", "cd.iso") +
             "ide1:0.present = \"TRUE\"\nide1:0.deviceType = \"atapi-cdrom\"\n"
             "ide1:0.fileName = \"auto detect\"\n");
  ASSERT_EQ(mapped.error, "");
  // Each image's nodes come before the device that uses them; a CD is only
  // read, an empty drive gets no file at all.
  const Arguments expected = {
      "-accel",    "tcg",
      "-cpu",      "max",
      "-blockdev", "driver=file,node-name=drive0-file,filename=/run/disk.vmdk",
      "-blockdev", "driver=raw,node-name=drive0,file=drive0-file",
      "-device",   "ide-hd,bus=ide.0,unit=0,drive=drive0,bootindex=2",
      "-blockdev", "driver=file,node-name=drive1-file,filename=/d/raw.img",
      "-blockdev", "driver=raw,node-name=drive1,file=drive1-file",
      "-device",   "ide-hd,bus=ide.0,unit=1,drive=drive1",
      "-drive",    "if=none,id=drive2,media=cdrom,readonly=on",
      "-device",   "ide-cd,bus=ide.1,unit=0,drive=drive2",
      "-blockdev", "driver=file,node-name=drive3-file,filename=/run/cd.iso,read-only=on",
      "-blockdev", "driver=raw,node-name=drive3,file=drive3-file,read-only=on",
      "-device",   "ide-cd,bus=ide.1,unit=1,drive=drive3,bootindex=1",
      "-name",     std::string("guest=cd.iso") + kTitleDash + "Software-Emulation",
      "-nic",      "none"};
  EXPECT_EQ(mapped.arguments, expected);
  const std::vector<FileUse> uses = {
      {"/run/disk.vmdk", FileAccess::kWrite, FileUseKind::kDiskImage, "drive0"},
      {"/d/raw.img", FileAccess::kWrite, FileUseKind::kDiskImage, "drive1"},
      {"/run/cd.iso", FileAccess::kRead, FileUseKind::kCdImage, "drive3"}};
  EXPECT_EQ(mapped.uses, uses);
  // The nodes of each drive are those of its own use.
  std::vector<std::string> nodes;
  for (const QemuArgument& argument : mapped.invocation.arguments) {
    if (argument.kind != QemuArgument::Kind::kBlockNodes) continue;
    ASSERT_LT(argument.use, uses.size());
    EXPECT_EQ(argument.text, uses[argument.use].feeds);
    EXPECT_EQ(argument.readOnly, uses[argument.use].kind == FileUseKind::kCdImage);
    nodes.push_back(argument.text);
  }
  EXPECT_EQ(nodes, (std::vector<std::string>{"drive0", "drive1", "drive3"}));
  EXPECT_EQ(mapped.machine.bootCdUse, 2u);
  EXPECT_EQ(mapped.machine.bootCdName, "cd.iso");
  EXPECT_FALSE(Contains(mapped.arguments, "-boot"));  // bootindex decides
}

TEST(Drives, PlacesSataScsiAndNvmeDrivesOnTheirControllers) {
  const MappedMachine mapped = MapVmx(
      "sata0.present = \"TRUE\"\n" + Cd("sata0:1", "/i/a.iso") + Disk("sata0:7", "/i/s.qcow2") +
      "scsi0.present = \"TRUE\"\nscsi0.virtualDev = \"pvscsi\"\n" + Disk("scsi0:3", "/i/x.img") +
      "scsi1.present = \"TRUE\"\n" + Cd("scsi1:0", "/i/b.iso") + "nvme0.present = \"TRUE\"\n" +
      Disk("nvme0:2", "/i/n.img"));
  ASSERT_EQ(mapped.error, "");
  EXPECT_EQ(ValuesOf(mapped.arguments, "-device"),
            (Arguments{"ahci,id=sata0", "ide-cd,bus=sata0.1,drive=drive0,bootindex=1",
                       "ahci,id=sata0-1", "ide-hd,bus=sata0-1.1,drive=drive1,bootindex=2",
                       "pvscsi,id=scsi0", "scsi-hd,bus=scsi0.0,scsi-id=3,drive=drive2",
                       "lsi53c895a,id=scsi1", "scsi-cd,bus=scsi1.0,scsi-id=0,drive=drive3",
                       "nvme,serial=nvme0-2,drive=drive4"}));
  EXPECT_EQ(ValuesOf(mapped.arguments, "-blockdev").size(), 10u);
  // Alone on SATA, a CD boots; IDE beside it no longer hides it.
  const MappedMachine both =
      MapVmx(Disk("ide0:0", "/i/d.img") + "sata0.present = \"TRUE\"\n" + Cd("sata0:1", "/i/a.iso"));
  EXPECT_EQ(ValuesOf(both.arguments, "-device"),
            (Arguments{"ide-hd,bus=ide.0,unit=0,drive=drive0,bootindex=2", "ahci,id=sata0",
                       "ide-cd,bus=sata0.1,drive=drive1,bootindex=1"}));
}

TEST(Drives, HonoursTheControllersPresentAsVmwareDoes) {
  for (const char* controller : {"sata0", "scsi0", "nvme0"}) {
    const std::string drive = std::string(controller) + ":0";
    const std::string text =
        std::string(controller) == "nvme0" ? Disk(drive, "/i/d.img") : Cd(drive, "/i/a.iso");
    EXPECT_NE(MapVmx(text).error.find("kein Startmedium"), std::string::npos) << controller;
    EXPECT_NE(MapVmx(std::string(controller) + ".present = \"FALSE\"\n" + text).error, "");
    EXPECT_EQ(MapVmx(std::string(controller) + ".present = \"TRUE\"\n" + text).error, "");
  }
}

TEST(Drives, MapsVmwareScsiAdaptersToTheNearestQemuOne) {
  EXPECT_EQ(ScsiControllerModel("lsilogic"), "lsi53c895a");
  EXPECT_EQ(ScsiControllerModel(""), "lsi53c895a");
  EXPECT_EQ(ScsiControllerModel("BusLogic"), "lsi53c895a");
  EXPECT_EQ(ScsiControllerModel("PVSCSI"), "pvscsi");
  // The SAS adapter whose disks Linux and Windows see with their own drivers.
  EXPECT_EQ(ScsiControllerModel("lsisas1068"), "megasas");
}

// Every unit VMware allows on SCSI gets a place QEMU accepts and the
// firmware boots from: on the LSI parallel adapter targets 0 to 6 only
// (SeaBIOS scans no further), on the others the unit's own number.
TEST(Drives, PlacesEveryVmwareScsiUnitWhereTheFirmwareBootsFromIt) {
  {
    const char* model = "lsi53c895a";
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
  for (const char* model : {"pvscsi", "megasas", "virtio-scsi-pci"}) {
    EXPECT_EQ(PlaceOnScsi(model, 15), (ScsiPlace{0, 15}));
  }

  // The further adapter is of the same model and comes before its drive.
  const std::string scsi = "scsi0.present = \"TRUE\"\n";
  EXPECT_EQ(
      ValuesOf(MapVmx(scsi + Cd("scsi0:8", "/i/a.iso") + Disk("scsi0:15", "/i/d.img")).arguments,
               "-device"),
      (Arguments{
          "lsi53c895a,id=scsi0-1", "scsi-cd,bus=scsi0-1.0,scsi-id=0,drive=drive0,bootindex=1",
          "lsi53c895a,id=scsi0-2", "scsi-hd,bus=scsi0-2.0,scsi-id=0,drive=drive1,bootindex=2"}));
  EXPECT_EQ(
      ValuesOf(MapVmx(scsi + "scsi0.virtualDev = \"lsisas1068\"\n" + Cd("scsi0:9", "/i/a.iso"))
                   .arguments,
               "-device"),
      (Arguments{"megasas,id=scsi0", "scsi-cd,bus=scsi0.0,scsi-id=9,drive=drive0,bootindex=1"}));
  EXPECT_EQ(
      ValuesOf(
          MapVmx(scsi + "scsi0.virtualDev = \"pvscsi\"\n" + Cd("scsi0:15", "/i/a.iso")).arguments,
          "-device"),
      (Arguments{"pvscsi,id=scsi0", "scsi-cd,bus=scsi0.0,scsi-id=15,drive=drive0,bootindex=1"}));
  EXPECT_EQ(ValuesOf(MapVmx("firmware = \"efi\"\n" + scsi + Cd("scsi0:15", "/i/a.iso"), TestHost(),
                            UefiState())
                         .arguments,
                     "-device"),
            (Arguments{"virtio-scsi-pci,id=scsi0",
                       "scsi-cd,bus=scsi0.0,scsi-id=15,drive=drive0,bootindex=1"}));

  // Unit 7 is the adapter's own: VMware refuses the machine, and so do we.
  const MappedMachine seven =
      MapVmx(scsi + Cd("scsi0:0", "/i/a.iso") + Disk("scsi0:7", "/i/d.img"));
  EXPECT_NE(seven.error.find("'scsi0:7.present'"), std::string::npos) << seven.error;
  EXPECT_TRUE(seven.machine.drives.empty());
  EXPECT_TRUE(seven.machine.uses.empty());
}

TEST(Drives, KnowsVmwaresDeviceTypesAndRefusesOthers) {
  const std::string ide = "ide0:0.present = \"TRUE\"\nide0:0.fileName = \"/i/d.vmdk\"\n";
  for (const char* disk : {"disk", "ata-hardDisk", "SCSI-HARDDISK"}) {
    const MappedMachine mapped = MapVmx(ide + "ide0:0.deviceType = \"" + disk + "\"\n");
    ASSERT_EQ(mapped.error, "") << disk;
    EXPECT_EQ(ValuesOf(mapped.arguments, "-device"),
              Arguments{"ide-hd,bus=ide.0,unit=0,drive=drive0,bootindex=2"})
        << disk;
    ASSERT_EQ(mapped.uses.size(), 1u) << disk;
    EXPECT_EQ(mapped.uses[0].path, "/i/d.vmdk");
    EXPECT_EQ(mapped.uses[0].kind, FileUseKind::kDiskImage);
    EXPECT_EQ(mapped.uses[0].access, FileAccess::kWrite);
  }
  // The host's drive: an empty CD drive, its file never opened.
  const MappedMachine raw =
      MapVmx(Cd("ide1:0", "/i/a.iso") + ide + "ide0:0.deviceType = \"atapi-cdrom\"\n");
  EXPECT_EQ(ValuesOf(raw.arguments, "-drive"),
            Arguments{"if=none,id=drive0,media=cdrom,readonly=on"});
  ASSERT_EQ(raw.uses.size(), 1u);
  EXPECT_EQ(raw.uses[0].path, "/i/a.iso");

  for (const char* unknown : {"floppy", "cdrom", "hardDisk "}) {
    const MappedMachine mapped =
        MapVmx(Cd("ide1:0", "/i/a.iso") + ide + "ide0:0.deviceType = \"" + unknown + "\"\n");
    EXPECT_NE(mapped.error.find("ide0:0.deviceType = \"" + std::string(unknown) + "\""),
              std::string::npos)
        << mapped.error;
    EXPECT_TRUE(mapped.machine.uses.empty());
  }
}

TEST(Drives, KeepsUnconnectedAndRawCdDrivesEmpty) {
  const MappedMachine mapped = MapVmx(
      Cd("ide0:0", "/i/first.iso") + "ide0:0.startConnected = \"FALSE\"\n" + "sata0.present = " +
      "\"TRUE\"\nsata0:0.present = \"TRUE\"\nsata0:0.deviceType = \"cdrom-raw\"\n" +
      "sata0:0.fileName = \"/dev/sr0\"\n" + Cd("sata0:2", "/i/second.iso") +
      Disk("ide1:0", "/i/off.img") + "ide1:0.startConnected = \"FALSE\"\n");
  ASSERT_EQ(mapped.error, "");
  EXPECT_EQ(ValuesOf(mapped.arguments, "-drive"),
            (Arguments{"if=none,id=drive0,media=cdrom,readonly=on",
                       "if=none,id=drive1,media=cdrom,readonly=on"}));
  EXPECT_EQ(ValuesOf(mapped.arguments, "-blockdev"),
            (Arguments{"driver=file,node-name=drive2-file,filename=/i/second.iso,read-only=on",
                       "driver=raw,node-name=drive2,file=drive2-file,read-only=on"}));
  // The first connected image boots, wherever it sits.
  EXPECT_EQ(ValuesOf(mapped.arguments, "-device").back(),
            "ide-cd,bus=sata0.2,drive=drive2,bootindex=1");
  ASSERT_EQ(mapped.uses.size(), 1u);
  EXPECT_EQ(mapped.uses[0].path, "/i/second.iso");
  EXPECT_EQ(mapped.machine.bootCdUse, 0u);
  EXPECT_NE(MapVmx("nvme0.present = \"TRUE\"\n" + Cd("nvme0:0", "/i/a.iso")).error, "");
}

TEST(Firmware, BootsUefiFromTwoPflashUnits) {
  const std::string cd = Cd("ide1:0", "/i/a.iso");
  const MappedMachine efi = MapVmx("firmware = \"EFI\"\n" + cd, TestHost(), UefiState());
  ASSERT_EQ(efi.error, "");
  EXPECT_EQ(
      ValuesOf(efi.arguments, "-drive"),
      (Arguments{"if=pflash,unit=0,format=raw,readonly=on,file=/usr/share/OVMF/OVMF_CODE_4M.fd",
                 "if=pflash,unit=1,format=raw,file=/run/m,,1-efivars.fd"}));
  EXPECT_FALSE(Contains(efi.arguments, "-machine"));
  // The variable store is a use of its own after the machine's, written,
  // and the pflash unit names that use.
  ASSERT_EQ(efi.uses.size(), 2u);
  const FileUse store = {"/run/m,1-efivars.fd", FileAccess::kWrite, FileUseKind::kFirmwareVariables,
                         "pflash1"};
  EXPECT_EQ(efi.uses[1], store);

  const MappedMachine secure = MapVmx(
      "firmware = \"efi\"\nuefi.secureBoot.enabled = \"TRUE\"\n" + cd, TestHost(), UefiState());
  EXPECT_EQ(ValuesOf(secure.arguments, "-machine"), Arguments{"q35,smm=on"});
  EXPECT_EQ(ValuesOf(secure.arguments, "-global"),
            Arguments{"driver=cfi.pflash01,property=secure,value=on"});
  // q35 has no PIIX IDE: the IDE places become its AHCI ports.
  EXPECT_EQ(ValuesOf(secure.arguments, "-device"),
            Arguments{"ide-cd,bus=ide.2,drive=drive0,bootindex=1"});

  // OVMF boots SCSI only from virtio-scsi, whatever the adapter.
  const MappedMachine scsi =
      MapVmx("firmware = \"efi\"\nscsi0.present = \"TRUE\"\nscsi0.virtualDev = \"lsilogic\"\n" +
                 Cd("scsi0:0", "/i/a.iso"),
             TestHost(), UefiState());
  EXPECT_EQ(ValuesOf(scsi.arguments, "-device")[0], "virtio-scsi-pci,id=scsi0");

  // BIOS, the default, adds nothing.
  const MappedMachine bios = MapVmx("firmware = \"bios\"\n" + cd, TestHost(), UefiState());
  EXPECT_TRUE(ValuesOf(bios.arguments, "-drive").empty());
  EXPECT_EQ(bios.uses.size(), 1u);
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
  HostFacts host = TestHost();
  for (auto [accelerator, cpu] :
       {std::pair{QemuAccelerator::kKvm, "host"}, std::pair{QemuAccelerator::kTcg, "max"},
        std::pair{QemuAccelerator::kWhpx, "max"}}) {
    host.accelerator = accelerator;
    const MappedMachine mapped = MapVmx(Cd("ide1:0", "/i/a.iso"), host);
    EXPECT_EQ(ValuesOf(mapped.arguments, "-accel"), Arguments{AcceleratorName(accelerator)});
    EXPECT_EQ(ValuesOf(mapped.arguments, "-cpu"), Arguments{cpu});
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
