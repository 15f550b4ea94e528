#include "qm/qmCliDns.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>

#include "core/qmSysUtils.h"
#include "dns/qmDnsMessage.h"
#include "net/qmSocketError.h"

namespace qm::cli {

namespace {

const char* const kSystemResolverConfig = "/etc/resolv.conf";

struct TDnsOptions {
  std::string Server;
  double TimeOutSeconds = 5;
  bool Tcp = false;
  bool Long = false;
  bool Verbose = false;
  std::string Name;
};

struct TRecordType {
  const char* Command;
  const char* Name;
  uint16_t Code;
};

constexpr TRecordType kRecordTypes[] = {
    {"txt", "TXT", qmDnsTypeTXT}, {"a", "A", qmDnsTypeA},      {"aaaa", "AAAA", qmDnsTypeAAAA},
    {"mx", "MX", qmDnsTypeMX},    {"cname", "CNAME", qmDnsTypeCNAME}, {"ns", "NS", qmDnsTypeNS},
    {"soa", "SOA", qmDnsTypeSOA},
};

std::string TypeName(uint16_t ACode) {
  for (const TRecordType& Type : kRecordTypes)
    if (Type.Code == ACode) return Type.Name;
  return "TYPE" + std::to_string(ACode);
}

// A TXT text on one line: control bytes and the backslash are written
// \DDD (as zone files do), everything else as it is.
std::string PrintableText(const std::string& AText) {
  std::string Result;
  for (unsigned char C : AText) {
    if (C < 0x20 || C == 0x7f || C == '\\') {
      const char Digits[] = {'\\', static_cast<char>('0' + C / 100), static_cast<char>('0' + C / 10 % 10),
                             static_cast<char>('0' + C % 10)};
      Result.append(Digits, sizeof Digits);
    } else {
      Result += static_cast<char>(C);
    }
  }
  return Result;
}

// The data of a record as printed; empty for a type not shown.
std::string RecordData(const TqmDnsRecord& ARecord) {
  if (const auto* A = dynamic_cast<const TqmDnsARecord*>(&ARecord)) return A->IPAddress();
  // Lower case, as RFC 5952 writes IPv6 addresses.
  if (const auto* AAAA = dynamic_cast<const TqmDnsAAAARecord*>(&ARecord)) return LowerCase(AAAA->IPv6Address());
  if (const auto* MX = dynamic_cast<const TqmDnsMXRecord*>(&ARecord))
    return std::to_string(MX->Preference()) + " " + MX->MailServer();
  if (const auto* TXT = dynamic_cast<const TqmDnsTXTRecord*>(&ARecord)) return PrintableText(TXT->Text());
  if (const auto* CName = dynamic_cast<const TqmDnsCNAMERecord*>(&ARecord)) return CName->PrimaryName();
  if (const auto* NS = dynamic_cast<const TqmDnsNSRecord*>(&ARecord)) return NS->NameServer();
  if (const auto* SOA = dynamic_cast<const TqmDnsSOARecord*>(&ARecord))
    return SOA->PrimaryNameServer() + " " + SOA->ResponsiblePerson() + " " + std::to_string(SOA->SerialNumber()) +
           " " + std::to_string(SOA->RefreshInterval()) + " " + std::to_string(SOA->RetryInterval()) + " " +
           std::to_string(SOA->ExpirationLimit()) + " " + std::to_string(SOA->MinimumTTL());
  return {};
}

// "5", "0.5".
std::string Seconds(double AValue) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%g", AValue);
  return Text;
}

// Servers hand out records in any order; sorted, the output of two runs
// compares equal. MX records go by preference first.
bool PrintsBefore(const TqmDnsRecord* A, const TqmDnsRecord* B) {
  const auto* MxA = dynamic_cast<const TqmDnsMXRecord*>(A);
  const auto* MxB = dynamic_cast<const TqmDnsMXRecord*>(B);
  if (MxA && MxB && MxA->Preference() != MxB->Preference()) return MxA->Preference() < MxB->Preference();
  return RecordData(*A) < RecordData(*B);
}

void RunLookup(const TDnsOptions& AOptions, const TRecordType& AType) {
  const std::vector<TDnsServer> Servers = DnsServers(AOptions.Server);
  TqmDnsQuery Query;
  Query.SetAutodetectServer(false);
  Query.SetTimeOut(static_cast<int>(AOptions.TimeOutSeconds * 1000));
  Query.SetProtocol(AOptions.Tcp ? dpUseTcp : dpAutodetect);
  std::string Where;
  if (AOptions.Verbose) {
    Query.OnSendPacket = [&](TObject*, TStream* AData) {
      std::cerr << "> " << AType.Name << " " << AOptions.Name << " to " << Where << " (" << AData->Size()
                << " bytes)\n";
    };
    Query.OnReceivePacket = [](TObject*, TStream* AData) { std::cerr << "< " << AData->Size() << " bytes\n"; };
  }
  const std::string What = "looking up " + std::string(AType.Name) + " " + AOptions.Name;
  try {
    AskServers(Query, Servers, [&] {
      Query.Clear();
      Query.Query().Header().SetIsQuery(true);
      Query.Query().Header().SetIsRecursionDesired(true);
      std::unique_ptr<TqmDnsRecord> Question = Query.Query().CreateRecord(AType.Code);
      // Resolve() sends an international name in its ASCII form.
      Question->SetName(AOptions.Name);
      Question->SetRecordType(AType.Code);
      Query.Query().Queries().Add(std::move(Question));
      Query.Resolve();
    }, Where);
  } catch (const EqmSocketError& E) {
    std::string Text = DnsErrorText(E);
    if (E.ErrorCode() == qmTimeoutErrorCode)
      Text += " (no answer within " + Seconds(AOptions.TimeOutSeconds) + " s)";
    throw TFailure(What + " at " + Where + ": " + Text);
  } catch (const Exception& E) {
    throw TFailure(What + " at " + Where + ": " + OneLine(E.Message()));
  }

  const TqmDnsRecordList& Answers = Query.Response().Answers();
  std::vector<const TqmDnsRecord*> Found;
  for (int I = 0; I < Answers.Count(); ++I)
    if (AOptions.Long || Answers.Items(I)->RecordType() == AType.Code) Found.push_back(Answers.Items(I));
  bool HasType = false;
  for (const TqmDnsRecord* Record : Found) HasType = HasType || Record->RecordType() == AType.Code;
  if (!HasType) throw TFailure(What + " at " + Where + ": no " + AType.Name + " record");
  if (AOptions.Long) {
    // The answer section as it came: a CNAME chain reads in its order.
    for (const TqmDnsRecord* Record : Found)
      std::cout << Record->Name() << ' ' << Record->TTL() << ' ' << TypeName(Record->RecordType()) << ' '
                << RecordData(*Record) << '\n';
    return;
  }
  std::stable_sort(Found.begin(), Found.end(), PrintsBefore);
  for (const TqmDnsRecord* Record : Found) std::cout << RecordData(*Record) << '\n';
}

}  // namespace

std::string TDnsServer::Text() const {
  return (Host.find(':') != std::string::npos ? "[" + Host + "]" : Host) + ":" + std::to_string(Port);
}

TDnsServer ParseDnsServer(const std::string& AText) {
  TDnsServer Server;
  std::string PortText;
  if (!AText.empty() && AText.front() == '[') {
    const size_t Close = AText.find(']');
    if (Close == std::string::npos || (Close + 1 < AText.size() && AText[Close + 1] != ':'))
      throw TUsageError("bad server '" + AText + "': write [ADDRESS]:PORT for IPv6");
    Server.Host = AText.substr(1, Close - 1);
    if (Close + 1 < AText.size()) PortText = AText.substr(Close + 2);
  } else if (std::count(AText.begin(), AText.end(), ':') == 1) {
    const size_t Colon = AText.find(':');
    Server.Host = AText.substr(0, Colon);
    PortText = AText.substr(Colon + 1);
  } else {
    Server.Host = AText;  // a name, an IPv4 address or a bare IPv6 address
  }
  if (Server.Host.empty()) throw TUsageError("bad server '" + AText + "': no host");
  if (!PortText.empty() || (!AText.empty() && AText.back() == ':')) {
    const bool Digits = !PortText.empty() && PortText.size() <= 5 &&
                        PortText.find_first_not_of("0123456789") == std::string::npos;
    const int Port = Digits ? std::stoi(PortText) : 0;
    if (Port < 1 || Port > 65535) throw TUsageError("bad port in '" + AText + "'");
    Server.Port = Port;
  }
  return Server;
}

std::vector<TDnsServer> DnsServers(const std::string& AServerOption) {
  if (!AServerOption.empty()) return {ParseDnsServer(AServerOption)};
  TStringList Names;
  TqmDnsQuery::ReadSystemNameServers(Names, kSystemResolverConfig);
  std::vector<TDnsServer> Servers;
  for (int I = 0; I < Names.Count(); ++I) {
    TDnsServer Server;
    // resolv.conf may carry a zone index (fe80::1%eth0); the address is
    // taken as written.
    Server.Host = Names.Get(I);
    Servers.push_back(Server);
  }
  if (Servers.empty())
    throw TFailure(std::string("no name server in ") + kSystemResolverConfig + ": give --server HOST[:PORT]");
  return Servers;
}

bool IsDnsAnswer(const EqmSocketError& AError) {
  return dynamic_cast<const EqmDnsError*>(&AError) && AError.ErrorCode() >= 1 && AError.ErrorCode() <= 15;
}

std::string DnsErrorText(const EqmSocketError& AError) {
  std::string Text = OneLine(AError.Message());
  if (!IsDnsAnswer(AError)) return Text;
  static const char* const Names[] = {"NOERROR", "FORMERR", "SERVFAIL", "NXDOMAIN", "NOTIMP", "REFUSED"};
  const int Code = AError.ErrorCode();
  return Text + " (" + (Code < 6 ? std::string(Names[Code]) : "RCODE " + std::to_string(Code)) + ")";
}

void AskServers(TqmDnsQuery& AQuery, const std::vector<TDnsServer>& AServers, const std::function<void()>& AAsk,
                std::string& AWhere) {
  std::exception_ptr Last;
  for (const TDnsServer& Server : AServers) {
    AQuery.SetServer(Server.Host);
    AQuery.SetPort(Server.Port);
    AWhere = Server.Text();
    try {
      AAsk();
      return;
    } catch (const EqmSocketError& E) {
      if (IsDnsAnswer(E)) throw;
      Last = std::current_exception();
    }
  }
  if (Last) std::rethrow_exception(Last);
}

CLI::Validator PositiveSeconds() {
  return CLI::Validator(
      [](std::string& AText) {
        double Value = 0;
        try {
          size_t Used = 0;
          Value = std::stod(AText, &Used);
          if (Used != AText.size()) Value = 0;
        } catch (const std::exception&) {
          Value = 0;
        }
        // At most a day: the resolver counts milliseconds in an int.
        if (Value >= 0.001 && Value <= 86400) return std::string();
        return "'" + AText + "' is not a number of seconds between 0.001 and 86400";
      },
      "SECONDS");
}

TSubcommand AddDnsCommand(CLI::App& AParent) {
  auto Options = std::make_shared<TDnsOptions>();
  CLI::App* App = AParent.add_subcommand("dns", "Look up TXT, A, AAAA, MX, CNAME, NS or SOA records");
  App->require_subcommand(1, 1);
  App->footer(
      "Prints one answer per line (sorted; MX by preference): an address, \"PREFERENCE HOST\", a TXT record's\n"
      "text (its strings joined; control bytes and \\ written \\DDD), a name, or an SOA's seven fields.\n"
      "Exit status 1, with one line on stderr, when the name does not exist, has no record of the type,\n"
      "or no server answers.\n"
      "Examples:\n"
      "  qm dns mx example.org\n"
      "  qm dns txt sel._domainkey.example.org --server 127.0.0.1:5353\n"
      "  qm dns aaaa example.org --server [::1]:53 --tcp --long\n");
  App->add_option("--server", Options->Server,
                  "Name server to ask: HOST, HOST:PORT or [IPV6]:PORT (default: those of /etc/resolv.conf)");
  App->add_flag("--tcp", Options->Tcp, "Ask over TCP (default: UDP, TCP when the answer is truncated)");
  App->add_option("--timeout", Options->TimeOutSeconds, "Seconds to wait for each server's answer")
      ->check(PositiveSeconds())
      ->capture_default_str();
  App->add_flag("-l,--long", Options->Long, "Print every answer record as NAME TTL TYPE DATA, in the server's order");
  App->add_flag("-v,--verbose", Options->Verbose, "Trace the queries and answers on stderr");

  std::vector<std::pair<CLI::App*, const TRecordType*>> Types;
  for (const TRecordType& Type : kRecordTypes) {
    CLI::App* Sub = App->add_subcommand(Type.Command, std::string("Look up the ") + Type.Name + " records of a name");
    // The options of "qm dns" may also follow the record type.
    Sub->fallthrough();
    Sub->add_option("name", Options->Name, "The domain name (international names are sent in their ASCII form)")
        ->required();
    Types.emplace_back(Sub, &Type);
  }
  return {App, [Options, Types] {
            for (const auto& [Sub, Type] : Types)
              if (Sub->parsed()) RunLookup(*Options, *Type);
          }};
}

}  // namespace qm::cli
