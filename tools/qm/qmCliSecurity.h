// What qm's --security option means on a given port.
#pragma once

#include <string>

#include "net/qmTcpClientTls.h"

namespace qm::cli {

// The well-known ports of TLS from the start: SMTP submission over TLS
// and POP3S.
inline bool IsImplicitTlsPort(int APort) { return APort == 465 || APort == 995; }

// The client's TLS mode for --security, and whether the session switches
// to TLS (STARTTLS, STLS) when the server offers it.
struct TTlsChoice {
  TqmClientTlsMode Mode = ctNone;
  bool StartTlsWhenOffered = false;
};

// --security auto is not the library's ctAutomatic (STARTTLS on the
// protocol's standard port, implicit TLS on any other): that rule sends a
// TLS handshake to 587 and to test servers' plain ports. The tool goes by
// the well-known TLS ports and asks the server about the rest.
inline TTlsChoice ChooseTls(const std::string& ASecurity, int APort) {
  if (ASecurity == "none") return {ctNone, false};
  if (ASecurity == "auto") return IsImplicitTlsPort(APort) ? TTlsChoice{ctImplicit, false} : TTlsChoice{ctNone, true};
  if (ASecurity == "implicit") return {ctImplicit, false};
  return {ctExplicit, false};
}

}  // namespace qm::cli
