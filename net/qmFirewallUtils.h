// Settings of the SOCKS firewall a TCP client connects through.
#pragma once

#include <string>

#include "core/qmComponent.h"

namespace qm {

/// The SOCKS version spoken to the firewall (4a: the firewall resolves names).
enum class TqmFirewallType { ftSocks4, ftSocks5, ftSocks4a };

/// True for the three firewall types that exist.
bool IsKnownFirewallType(TqmFirewallType AType);

/// Where and how a client reaches its SOCKS firewall.
class TqmFirewallSettings : public TPersistent {
 public:
  /// SOCKS 4 on port 1080, no server (see Reset).
  TqmFirewallSettings() { Reset(); }

  /// Copies all six values from another TqmFirewallSettings; anything else
  /// goes to the default assignment.
  void Assign(const TPersistent& ASource) override;
  /// Back to the defaults: SOCKS 4, no server, port 1080, no credentials,
  /// the firewall resolving names.
  void Reset();

  /// The SOCKS version (ftSocks4).
  TqmFirewallType FirewallType() const { return FFirewallType; }
  /// Sets FirewallType.
  void SetFirewallType(TqmFirewallType AValue) { FFirewallType = AValue; }
  /// The user name (SOCKS 4 user id, SOCKS 5 login).
  const std::string& UserName() const { return FUserName; }
  /// Sets UserName.
  void SetUserName(const std::string& AValue) { FUserName = AValue; }
  /// The SOCKS 5 password.
  const std::string& Password() const { return FPassword; }
  /// Sets Password.
  void SetPassword(const std::string& AValue) { FPassword = AValue; }
  /// Empty: no firewall.
  const std::string& Server() const { return FServer; }
  /// Sets Server.
  void SetServer(const std::string& AValue) { FServer = AValue; }
  /// The firewall's port (1080).
  int Port() const { return FPort; }
  /// Sets Port.
  void SetPort(int AValue) { FPort = AValue; }
  /// True: the firewall resolves the target's name; false: it is resolved
  /// locally and the firewall gets the address.
  bool NeedResolveIP() const { return FNeedResolveIP; }
  /// Sets NeedResolveIP.
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
