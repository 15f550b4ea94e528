// Looks up the mail servers of a domain (its MX records) with the
// library's own DNS resolver and prints them by preference, lowest
// (tried first) first: "10 mail.example.org".
//
//   resolve_mx example.org                 (the name servers of /etc/resolv.conf)
//   resolve_mx example.org 192.0.2.53 53   (this name server)
#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dns/qmDnsMessage.h"
#include "dns/qmDnsQuery.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    std::cerr << "usage: resolve_mx DOMAIN [SERVER PORT]\n";
    return 2;
  }
  qm::TqmDnsQuery Query;
  if (argc == 4) {
    Query.SetServer(argv[2]);
    Query.SetPort(std::stoi(argv[3]));
  }
  // TimeOut is in milliseconds; one deadline covers the whole lookup.
  Query.SetTimeOut(5000);

  // One question: MX for the domain, recursion desired (the name server
  // does the work). An international domain goes out in its ASCII form.
  Query.Query().Header().SetIsQuery(true);
  Query.Query().Header().SetIsRecursionDesired(true);
  std::unique_ptr<qm::TqmDnsRecord> Question = Query.Query().CreateRecord(qm::qmDnsTypeMX);
  Question->SetName(argv[1]);
  Question->SetRecordType(qm::qmDnsTypeMX);
  Query.Query().Queries().Add(std::move(Question));
  try {
    Query.Resolve();
  } catch (const qm::Exception& E) {
    // "No such name (NXDOMAIN)", a time-out, a refusal: the name server's
    // answer or the transport's failure.
    std::cerr << "resolve_mx: " << argv[1] << ": " << E.Message() << '\n';
    return 1;
  }

  // The answer section may also hold CNAMEs; only the MX records count.
  std::vector<std::pair<int, std::string>> Servers;
  const qm::TqmDnsRecordList& Answers = Query.Response().Answers();
  for (int I = 0; I < Answers.Count(); ++I)
    if (const auto* MX = dynamic_cast<const qm::TqmDnsMXRecord*>(Answers.Items(I)))
      Servers.emplace_back(MX->Preference(), MX->MailServer());
  if (Servers.empty()) {
    std::cerr << "resolve_mx: " << argv[1] << " has no MX record\n";
    return 1;
  }
  std::sort(Servers.begin(), Servers.end());
  for (const auto& [Preference, Host] : Servers) std::cout << Preference << ' ' << Host << '\n';
  return 0;
}
