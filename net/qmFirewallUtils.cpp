#include "net/qmFirewallUtils.h"

namespace qm {

bool IsKnownFirewallType(TqmFirewallType AType) {
  switch (AType) {
    case TqmFirewallType::ftSocks4:
    case TqmFirewallType::ftSocks5:
    case TqmFirewallType::ftSocks4a:
      return true;
  }
  return false;
}

void TqmFirewallSettings::Reset() {
  FFirewallType = TqmFirewallType::ftSocks4;
  FUserName.clear();
  FPassword.clear();
  FServer.clear();
  FPort = 1080;
  FNeedResolveIP = true;
}

void TqmFirewallSettings::Assign(const TPersistent& ASource) {
  if (auto* Source = dynamic_cast<const TqmFirewallSettings*>(&ASource)) {
    FFirewallType = Source->FFirewallType;
    FUserName = Source->FUserName;
    FPassword = Source->FPassword;
    FServer = Source->FServer;
    FPort = Source->FPort;
    FNeedResolveIP = Source->FNeedResolveIP;
    return;
  }
  TPersistent::Assign(ASource);
}

}  // namespace qm
