#include "player/appliance.h"

#include <gtest/gtest.h>

#include <string>

#include "player/host/file_digest.h"
#include "player/qemu_command.h"
#include "scripted_machine_files.h"
#include "tar_builder.h"

namespace {

using player_test::Archive;
using player_test::ScriptedFiles;

const std::string kEnvelope = R"(<?xml version="1.0" encoding="UTF-8"?>
<Envelope xmlns="http://schemas.dmtf.org/ovf/envelope/1"
    xmlns:ovf="http://schemas.dmtf.org/ovf/envelope/1"
    xmlns:rasd="http://schemas.dmtf.org/wbem/wscim/1/cim-schema/2/CIM_ResourceAllocationSettingData"
    xmlns:vmw="http://www.vmware.com/schema/ovf">
  <References>
    <File ovf:href="m-disk1.vmdk" ovf:id="file1"/>
    <File ovf:href="tools.iso" ovf:id="file2"/>
  </References>
  <DiskSection><Disk ovf:diskId="vmdisk1" ovf:fileRef="file1" ovf:capacity="1"/></DiskSection>
  <VirtualSystem ovf:id="m">
    <Name>M&#xE4;schine</Name>
    <VirtualHardwareSection>
      <Item><rasd:InstanceID>1</rasd:InstanceID><rasd:ResourceType>3</rasd:ResourceType>
        <rasd:VirtualQuantity>2</rasd:VirtualQuantity></Item>
      <Item><rasd:AllocationUnits>byte * 2^20</rasd:AllocationUnits>
        <rasd:InstanceID>2</rasd:InstanceID><rasd:ResourceType>4</rasd:ResourceType>
        <rasd:VirtualQuantity>1536</rasd:VirtualQuantity></Item>
      <Item><rasd:InstanceID>3</rasd:InstanceID><rasd:ResourceSubType>lsilogicsas</rasd:ResourceSubType>
        <rasd:ResourceType>6</rasd:ResourceType></Item>
      <Item><rasd:Address>1</rasd:Address><rasd:InstanceID>4</rasd:InstanceID>
        <rasd:ResourceType>5</rasd:ResourceType></Item>
      <Item><rasd:AddressOnParent>0</rasd:AddressOnParent>
        <rasd:HostResource>ovf:/disk/vmdisk1</rasd:HostResource><rasd:InstanceID>5</rasd:InstanceID>
        <rasd:Parent>3</rasd:Parent><rasd:ResourceType>17</rasd:ResourceType></Item>
      <Item><rasd:AddressOnParent>0</rasd:AddressOnParent>
        <rasd:HostResource>ovf:/file/file2</rasd:HostResource><rasd:InstanceID>6</rasd:InstanceID>
        <rasd:Parent>4</rasd:Parent><rasd:ResourceType>15</rasd:ResourceType></Item>
      <Item><rasd:InstanceID>7</rasd:InstanceID><rasd:ResourceSubType>E1000e</rasd:ResourceSubType>
        <rasd:ResourceType>10</rasd:ResourceType></Item>
      <vmw:Config ovf:required="false" vmw:key="firmware" vmw:value="efi"/>
    </VirtualHardwareSection>
  </VirtualSystem>
</Envelope>
)";

// The same machine as VMware's own .vmx would hold it.
const std::string kSameVmx =
    "displayName = \"M\xC3\xA4schine\"\n.encoding = \"UTF-8\"\nnumvcpus = \"2\"\n"
    "memsize = \"1536\"\nfirmware = \"efi\"\n"
    "scsi0.present = \"TRUE\"\nscsi0.virtualDev = \"lsisas1068\"\n"
    "scsi0:0.present = \"TRUE\"\nscsi0:0.deviceType = \"disk\"\n"
    "scsi0:0.fileName = \"m-disk1.vmdk\"\n"
    "ide1:0.present = \"TRUE\"\nide1:0.deviceType = \"cdrom-image\"\n"
    "ide1:0.fileName = \"tools.iso\"\n"
    "ethernet0.present = \"TRUE\"\nethernet0.virtualDev = \"e1000e\"\n"
    "ethernet0.connectionType = \"nat\"\n";

const std::string kDisk = "KDMV" + std::string(3000, 'd');
const std::string kIso = std::string(4096, 'i');

std::string Sha256(const std::string& bytes) {
  FileDigest digest(DigestKind::kSha256);
  digest.Add(bytes);
  return digest.Finish();
}

std::string Sha1(const std::string& bytes) {
  FileDigest digest(DigestKind::kSha1);
  digest.Add(bytes);
  return digest.Finish();
}

// VMware's manifest of the three files.
std::string ManifestOf(const std::string& envelope, const std::string& disk) {
  return "SHA256(m.ovf)= " + Sha256(envelope) + "\nSHA1(m-disk1.vmdk)= " + Sha1(disk) +
         "\r\nSHA256(tools.iso)= " + Sha256(kIso) + "\n";
}

// An .ova as VMware's export lays it out: the envelope first, then the
// files, then the manifest.
std::string Ova(const std::string& manifest, const std::string& disk = kDisk) {
  Archive archive;
  archive.Member("m.ovf", kEnvelope).Member("m-disk1.vmdk", disk).Member("tools.iso", kIso);
  if (!manifest.empty()) archive.Member("m.mf", manifest);
  archive.End();
  return archive.bytes();
}

ApplianceMachine ReadOva(const std::string& bytes) {
  ScriptedFiles files;
  files.Put("/apps/m.ova", bytes);
  return ReadAppliance("/apps/m.ova", OpenedKind::kApplianceArchive, files, '/');
}

// The machine's use of that kind (one each here).
const FileUse& UseOf(const MachineDescription& machine, FileUseKind kind) {
  for (const FileUse& use : machine.uses) {
    if (use.kind == kind) return use;
  }
  static const FileUse kNone;
  ADD_FAILURE() << "no such use";
  return kNone;
}

bool Names(const std::string& error, const std::string& what) {
  return error.find(what) != std::string::npos;
}

TEST(Appliance, TellsWhatAFileIsByItsContent) {
  std::string iso(kContentProbeBytes, '\0');
  iso.replace(32768, 6,
              "\x01"
              "CD001");
  EXPECT_EQ(KindOfContent(iso), OpenedKind::kCdImage);
  std::string udf(kContentProbeBytes, '\0');
  udf.replace(32768, 6, "\0BEA01", 6);
  EXPECT_EQ(KindOfContent(udf), OpenedKind::kCdImage);
  EXPECT_EQ(KindOfContent(Ova("")), OpenedKind::kApplianceArchive);
  EXPECT_EQ(KindOfContent(kEnvelope), OpenedKind::kApplianceEnvelope);
  EXPECT_EQ(KindOfContent("\xEF\xBB\xBF\n  <ovf:Envelope xmlns:ovf='x'/>"),
            OpenedKind::kApplianceEnvelope);
  // A disk, a .vmx, an HTML page, a short file, an ISO cut before its
  // descriptors: nothing the player opens.
  std::string mbr(kContentProbeBytes, '\0');
  mbr.replace(510, 2, "\x55\xAA");
  for (const std::string& other :
       {kDisk, mbr, std::string("displayName = \"x\"\n"), std::string("<html><body/></html>"),
        std::string("x"), iso.substr(0, 32770), std::string("text <Envelope/>")}) {
    EXPECT_EQ(KindOfContent(other), OpenedKind::kUnknown) << other.substr(0, 20);
  }
}

TEST(Appliance, DescribesTheMachineTheSameVmxDescribes) {
  const OvfEnvelope envelope = ReadOvfEnvelope(kEnvelope);
  ASSERT_EQ(envelope.fault, OvfFault::kNone);
  VmxConfig fromEnvelope = ApplianceSettings(envelope);
  VmxConfig fromVmx = ParseVmxText(kSameVmx);
  ASSERT_EQ(ConvertVmxToSystemEncoding(fromEnvelope), "");
  ASSERT_EQ(ConvertVmxToSystemEncoding(fromVmx), "");
  const MachineDescription appliance = DescribeMachine(fromEnvelope, "/apps/", '/');
  const MachineDescription vmx = DescribeMachine(fromVmx, "/apps/", '/');
  ASSERT_EQ(appliance.error, "");
  EXPECT_EQ(appliance.displayName, vmx.displayName);
  EXPECT_EQ(appliance.memoryMegabytes, 1536);
  EXPECT_EQ(appliance.memoryMegabytes, vmx.memoryMegabytes);
  EXPECT_EQ(appliance.processors, vmx.processors);
  EXPECT_TRUE(appliance.uefiRequested);
  EXPECT_EQ(appliance.drives, vmx.drives);
  EXPECT_EQ(appliance.uses, vmx.uses);
  EXPECT_EQ(appliance.networkCards, vmx.networkCards);
  EXPECT_EQ(appliance.bootCdUse, vmx.bootCdUse);
}

TEST(Appliance, ReadsAnOvasDisksWhereTheyLieAndThrowsTheirWritesAway) {
  const std::string ova = Ova(ManifestOf(kEnvelope, kDisk));
  const ApplianceMachine read = ReadOva(ova);
  ASSERT_EQ(read.error, "");
  ASSERT_EQ(read.machine.uses.size(), 2u);
  const FileUse& disk = UseOf(read.machine, FileUseKind::kDiskImage);
  EXPECT_EQ(disk.path, "/apps/m.ova");
  EXPECT_TRUE(disk.throwAwayWrites);
  EXPECT_TRUE(disk.selfContained);
  EXPECT_EQ(disk.sliceSize, kDisk.size());
  EXPECT_TRUE(ova.compare(disk.sliceOffset, disk.sliceSize, kDisk) == 0);
  const FileUse& cd = UseOf(read.machine, FileUseKind::kCdImage);
  EXPECT_EQ(cd.path, "/apps/m.ova");
  EXPECT_FALSE(cd.throwAwayWrites);
  EXPECT_TRUE(ova.compare(cd.sliceOffset, cd.sliceSize, kIso) == 0);
  // Without a manifest there is nothing to check.
  EXPECT_EQ(ReadOva(Ova("")).error, "");
}

TEST(Appliance, RefusesAnOvaWhoseManifestDoesNotMatch) {
  std::string changed = kDisk;
  changed[2000] = 'X';
  const ApplianceMachine altered = ReadOva(Ova(ManifestOf(kEnvelope, kDisk), changed));
  EXPECT_TRUE(Names(altered.error, "m.ova")) << altered.error;
  EXPECT_TRUE(Names(altered.error, "m-disk1.vmdk")) << altered.error;
  EXPECT_TRUE(altered.machine.uses.empty());

  // A manifest that leaves the disk out checks nothing of it.
  const std::string withoutDisk = "SHA256(m.ovf)= " + Sha256(kEnvelope) + "\n";
  EXPECT_TRUE(Names(ReadOva(Ova(withoutDisk)).error, "m-disk1.vmdk"));
  // One that names a file the archive lacks, or cannot be read.
  EXPECT_TRUE(Names(
      ReadOva(Ova(ManifestOf(kEnvelope, kDisk) + "SHA1(gone.vmdk)= " + Sha1("") + "\n")).error,
      "gone.vmdk"));
  EXPECT_TRUE(Names(ReadOva(Ova(ManifestOf(kEnvelope, kDisk) + "MD5(x)= 00\n")).error, "m.mf"));
}

TEST(Appliance, RefusesBrokenAndHostileOvasNamingThem) {
  Archive diskFirst;
  diskFirst.Member("m-disk1.vmdk", kDisk).Member("m.ovf", kEnvelope).End();
  Archive noDisk;
  noDisk.Member("m.ovf", kEnvelope).Member("tools.iso", kIso).End();
  Archive escaping;
  escaping.Member("m.ovf", kEnvelope).Member("../m-disk1.vmdk", kDisk).End();
  Archive entities;
  entities.Member("m.ovf", "<!DOCTYPE r [<!ENTITY a 'a'>]><r>&a;</r>").End();
  for (const Archive* archive : {&diskFirst, &noDisk, &escaping, &entities}) {
    const ApplianceMachine read = ReadOva(archive->bytes());
    EXPECT_TRUE(Names(read.error, "'/apps/m.ova'")) << read.error;
    EXPECT_TRUE(read.machine.uses.empty());
  }
  EXPECT_TRUE(Names(ReadOva(noDisk.bytes()).error, "m-disk1.vmdk"));
  EXPECT_TRUE(Names(ReadOva(escaping.bytes()).error, "../m-disk1.vmdk"));
}

TEST(Appliance, ReadsAnOvfsFilesBesideItAndChecksThemAgainstItsManifest) {
  ScriptedFiles files;
  files.Put("/apps/m.ovf", kEnvelope);
  files.Put("/apps/m-disk1.vmdk", kDisk);
  files.Put("/apps/tools.iso", kIso);
  const ApplianceMachine plain =
      ReadAppliance("/apps/m.ovf", OpenedKind::kApplianceEnvelope, files, '/');
  ASSERT_EQ(plain.error, "");
  ASSERT_EQ(plain.machine.uses.size(), 2u);
  const FileUse& disk = UseOf(plain.machine, FileUseKind::kDiskImage);
  EXPECT_EQ(disk.path, "/apps/m-disk1.vmdk");
  EXPECT_TRUE(disk.throwAwayWrites);
  EXPECT_EQ(disk.sliceSize, 0u);
  EXPECT_EQ(UseOf(plain.machine, FileUseKind::kCdImage).path, "/apps/tools.iso");

  files.Put("/apps/m.mf", ManifestOf(kEnvelope, kDisk));
  EXPECT_EQ(ReadAppliance("/apps/m.ovf", OpenedKind::kApplianceEnvelope, files, '/').error, "");
  files.Put("/apps/tools.iso", kIso + "more");
  const ApplianceMachine altered =
      ReadAppliance("/apps/m.ovf", OpenedKind::kApplianceEnvelope, files, '/');
  EXPECT_TRUE(Names(altered.error, "tools.iso")) << altered.error;
}

}  // namespace
