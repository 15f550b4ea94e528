// Settings of the SOCKS firewall a TCP client connects through.
#pragma once

#include <string>

#include "core/qmComponent.h"

namespace qm {

enum class TqmFirewallType { ftSocks4, ftSocks5, ftSocks4a };

// True for the three firewall types that exist.
bool IsKnownFirewallType(TqmFirewallType AType);

class TqmFirewallSettings : public TPersistent {
 public:
  TqmFirewallSettings() { Reset(); }

  // Copies all six values from another TqmFirewallSettings; anything else
  // goes to the default assignment.
  void Assign(const TPersistent& ASource) override;
  void Reset();

  TqmFirewallType FirewallType() const { return FFirewallType; }
  void SetFirewallType(TqmFirewallType AValue) { FFirewallType = AValue; }
  const std::string& UserName() const { return FUserName; }
  void SetUserName(const std::string& AValue) { FUserName = AValue; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& AValue) { FPassword = AValue; }
  // Empty: no firewall.
  const std::string& Server() const { return FServer; }
  void SetServer(const std::string& AValue) { FServer = AValue; }
  int Port() const { return FPort; }
  void SetPort(int AValue) { FPort = AValue; }
  // True: the firewall resolves the target's name; false: it is resolved
  // locally and the firewall gets the address.
  bool NeedResolveIP() const { return FNeedResolveIP; }
  void SetNeedResolveIP(bool AValue) { FNeedResolveIP = AValue; }

 private:
  TqmFirewallType FFirewallType = TqmFirewallType::ftSocks4;
  std::string FUserName;
  std::string FPassword;
  std::string FServer;
  int FPort = 1080;
  bool FNeedResolveIP = true;
};

}  // namespace qm
