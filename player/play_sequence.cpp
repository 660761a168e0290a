#include "player/play_sequence.h"

#include <cstdint>
#include <vector>

#include "platform/path_names.h"
#include "platform/shown_text.h"
#include "platform/trennwick_run.h"
#include "player/accelerator.h"
#include "player/block_renderer.h"
#include "player/firmware.h"
#include "player/host/machine_lock.h"
#include "player/nat_service.h"
#include "player/network.h"
#include "player/qemu_command.h"
#include "player/tpm.h"
#include "player/tpm_companion.h"
#include "player/vmx_config.h"
#include "player/vmx_vmware_state.h"

namespace {

constexpr char kAcceleratorVariable[] = "TRENNWICK_PLAYER_ACCEL";
constexpr char kQemuProgram[] = "qemu-system-x86_64";
// How often files named further down an image may be asked about: one
// question per level of a chain at most.
constexpr int kMaximumQuestions = 17;

// An own text with a file name in quotes, then the rest of the own text.
std::string WithName(const char* before, const std::string& name, const char* after = "'.") {
  return ShownText(before) + ShownFileName(name) + ShownText(after);
}

// The programs beside QEMU, started before each run and stopped after it.
struct Companions {
  TpmCompanion tpm;
  NatService nat;
};

// One run of PlayMachine: what its steps share.
class MachineRun {
 public:
  MachineRun(const PlayRequest& request, PlayerServices& services)
      : request_(request), vmxFile_(request.vmxFile), services_(services) {}

  int Run() {
    VmxConfig config;
    int code = 0;
    if (request_.appliance == nullptr) {
      if (!ReadConfiguration(&config, &code)) return code;
      if (!AcceptVmwareState(ReadVmwareState(config), &code)) return code;
    }
    if (!LookAtHost(&code)) return code;
    // The one place the .vmx's folder is taken: with the system's own
    // separators, so that '|' or '\\' in a Linux folder's name is a name.
    vmxFolder_ = FolderOfPath(vmxFile_, host_.separator);
    const MachineDescription machine = request_.appliance != nullptr
                                           ? *request_.appliance
                                           : DescribeMachine(config, vmxFolder_, host_.separator);
    if (!machine.error.empty()) return FailInConfiguration(machine.error);
    MachineFilePlan plan(Place(), services_.MachineFiles());
    if (!PlanFiles(machine, &plan, &code)) return code;
    MachineLock lock;
    if (!TakeLock(&lock, &code)) return code;
    MachineFacts facts = WorkOutMachineFacts(
        machine, host_,
        ReadBootMedium(machine, [&](std::size_t use) { return MediumReader(plan, use); }));
    FileHandOver handOver(plan);
    BlockRenderer renderer(plan, handOver);
    facts.writesDiscarded = renderer.DiscardsWrites();
    TellFacts(facts);
    Companions companions;
    MachineState state;
    if (!MakeMachineState(machine, facts, &plan, &companions, &state, &code)) return code;
    if (!OpenFiles(renderer, &handOver, &code)) return code;
    if (!WritePlayerImages(plan, &renderer, &handOver, &code)) return code;
    ProgramEnd end;
    if (!RunQemu(machine, facts, state, handOver, renderer, companions, &end, &code)) return code;
    lock.Release();
    return Report(end);
  }

 private:
  int Fail(const std::string& shown, int exitCode) {
    Tell(services_, kErrorTitle, shown, true);
    return exitCode;
  }

  int FailInConfiguration(const std::string& ownText) {
    return Fail(ShownText(ownText) + "\r(" + ShownFileName(vmxFile_) + ")", kExitConfiguration);
  }

  bool ReadConfiguration(VmxConfig* config, int* code) {
    switch (ReadVmxFile(vmxFile_, *config)) {
      case VmxReadResult::kRead:
        break;
      case VmxReadResult::kNotAFile:
        *code = Fail(WithName("Die Konfiguration ist keine gew\xF6hnliche Datei: '", vmxFile_),
                     kExitConfiguration);
        return false;
      case VmxReadResult::kTooLarge:
        *code = Fail(WithName("Die Konfiguration ist gr\xF6\xDF"
                              "er als 1 MiB und wird nicht gelesen: '",
                              vmxFile_),
                     kExitConfiguration);
        return false;
      case VmxReadResult::kCannotOpen:
      case VmxReadResult::kReadFailed:
        *code =
            Fail(WithName("Kann die Konfiguration nicht lesen: '", vmxFile_), kExitConfiguration);
        return false;
    }
    const std::string unconverted = ConvertVmxToSystemEncoding(*config);
    if (!unconverted.empty()) {
      *code = FailInConfiguration(unconverted);
      return false;
    }
    if (config->settings.empty()) {
      *code = Fail(WithName("Die Konfiguration ist leer: '", vmxFile_), kExitConfiguration);
      return false;
    }
    return true;
  }

  // Before anything is looked at or made: a machine VMware encrypted is
  // refused, and one it suspended starts fresh only where the user agrees.
  // Its .vmss and .vmem are never named to the plan, so nothing opens them.
  bool AcceptVmwareState(const VmwareState& state, int* code) {
    if (!state.encryptionKey.empty()) {
      *code = FailInConfiguration("Die Maschine ist mit VMware verschl\xFCsselt (" +
                                  state.encryptionKey +
                                  "): ihre Festplatten lassen sich ohne VMware nicht lesen. "
                                  "Nichts gestartet.");
      return false;
    }
    if (state.suspendedState.empty()) return true;
    const std::string question = WithName(
        "VMware hat diese Maschine angehalten; ihr Zustand liegt in '", state.suspendedState,
        "'. Der Player kann sie dort nicht fortsetzen.\r\rWird sie neu gestartet, "
        "geht verloren, was beim Anhalten in ihr lief (offene Programme, nicht "
        "gespeicherte Daten), und VMware kann den angehaltenen Zustand danach nicht "
        "mehr sicher fortsetzen. Die Zustandsdateien bleiben unber\xFChrt.\r\r"
        "Die Maschine neu starten?");
    if (UserSaysYes(services_, question)) return true;
    *code = 0;
    return false;
  }

  bool LookAtHost(int* code) {
    look_ = services_.LookAtHost();
    if (!look_.kvm.refusal.empty()) TellKvmRefusal();
    const WorkedOutHost host = WorkOutHostFacts(look_);
    switch (host.refusal) {
      case HostRefusal::kUnknownAccelerator:
        *code = Fail(ShownText("Unbekannter Wert von " + std::string(kAcceleratorVariable) + ": '" +
                               look_.acceleratorOverride + "' (erlaubt: kvm, tcg, whpx)."),
                     kExitUsage);
        return false;
      case HostRefusal::kNoQemu:
        *code = Fail(QemuMissing(), kExitNoQemu);
        return false;
      case HostRefusal::kNone:
        break;
    }
    host_ = host.facts;
    return true;
  }

  // The machine still runs, in software emulation; the user learns why and
  // what helps. The system's reason is a display text already.
  void TellKvmRefusal() {
    std::string text = ShownText(
                           "KVM ist vorhanden, aber /dev/kvm l\xE4sst sich nicht \xF6"
                           "ffnen: ") +
                       look_.kvm.refusal +
                       ShownText(
                           ". Die Maschine l\xE4uft deshalb in Software-Emulation, um ein "
                           "Vielfaches langsamer.");
    if (look_.kvm.permissionDenied) {
      text += ShownText(
          " Abhilfe: Mitglied der Gruppe \"kvm\" werden, z. B. mit \"sudo adduser "
          "$USER kvm\", und danach neu anmelden.");
    }
    Tell(services_, kNoticeTitle, text, false);
  }

  // Where QEMU was looked for and where it comes from.
  std::string QemuMissing() const {
    std::string text = ShownText("QEMU (" + std::string(kQemuProgram) +
                                 ") wurde nicht gefunden. Gesucht: neben diesem Programm ('") +
                       ShownFileName(look_.ownDirectory) + ShownText("'), im Suchpfad (PATH)");
    for (const std::string& directory : look_.qemuInstallDirectories) {
      text += ShownText(", in '") + ShownFileName(directory) + "'";
    }
    return text + ShownText(".\r" + look_.qemuAdvice);
  }

  MachinePlace Place() const {
    MachinePlace place;
    place.vmxFile = vmxFile_;
    place.temporaryRoot = look_.temporaryRoot;
    place.temporaryFolders = look_.temporaryFolders;
    place.separator = host_.separator;
    place.userFolders = look_.userFolders;
    // A download cannot make the launcher its parent; the name and the
    // folder's owner and rights come on top, as the launcher makes them.
    place.trennwickRun =
        request_.madeByPlayer ||
        (look_.launcherIsParent &&
         NamedLikeTrennwickRun(vmxFile_, look_.temporaryRoot, host_.separator) &&
         services_.MachineFiles().PrivateToUser(vmxFolder_.substr(0, vmxFolder_.size() - 1)));
    return place;
  }

  bool PlanFiles(const MachineDescription& machine, MachineFilePlan* plan, int* code) {
    plan->Decide(machine.uses);
    for (int asked = 0; plan->AsksUser() && plan->refusal().empty(); ++asked) {
      if (asked == kMaximumQuestions || !UserAllowsOutsideFiles(*plan)) {
        *code = 0;
        return false;
      }
      plan->Agree();
    }
    return AcceptedByPlan(*plan, code);
  }

  // The plan refuses a file when the machine is planned and, once more,
  // when the player adds its own (a UEFI store that is also the machine's
  // CD); both say so the same way.
  bool AcceptedByPlan(const MachineFilePlan& plan, int* code) {
    if (plan.refusal().empty()) return true;
    *code = Fail(WithName(plan.refusal().c_str(), plan.refusedPath(), "'. Nichts gestartet."),
                 kExitConfiguration);
    return false;
  }

  // The question about the files of a .vmx from elsewhere.
  bool UserAllowsOutsideFiles(const MachineFilePlan& plan) {
    std::string text = WithName("Die Konfiguration '", vmxFile_,
                                "' verwendet Dateien au\xDF"
                                "erhalb ihres Ordners:\r");
    for (const PlannedFile* file : plan.FilesToAsk()) {
      text += ShownText(file->access == FileAccess::kRead ? "\r  liest: " : "\r  schreibt: ") +
              ShownFileName(file->resolved);
    }
    text += ShownText(
        "\r\rStammt die Konfiguration nicht von Ihnen, kann sie so fremde Dateien lesen oder "
        "\xFC"
        "berschreiben.\rDiese Dateien verwenden und die Maschine starten?");
    return UserSaysYes(services_, text);
  }

  // Takes the machine's lock; else says why not.
  bool TakeLock(MachineLock* lock, int* code) {
    const MachineLockResult result = lock->Take(vmxFile_);
    if (result == MachineLockResult::kTaken) return true;
    const std::string& path = lock->path();
    switch (result) {
      case MachineLockResult::kHeld:
        Tell(services_, kNoticeTitle,
             ShownText("Diese virtuelle Maschine l\xE4uft schon (Prozess ") +
                 ShownText(std::to_string(lock->ownerProcess())) +
                 WithName("). Nichts gestartet.\r\rSperre: '", path),
             true);
        break;
      case MachineLockResult::kUnknown:
        Tell(services_, kNoticeTitle,
             WithName("Diese virtuelle Maschine wird schon benutzt: ihre Sperre '", path,
                      "' geh\xF6rt einem anderen Programm. Nichts gestartet. L\xE4uft keine "
                      "Maschine mehr, kann die Sperre gel\xF6scht werden."),
             true);
        break;
      default:
        Tell(services_, kErrorTitle,
             WithName(result == MachineLockResult::kInTheWay
                          ? "An der Stelle der Sperre der virtuellen Maschine liegt etwas "
                            "anderes: '"
                          : "Die Sperre der virtuellen Maschine kann nicht angelegt werden: '",
                      path, "'. Nichts gestartet."),
             true);
        break;
    }
    *code = kExitMachineLocked;
    return false;
  }

  // The guest's bytes of a use's medium, read from the file the plan holds
  // open: a CD's, and a disk's only where its image is one raw file.
  ReadBytesAt MediumReader(const MachineFilePlan& plan, std::size_t use) {
    if (use < plan.uses().size() && plan.uses()[use].kind == FileUseKind::kCdImage) {
      const FileUse& cd = plan.uses()[use];
      return Reader(plan, plan.FileOfUse(use), cd.sliceOffset, cd.sliceSize);
    }
    const ImageChain* chain = plan.ChainOfUse(use);
    if (chain == nullptr || chain->nodes.size() != 1 ||
        chain->nodes[0].format != ImageFormat::kRaw) {
      return nullptr;
    }
    const ImageNode& disk = chain->nodes[0];
    return Reader(plan, disk.file, disk.sliceOffset, disk.sliceSize);
  }

  // Reads a file of the plan, or its part from `sliceOffset`, `sliceSize`
  // long (0: the whole file); every read fails when it is not held open.
  ReadBytesAt Reader(const MachineFilePlan& plan, std::size_t file, std::uint64_t sliceOffset,
                     std::uint64_t sliceSize) {
    const std::size_t held = file < plan.files().size() ? plan.files()[file].held : kNoFile;
    MachineFileHost& files = services_.MachineFiles();
    return [held, &files, sliceOffset, sliceSize](std::uint64_t offset, std::size_t count,
                                                  std::string* bytes) {
      return held != kNoFile &&
             ReadPartAt(files, held, sliceOffset, sliceSize, offset, count, bytes);
    };
  }

  void TellFacts(const MachineFacts& facts) {
    if (!facts.reason.empty()) Tell(services_, kNoticeTitle, ShownText(facts.reason), false);
    if (!facts.lowered.empty()) {
      std::string text = ShownText(
          "Die Maschine bekommt weniger, als ihre Konfiguration verlangt, damit der Rechner "
          "benutzbar bleibt:");
      for (const std::string& lowered : facts.lowered) text += ShownText("\r  " + lowered);
      Tell(services_, kNoticeTitle, text, true);
    }
    if (facts.shortfalls.empty()) return;
    std::string text = ShownText(
        "Die CD ist ein Windows-Setup, das mehr verlangt, als hier m\xF6glich ist. Es fehlt:");
    for (const std::string& shortfall : facts.shortfalls) text += ShownText("\r  " + shortfall);
    text += ShownText("\rDie Maschine startet ohne; das Setup kann sich deshalb weigern.");
    Tell(services_, kNoticeTitle, text, true);
  }

  // What the player makes for the machine once the lock is held: the UEFI
  // variable store (a use of the plan from then on) and the TPM's state
  // folder beside the .vmx, and the NAT cards' connections.
  bool MakeMachineState(const MachineDescription& machine, const MachineFacts& facts,
                        MachineFilePlan* plan, Companions* companions, MachineState* state,
                        int* code) {
    // Refused before anything is made for the machine: a TPM's state folder
    // or a UEFI store would otherwise stay behind.
    const std::string tpmRefused = TpmRefusal(facts);
    if (!tpmRefused.empty()) {
      *code = FailInConfiguration(tpmRefused);
      return false;
    }
    if (facts.tpm && !host_.tpmEmulation) {
      *code = Fail(ShownText(look_.tpmEmulation
                                 ? "Die Konfiguration verlangt ein TPM 2.0 (vtpm.present), aber "
                                   "der TPM-Emulator swtpm fehlt. Bitte das Paket \"swtpm\" "
                                   "installieren."
                                 : "Die Konfiguration verlangt ein TPM 2.0 (vtpm.present), aber "
                                   "QEMU f\xFCr Windows kann kein TPM nachbilden. Nichts "
                                   "gestartet."),
                   kExitConfiguration);
      return false;
    }
    const std::string noNat = companions->nat.Prepare(NatCards(machine), &state->natConnections);
    if (!noNat.empty()) {
      *code = Fail(noNat, kExitConfiguration);
      return false;
    }
    if (facts.Uefi()) {
      const bool secure = facts.firmware == FirmwareKind::kEfiSecureBoot;
      const UefiFirmware firmware = services_.FindUefiFirmware(secure, look_.qemu);
      if (firmware.code.empty()) {
        *code = Fail(
            ShownText("Die Maschine braucht UEFI, aber die Firmware fehlt. " + look_.uefiAdvice),
            kExitConfiguration);
        return false;
      }
      const std::string store =
          MachineFileBase(vmxFile_) + (secure ? "-efivars-secure.fd" : "-efivars.fd");
      const PrivateCopyResult copy = services_.MakePrivateCopy(firmware.variables, store);
      if (copy == PrivateCopyResult::kNotAFile || copy == PrivateCopyResult::kFailed) {
        *code = Fail(WithName("Der UEFI-Variablenspeicher kann nicht angelegt werden: '", store),
                     kExitConfiguration);
        return false;
      }
      state->uefi.code = firmware.code;
      state->uefi.store = plan->AddOwnFile(UefiStoreUse(store));
      if (!AcceptedByPlan(*plan, code)) return false;
    }
    if (!facts.tpm) return true;
    const std::string refused = companions->tpm.Open(vmxFile_, look_.swtpm);
    if (!refused.empty()) {
      *code = Fail(refused, kExitConfiguration);
      return false;
    }
    state->tpmSocket = companions->tpm.Socket();
    return true;
  }

  bool OpenFiles(const BlockRenderer& renderer, FileHandOver* handOver, int* code) {
    std::string unopened;
    const OpenResult opened =
        handOver->Open(services_.HandOver(), renderer.FilesForQemu(), &unopened);
    if (opened == OpenResult::kOpened) return true;
    const std::string shortage = OpenShortageText(opened, services_.MachineFiles().OpenFileLimit());
    *code = Fail(shortage.empty() ? WithName("Die Datei kann nicht ge\xF6"
                                             "ffnet werden oder ist nicht mehr, was sie bei der "
                                             "Pr\xFC"
                                             "fung war: '",
                                             unopened)
                                  : WithName(shortage.c_str(), unopened, "'. Nichts gestartet."),
                 kExitConfiguration);
    return false;
  }

  // The files the player writes for QEMU (vmdk descriptors naming what it
  // handed over, throw-away overlays), each handed over like the plan's.
  bool WritePlayerImages(const MachineFilePlan& plan, BlockRenderer* renderer,
                         FileHandOver* handOver, int* code) {
    const std::vector<PlayerImage>& images = renderer->PlayerImages();
    for (std::size_t i = 0; i < images.size(); ++i) {
      const PlayerImage& image = images[i];
      const std::string& disk = plan.uses()[image.use].path;
      std::string bytes;
      if (!renderer->ImageBytes(i, &bytes)) {
        *code = Fail(WithName("Das Abbild kann QEMU nicht \xFC"
                              "bergeben werden, weil ein Name darin nicht geschrieben werden "
                              "kann: '",
                              disk, "'. Nichts gestartet."),
                     kExitConfiguration);
        return false;
      }
      const bool overlay = image.kind == PlayerImage::Kind::kOverlay;
      const std::string name = std::to_string(i) + (overlay ? "-overlay.qcow2" : "-disk.vmdk");
      std::string path;
      std::string unopened;
      std::size_t file = kNoFile;
      if (!services_.PlayerImages().Write(name, bytes, &path)) {
        *code = Fail(WithName("Die Hilfsdatei f\xFCr das Abbild kann im tempor\xE4ren Ordner nicht "
                              "angelegt werden: '",
                              disk, "'. Nichts gestartet."),
                     kExitConfiguration);
        return false;
      }
      if (!handOver->AddPlayerFile(services_.HandOver(), path,
                                   image.written ? FileAccess::kWrite : FileAccess::kRead, &file,
                                   &unopened)) {
        *code = Fail(WithName("Die Datei kann nicht ge\xF6"
                              "ffnet werden: '",
                              unopened, "'. Nichts gestartet."),
                     kExitConfiguration);
        return false;
      }
      renderer->HandedOver(i, file);
    }
    return true;
  }

  // QEMU to its end, with a TPM beside a fresh swtpm, and once more with
  // TCG when a hardware accelerator failed at the start.
  bool RunQemu(const MachineDescription& machine, const MachineFacts& facts,
               const MachineState& state, const FileHandOver& handOver,
               const BlockRenderer& renderer, Companions& companions, ProgramEnd* end, int* code) {
    if (!RunOnce(Render(machine, facts, state, renderer), handOver, companions, end, code)) {
      return false;
    }
    if (end->stopSignal != 0 ||
        !ShouldRetryWithTcg(facts.accelerator, end->exitCode, end->seconds)) {
      return true;
    }
    Tell(services_, kNoticeTitle,
         ShownText("QEMU mit " + std::string(AcceleratorName(facts.accelerator)) +
                   " ist beim Start gescheitert; neuer Versuch mit TCG (Software-Emulation)."),
         false);
    return RunOnce(Render(machine, FactsForTcgRetry(facts), state, renderer), handOver, companions,
                   end, code);
  }

  // QEMU's arguments for the facts, from the plan alone: every file the
  // machine uses is a use of the plan by now.
  std::vector<std::string> Render(const MachineDescription& machine, const MachineFacts& facts,
                                  const MachineState& state, const BlockRenderer& renderer) const {
    return RenderArguments(MapMachineToQemu(machine, facts, host_, state), renderer);
  }

  bool RunOnce(const std::vector<std::string>& arguments, const FileHandOver& handOver,
               Companions& companions, ProgramEnd* end, int* code) {
    const std::string natFailure = companions.nat.Start();
    if (!natFailure.empty()) {
      *code = Fail(natFailure, kExitConfiguration);
      return false;
    }
    const std::string tpmFailure = companions.tpm.Start();
    if (!tpmFailure.empty()) {
      companions.nat.Stop();
      *code = Fail(tpmFailure, kExitNoTpm);
      return false;
    }
    std::vector<int> keepOpen = handOver.Descriptors();
    for (int descriptor : companions.tpm.Descriptors()) keepOpen.push_back(descriptor);
    for (int descriptor : companions.nat.Descriptors()) keepOpen.push_back(descriptor);
    const bool ran = services_.RunProgramToEnd(look_.qemu, arguments, keepOpen, end);
    companions.tpm.Stop();
    companions.nat.Stop();
    if (ran) return true;
    *code = Fail(WithName("QEMU konnte nicht gestartet werden: '", look_.qemu), kExitNoQemu);
    return false;
  }

  int Report(const ProgramEnd& end) {
    const ProgramEndReport report = ReportProgramEnd("QEMU", end);
    if (report.text.empty()) return report.exitCode;
    std::string text = ShownText(report.text);
    // QEMU writes in the system's display encoding; a stray byte must not
    // spoil the box.
    if (!end.errorTail.empty()) text += "\r\r" + ShownFileName(end.errorTail);
    return Fail(text, report.exitCode);
  }

  const PlayRequest& request_;
  const std::string& vmxFile_;
  std::string vmxFolder_;  // with its trailing separator; empty for a bare name
  PlayerServices& services_;
  HostLook look_;
  HostFacts host_;
};

}  // namespace

void Tell(PlayerServices& services, const char* title, const std::string& shown, bool display) {
  std::string line = shown;
  for (char& c : line) {
    if (c == '\r') c = '\n';
  }
  services.WriteToStandardError(line + "\n");
  if (display) services.ShowMessage(ShownText(title), shown, 0);
}

bool UserSaysYes(PlayerServices& services, const std::string& shown) {
  constexpr std::uint32_t kYesNoQuestionDefaultNo = 0x4 | 0x20 | 0x100;
  constexpr std::int32_t kAnswerYes = 6;
  return services.ShowMessage(ShownText(kNoticeTitle), shown, kYesNoQuestionDefaultNo) ==
         kAnswerYes;
}

int PlayMachine(const PlayRequest& request, PlayerServices& services) {
  return MachineRun(request, services).Run();
}
