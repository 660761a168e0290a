#include "player/passt_companion.h"

#include "platform/shown_text.h"
#include "player/host/program_search.h"

namespace {

constexpr char kPasstProgram[] = "passt";

}  // namespace

std::vector<std::string> PasstArguments(int descriptor) {
  return {
      "--foreground", "--quiet",     "--stderr", "--one-off",   "--fd", std::to_string(descriptor),
      "--no-map-gw",  "--tcp-ports", "none",     "--udp-ports", "none"};
}

std::string PasstCompanion::Prepare(const std::vector<int>& natCards,
                                    std::vector<int>* natConnections) {
  if (natCards.empty() || !HostRunsPasst()) return {};
  program_ = FindProgram(kPasstProgram, "");
  if (program_.empty()) {
    return ShownText(
        "Die Konfiguration verlangt ein NAT-Netzwerk (connectionType = \"nat\"), aber passt, "
        "das die Maschine dabei vom Rechner selbst fernh\xE4lt, fehlt. Bitte das Paket "
        "\"passt\" installieren.");
  }
  natConnections->assign(kEthernetCards, -1);
  for (int card : natCards) {
    if (!connections_[card].Renew()) {
      return ShownText("Die Verbindung zum Netzwerkprogramm passt kann nicht angelegt werden.");
    }
    (*natConnections)[card] = connections_[card].machineEnd();
  }
  cards_ = natCards;
  return {};
}

std::string PasstCompanion::Start() {
  const HostAddresses host = cards_.empty() ? HostAddresses{} : CurrentHostAddresses();
  for (int card : cards_) {
    MachineConnection& connection = connections_[card];
    FrameRelay& relay = relays_[card];
    const bool connected = connection.Renew() && relay.Start(connection.companionEnd(), host);
    connection.CloseCompanionEnd();
    if (!connected) {
      Stop();
      return ShownText("Die Verbindung zum Netzwerkprogramm passt kann nicht angelegt werden.");
    }
    const bool started = StartCompanionProgram(program_, PasstArguments(relay.companionEnd()),
                                               {relay.companionEnd()}, &passt_[card]);
    relay.CloseCompanionEnd();
    if (!started) {
      Stop();
      return ShownText("Das Netzwerkprogramm passt konnte nicht gestartet werden: '") +
             ShownFileName(program_) + ShownText("'.");
    }
  }
  return {};
}

std::vector<int> PasstCompanion::Descriptors() const {
  std::vector<int> descriptors;
  for (int card : cards_) descriptors.push_back(connections_[card].machineEnd());
  return descriptors;
}

void PasstCompanion::Stop() {
  // The relay first: passt sees its connection end and leaves by itself.
  for (FrameRelay& relay : relays_) relay.Stop();
  for (CompanionProgram& passt : passt_) passt.Stop();
}
