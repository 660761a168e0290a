#include "player/nat_service.h"

#include "platform/shown_text.h"

namespace {

constexpr char kNoConnection[] =
    "Die Verbindung f\xFCr das NAT-Netzwerk der Maschine kann nicht angelegt werden.";

}  // namespace

std::string NatService::Prepare(const std::vector<int>& natCards,
                                std::vector<int>* natConnections) {
  if (natCards.empty() || !HostRelaysNat()) return {};
  natConnections->assign(kEthernetCards, -1);
  for (int card : natCards) {
    if (!connections_[card].Renew()) return ShownText(kNoConnection);
    (*natConnections)[card] = connections_[card].machineEnd();
  }
  cards_ = natCards;
  return {};
}

std::string NatService::Start() {
  if (cards_.empty()) return {};
  std::vector<int> relayEnds;
  for (int card : cards_) {
    if (!connections_[card].Renew()) return ShownText(kNoConnection);
    relayEnds.push_back(connections_[card].relayEnd());
  }
  const bool started = relay_.Start(relayEnds);
  // The relay holds copies: QEMU sees its connections end with the relay.
  for (int card : cards_) connections_[card].CloseRelayEnd();
  if (!started) return ShownText("Das NAT-Netzwerk der Maschine kann nicht gestartet werden.");
  return {};
}

std::vector<int> NatService::Descriptors() const {
  std::vector<int> descriptors;
  for (int card : cards_) descriptors.push_back(connections_[card].machineEnd());
  return descriptors;
}

void NatService::Stop() {
  relay_.Stop();
}
