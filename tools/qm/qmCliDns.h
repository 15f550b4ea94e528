// qm dns: TXT, A, AAAA, MX, CNAME, NS and SOA lookups through the library's
// resolver; and the choice of name servers that qm dkim shares.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "dns/qmDnsQuery.h"
#include "qm/qmCliSession.h"

namespace qm::cli {

struct TDnsServer {
  std::string Host;
  int Port = 53;
  // "host:port", "[v6]:port".
  std::string Text() const;
};

// "HOST", "HOST:PORT", "[V6]:PORT" or a bare IPv6 address; throws
// TUsageError for anything else.
TDnsServer ParseDnsServer(const std::string& AText);

// The server given, or the name servers of /etc/resolv.conf in their order
// (TFailure when it names none).
std::vector<TDnsServer> DnsServers(const std::string& AServerOption);

// Runs AAsk against each server in turn until one answers. A server that
// answers with an error code (no such name, refused...) has answered: its
// EqmDnsError goes out at once. A silent or unreachable one is passed over;
// when none is left the last failure goes out. AWhere is the server asked
// last.
void AskServers(TqmDnsQuery& AQuery, const std::vector<TDnsServer>& AServers, const std::function<void()>& AAsk,
                std::string& AWhere);

// True when the error is the server's answer (a response code), not a
// failure to get one.
bool IsDnsAnswer(const EqmSocketError& AError);

// "No such name (NXDOMAIN)", "Server failure (SERVFAIL)"...
std::string DnsErrorText(const EqmSocketError& AError);

// A timeout: a positive number of seconds, at most a day.
CLI::Validator PositiveSeconds();

TSubcommand AddDnsCommand(CLI::App& AParent);

}  // namespace qm::cli
