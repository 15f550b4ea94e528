#include "qm/qmCliDkim.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>

#include "core/qmDateTime.h"
#include "core/qmSysUtils.h"
#include "crypto/qmCryptEd25519.h"
#include "crypto/qmCryptSignature.h"
#include "crypto/qmOpenSsl.h"
#include "dkim/qmDkim.h"
#include "net/qmSocketError.h"
#include "qm/qmCliDns.h"

namespace qm::cli {

namespace {

// The DER that precedes an Ed25519 key's 32 bytes: in a PKCS #8 private key
// (RFC 8410 section 7) and in a SubjectPublicKeyInfo.
const TqmByteArray kEd25519PrivatePrefix = {0x30, 0x2e, 0x02, 0x01, 0x00, 0x30, 0x05, 0x06,
                                            0x03, 0x2b, 0x65, 0x70, 0x04, 0x22, 0x04, 0x20};
const TqmByteArray kEd25519PublicPrefix = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03,
                                           0x2b, 0x65, 0x70, 0x03, 0x21, 0x00};

// A TXT record's character strings hold at most 255 bytes each.
constexpr size_t kCharacterStringSize = 255;

struct TKeyOptions {
  std::string Type = "rsa";
  int Bits = 2048;
  std::string KeyFile;
  std::string Domain;
  std::string Selector;
  bool Raw = false;
};

struct TSignOptions {
  std::string Input;
  std::string Output;
  std::string KeyFile;
  std::string Domain;
  std::string Selector;
  std::string Algorithm;
  std::string Canonicalization = "relaxed/relaxed";
  std::string Headers;
  std::string Identity;
  int64_t ExpiresSeconds = 0;
};

struct TVerifyOptions {
  std::string Input;
  std::string DnsServer;
  double TimeOutSeconds = 5;
  bool Tcp = false;
  std::string KeyFile;
  std::string Record;
  bool Verbose = false;
};

std::string Pem(const std::string& ALabel, const TqmByteArray& ADer) {
  const std::string Base64 = EncodeBase64(ADer);
  std::string Text = "-----BEGIN " + ALabel + "-----\n";
  for (size_t I = 0; I < Base64.size(); I += 64) Text += Base64.substr(I, 64) + "\n";
  return Text + "-----END " + ALabel + "-----\n";
}

bool StartsWith(const TqmByteArray& AData, const TqmByteArray& APrefix) {
  return AData.size() >= APrefix.size() && std::equal(APrefix.begin(), APrefix.end(), AData.begin());
}

std::string ReadKeyFile(const std::string& APath) {
  std::ifstream In(APath, std::ios::binary);
  if (!In) throw TFailure("reading the key " + APath + ": " + std::strerror(errno));
  return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

// The record that publishes the public half of a key file: a private key
// (PEM of PKCS #1 or PKCS #8, RSA or Ed25519) or a public key ("BEGIN
// PUBLIC KEY").
void RecordForKey(const std::string& APath, TqmDkimKey& ARecord) {
  const std::string Text = ReadKeyFile(APath);
  ARecord.Clear();
  ARecord.Version = "DKIM1";
  const size_t Begin = Text.find("-----BEGIN PUBLIC KEY-----");
  if (Begin != std::string::npos) {
    const size_t Body = Text.find('\n', Begin);
    const size_t End = Text.find("-----END PUBLIC KEY-----");
    TqmByteArray Der;
    if (Body == std::string::npos || End == std::string::npos || End < Body ||
        !DecodeBase64(std::string_view(Text).substr(Body, End - Body), Der) || Der.empty())
      throw TFailure("reading the key " + APath + ": the public key is not valid base64");
    if (StartsWith(Der, kEd25519PublicPrefix) && Der.size() == kEd25519PublicPrefix.size() + 32) {
      ARecord.KeyType = "ed25519";
      ARecord.PublicKey = EncodeBase64(TqmByteArray(Der.begin() + static_cast<long>(kEd25519PublicPrefix.size()), Der.end()));
    } else {
      ARecord.KeyType = "rsa";
      ARecord.PublicKey = EncodeBase64(Der);
    }
    return;
  }
  TqmDkim Dkim;
  try {
    Dkim.LoadPrivateKeyFromText(Text);
  } catch (const Exception& E) {
    throw TFailure("reading the key " + APath + ": " + OneLine(E.Message()));
  }
  if (Dkim.Ed25519PrivateKey().HasKey()) {
    ARecord.KeyType = "ed25519";
    ARecord.PublicKey = EncodeBase64(Dkim.Ed25519PrivateKey().GetPublicKey());
  } else {
    ARecord.KeyType = "rsa";
    ARecord.PublicKey = EncodeBase64(Dkim.PrivateKey().GetPublicKeyInfo());
  }
}

// The record as a zone file line, in character strings of at most 255
// bytes, or (ARaw) the bare text for a provider's web form.
void PrintRecord(const TqmDkimKey& ARecord, const std::string& ASelector, const std::string& ADomain, bool ARaw) {
  const std::string Text = ARecord.BuildRecord();
  if (ARaw) {
    std::cout << Text << '\n';
    return;
  }
  std::cout << ASelector << "._domainkey." << ADomain << ". IN TXT";
  for (size_t I = 0; I < Text.size(); I += kCharacterStringSize)
    std::cout << " \"" << Text.substr(I, kCharacterStringSize) << '"';
  std::cout << '\n';
}

// Creates the file with owner-only access; an existing file is kept.
void WriteNewPrivateFile(const std::string& APath, const std::string& AText) {
  const int Fd = open(APath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (Fd < 0) {
    if (errno == EEXIST) throw TFailure("writing the key " + APath + ": the file exists (it is never replaced)");
    throw TFailure("writing the key " + APath + ": " + std::strerror(errno));
  }
  size_t Done = 0;
  while (Done < AText.size()) {
    const ssize_t N = write(Fd, AText.data() + Done, AText.size() - Done);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) {
      const int Error = errno;
      close(Fd);
      unlink(APath.c_str());
      throw TFailure("writing the key " + APath + ": " + std::strerror(Error));
    }
    Done += static_cast<size_t>(N);
  }
  if (fsync(Fd) != 0 || close(Fd) != 0) throw TFailure("writing the key " + APath + ": " + std::strerror(errno));
}

void RunKeygen(const TKeyOptions& AOptions) {
  TqmDkim Dkim;
  TqmDkimKey Record;
  Record.Version = "DKIM1";
  Record.KeyType = AOptions.Type;
  std::string PemText;
  if (AOptions.Type == "ed25519") {
    TqmEd25519Key& Key = Dkim.Ed25519PrivateKey();
    Key.GenerateKey();
    TqmByteArray Der = kEd25519PrivatePrefix;
    const TqmByteArray Seed = Key.GetPrivateKey();
    Der.insert(Der.end(), Seed.begin(), Seed.end());
    PemText = Pem("PRIVATE KEY", Der);
    Record.PublicKey = EncodeBase64(Key.GetPublicKey());
  } else {
    TqmRsaKey& Key = Dkim.PrivateKey();
    Key.SetKeySize(AOptions.Bits);
    Key.GenerateKey();
    PemText = Pem("RSA PRIVATE KEY", Key.GetRsaPrivateKey());
    Record.PublicKey = EncodeBase64(Key.GetPublicKeyInfo());
  }
  WriteNewPrivateFile(AOptions.KeyFile, PemText);
  PrintRecord(Record, AOptions.Selector, AOptions.Domain, AOptions.Raw);
}

void RunRecord(const TKeyOptions& AOptions) {
  TqmDkimKey Record;
  RecordForKey(AOptions.KeyFile, Record);
  PrintRecord(Record, AOptions.Selector, AOptions.Domain, AOptions.Raw);
}

void RunSign(const TSignOptions& AOptions) {
  const std::string Message = ReadInput(AOptions.Input);
  TqmDkim Dkim;
  try {
    Dkim.LoadPrivateKeyFromText(ReadKeyFile(AOptions.KeyFile));
  } catch (const Exception& E) {
    throw TFailure("reading the key " + AOptions.KeyFile + ": " + OneLine(E.Message()));
  }
  const bool Ed25519Key = Dkim.Ed25519PrivateKey().HasPrivateKey();
  std::string Algorithm = AOptions.Algorithm;
  if (Algorithm.empty()) Algorithm = Ed25519Key ? "ed25519-sha256" : "rsa-sha256";
  if ((Algorithm == "ed25519-sha256") != Ed25519Key)
    throw TUsageError("--algorithm " + Algorithm + " needs " + (Ed25519Key ? "an RSA" : "an Ed25519") + " key, and " +
                      AOptions.KeyFile + " holds " + (Ed25519Key ? "an Ed25519" : "an RSA") + " key");
  Dkim.SetSignatureAlgorithm(Algorithm);
  Dkim.SetDomain(AOptions.Domain);
  Dkim.SetSelector(AOptions.Selector);
  Dkim.SetCanonicalization(AOptions.Canonicalization);
  Dkim.SetUserIdentity(AOptions.Identity);
  if (!AOptions.Headers.empty()) {
    TStringList Names;
    size_t Start = 0;
    while (Start <= AOptions.Headers.size()) {
      const size_t Colon = std::min(AOptions.Headers.find(':', Start), AOptions.Headers.size());
      const std::string Name = Trim(AOptions.Headers.substr(Start, Colon - Start));
      if (!Name.empty()) Names.Add(Name);
      Start = Colon + 1;
    }
    Dkim.SetSignedHeaderFields(Names);
  }
  const TDateTime SignedAt = Now();
  Dkim.SetSignatureTimestamp(SignedAt);
  if (AOptions.ExpiresSeconds > 0)
    Dkim.SetSignatureExpiration(SignedAt + static_cast<double>(AOptions.ExpiresSeconds) / 86400.0);

  // The new field goes before the message, which follows byte for byte.
  std::string Signed;
  try {
    Signed = Dkim.SignText(Message);
  } catch (const Exception& E) {
    throw TFailure("signing " + (AOptions.Input == "-" ? std::string("stdin") : AOptions.Input) + ": " +
                   OneLine(E.Message()));
  }
  if (AOptions.Output.empty() || AOptions.Output == "-") {
    std::cout << Signed << std::flush;
    if (!std::cout) throw TFailure("writing the signed message: " + std::string(std::strerror(errno)));
    return;
  }
  std::ofstream Out(AOptions.Output, std::ios::binary | std::ios::trunc);
  Out << Signed;
  Out.close();
  if (!Out) throw TFailure("writing " + AOptions.Output + ": " + std::strerror(errno));
}

// RFC 8601's words for a signature's outcome.
enum class TOutcome { Pass, Fail, PermError, TempError };

const char* OutcomeName(TOutcome AOutcome) {
  switch (AOutcome) {
    case TOutcome::Pass: return "pass";
    case TOutcome::Fail: return "fail";
    case TOutcome::PermError: return "permerror";
    case TOutcome::TempError: return "temperror";
  }
  return "?";
}

// The component with the tool's key lookups: a key given on the command
// line for every signature, or DNS through the servers chosen, each
// signature's lookup failure kept with its reason.
class TCliDkim : public TqmDkim {
 public:
  struct TLookupFailure {
    TOutcome Outcome;
    std::string Reason;
  };
  std::optional<std::string> GivenRecord;
  std::vector<TDnsServer> Servers;
  bool Verbose = false;
  std::map<const TqmDkimSignature*, TLookupFailure> LookupFailures;

 protected:
  void LookupPublicKeys(TqmDkimSignature* ASignature, TqmDkimKeyList& AKeys) override {
    if (GivenRecord) {
      AKeys.Add(std::make_unique<TqmDkimKey>())->ParseRecord(*GivenRecord);
      return;
    }
    const std::string Name = Trim(ASignature->Selector) + "._domainkey." + Trim(ASignature->Domain);
    std::string Where;
    try {
      AskServers(DnsQuery(), Servers, [&] { TqmDkim::LookupPublicKeys(ASignature, AKeys); }, Where);
    } catch (const EqmSocketError& E) {
      // RFC 6376 section 6.1.2: no such name is a permanent failure, a
      // server that does not answer a temporary one.
      const bool NoSuchName = IsDnsAnswer(E) && E.ErrorCode() == 3;
      LookupFailures[ASignature] = {NoSuchName ? TOutcome::PermError : TOutcome::TempError,
                                    "looking up the key " + Name + " at " + Where + ": " + DnsErrorText(E)};
      throw;
    }
    if (Verbose) {
      for (int I = 0; I < AKeys.Count(); ++I)
        std::cerr << "< " << Name << " at " << Where << ": " << AKeys.Items(I)->BuildRecord() << '\n';
    }
    if (AKeys.Count() == 0)
      LookupFailures[ASignature] = {TOutcome::PermError, "no key record at " + Name + " (" + Where + ")"};
  }
};

void RunVerify(const TVerifyOptions& AOptions) {
  const std::string Message = ReadInput(AOptions.Input);
  const std::string Source = AOptions.Input == "-" ? std::string("stdin") : AOptions.Input;
  TCliDkim Dkim;
  Dkim.Verbose = AOptions.Verbose;
  if (!AOptions.KeyFile.empty()) {
    TqmDkimKey Record;
    RecordForKey(AOptions.KeyFile, Record);
    Dkim.GivenRecord = Record.BuildRecord();
  }
  if (!AOptions.Record.empty()) Dkim.GivenRecord = AOptions.Record;
  if (!Dkim.GivenRecord) {
    Dkim.Servers = DnsServers(AOptions.DnsServer);
    TqmDnsQuery& Query = Dkim.DnsQuery();
    Query.SetAutodetectServer(false);
    Query.SetTimeOut(static_cast<int>(AOptions.TimeOutSeconds * 1000));
    Query.SetProtocol(AOptions.Tcp ? dpUseTcp : dpAutodetect);
  }
  Dkim.SetVerifyMode(dvmVerifyAll);

  try {
    Dkim.VerifyText(Message);
  } catch (const Exception& E) {
    throw TFailure("verifying " + Source + ": " + OneLine(E.Message()));
  }
  TqmDkimSignatureList& Signatures = Dkim.Signatures();
  if (Signatures.Count() == 0) throw TFailure(Source + ": no DKIM-Signature field");

  int Passed = 0, Broken = 0;
  for (int I = 0; I < Signatures.Count(); ++I) {
    const TqmDkimSignature* Signature = Signatures[I];
    const TqmDkimSignatureVerifyStatus& Status = Signature->VerifyStatus;
    TOutcome Outcome = TOutcome::PermError;
    std::string Reason = Status.StatusText();
    if (Status.Status() == dvsVerified) {
      Outcome = TOutcome::Pass;
    } else if (const auto Failure = Dkim.LookupFailures.find(Signature); Failure != Dkim.LookupFailures.end()) {
      Outcome = Failure->second.Outcome;
      Reason = Failure->second.Reason;
    } else if (Status.ErrorCode() == DKIM_E_BODY_HASH || Status.ErrorCode() == CRYPT_E_BAD_SIGNATURE) {
      // The message is not what was signed.
      Outcome = TOutcome::Fail;
    }
    if (Outcome == TOutcome::Pass) ++Passed;
    if (Outcome == TOutcome::Fail) ++Broken;
    std::cout << OutcomeName(Outcome) << " d=" << Trim(Signature->Domain) << " s=" << Trim(Signature->Selector)
              << " a=" << Trim(Signature->SignatureAlgorithm)
              << " c=" << (Trim(Signature->Canonicalization).empty() ? "simple/simple" : Trim(Signature->Canonicalization));
    if (Outcome != TOutcome::Pass) std::cout << ": " << OneLine(Reason.empty() ? "not verified" : Reason);
    std::cout << '\n';
  }
  std::cout << std::flush;
  if (Broken > 0)
    throw TFailure(Source + ": " + std::to_string(Broken) + " of " + std::to_string(Signatures.Count()) +
                   (Signatures.Count() == 1 ? " signature does" : " signatures do") + " not match the message");
  if (Passed == 0) throw TFailure(Source + ": no signature verifies");
}

void AddKeyOptions(CLI::App& AApp, TKeyOptions& AOptions) {
  AApp.add_option("-d,--domain", AOptions.Domain, "The signing domain (d=)")->required();
  AApp.add_option("-s,--selector", AOptions.Selector, "The selector (s=)")->required();
  AApp.add_flag("--raw", AOptions.Raw, "Print only the record's text, not a zone file line");
}

}  // namespace

TSubcommand AddDkimCommand(CLI::App& AParent) {
  CLI::App* App = AParent.add_subcommand("dkim", "Make DKIM keys and their DNS records, sign and verify messages");
  App->require_subcommand(1, 1);
  App->footer(
      "Examples:\n"
      "  qm dkim keygen -d example.org -s mail2026 -k mail2026.pem\n"
      "  qm dkim sign -d example.org -s mail2026 -k mail2026.pem message.eml > signed.eml\n"
      "  qm dkim verify signed.eml\n");

  auto Key = std::make_shared<TKeyOptions>();
  CLI::App* Keygen = App->add_subcommand(
      "keygen", "Make a private key, write it to a new file, print the TXT record that publishes it");
  Keygen->footer("The record is printed as a zone file line, its text cut into strings of 255 bytes;\n"
                 "publish it at SELECTOR._domainkey.DOMAIN.");
  Keygen->add_option("-t,--type", Key->Type, "Key type")->check(CLI::IsMember({"rsa", "ed25519"}))->capture_default_str();
  Keygen->add_option("-b,--bits", Key->Bits, "RSA key size")->check(CLI::Range(1024, 8192))->capture_default_str();
  Keygen->add_option("-k,--key", Key->KeyFile, "The private key file to write (PEM, mode 0600, never replaced)")
      ->required();
  AddKeyOptions(*Keygen, *Key);

  auto Record = std::make_shared<TKeyOptions>();
  CLI::App* RecordCommand =
      App->add_subcommand("record", "Print the TXT record that publishes the public half of a key file");
  RecordCommand->add_option("-k,--key", Record->KeyFile, "A private key (PEM, RSA or Ed25519) or a public key PEM")
      ->required()
      ->check(CLI::ExistingFile);
  AddKeyOptions(*RecordCommand, *Record);

  auto Sign = std::make_shared<TSignOptions>();
  CLI::App* SignCommand = App->add_subcommand("sign", "Sign a message: writes it with a DKIM-Signature field on top");
  SignCommand->footer("The message is written unchanged after the new field, with its own line breaks.");
  SignCommand->add_option("message", Sign->Input, "The message file (.eml), or - for stdin")
      ->required()
      ->check(FileOrStdin());
  SignCommand->add_option("-d,--domain", Sign->Domain, "The signing domain (d=)")->required();
  SignCommand->add_option("-s,--selector", Sign->Selector, "The selector (s=)")->required();
  SignCommand->add_option("-k,--key", Sign->KeyFile, "The private key (PEM, RSA or Ed25519)")
      ->required()
      ->check(CLI::ExistingFile);
  SignCommand->add_option("-a,--algorithm", Sign->Algorithm, "Signature algorithm (default: by the key)")
      ->check(CLI::IsMember({"rsa-sha256", "rsa-sha1", "ed25519-sha256"}));
  SignCommand->add_option("-c,--canonicalization", Sign->Canonicalization, "HEADER/BODY canonicalization")
      ->check(CLI::IsMember({"simple/simple", "simple/relaxed", "relaxed/simple", "relaxed/relaxed", "simple",
                             "relaxed"}))
      ->capture_default_str();
  SignCommand->add_option("-H,--headers", Sign->Headers,
                          "Header fields to sign, separated by ':' (must include From;\n"
                          "default Date:From:To:Subject:MIME-Version:Content-Type)");
  SignCommand->add_option("-i,--identity", Sign->Identity, "The agent or user identity (i=), in the domain");
  SignCommand->add_option("--expires", Sign->ExpiresSeconds, "The signature expires this many seconds after signing (x=)")
      ->check(CLI::Range(int64_t{1}, int64_t{100} * 365 * 86400));
  SignCommand->add_option("-o,--output", Sign->Output, "Write the signed message here (default: stdout)");

  auto Verify = std::make_shared<TVerifyOptions>();
  CLI::App* VerifyCommand = App->add_subcommand("verify", "Verify every DKIM signature of a message");
  VerifyCommand->footer(
      "One line per signature: RESULT d=DOMAIN s=SELECTOR a=ALGORITHM c=CANONICALIZATION[: reason], where\n"
      "RESULT is pass; fail (the message is not what was signed); permerror (the signature or its key\n"
      "cannot be used: bad syntax, no key record, revoked key...); or temperror (no name server answered).\n"
      "Exit status 0 when at least one signature passes and none fails; 1 otherwise (also for a message\n"
      "without signatures). Signatures that cannot be checked (perm/temperror) do not count against it.");
  VerifyCommand->add_option("message", Verify->Input, "The message file (.eml), or - for stdin")
      ->required()
      ->check(FileOrStdin());
  VerifyCommand->add_option("--dns-server", Verify->DnsServer,
                            "Name server for the key records: HOST, HOST:PORT or [IPV6]:PORT\n"
                            "(default: those of /etc/resolv.conf)");
  VerifyCommand->add_option("--timeout", Verify->TimeOutSeconds, "Seconds to wait for each name server")
      ->check(PositiveSeconds())
      ->capture_default_str();
  VerifyCommand->add_flag("--tcp", Verify->Tcp, "Ask the name server over TCP");
  auto* KeyFile = VerifyCommand->add_option("-k,--key-file", Verify->KeyFile,
                                            "Verify offline with this key (private or public PEM) for every signature")
                      ->check(CLI::ExistingFile);
  VerifyCommand->add_option("--record", Verify->Record,
                            "Verify offline with this key record text (\"v=DKIM1; k=rsa; p=...\")")
      ->excludes(KeyFile);
  VerifyCommand->add_flag("-v,--verbose", Verify->Verbose, "Show the key records found on stderr");

  return {App, [Keygen, RecordCommand, SignCommand, VerifyCommand, Key, Record, Sign, Verify] {
            if (Keygen->parsed()) RunKeygen(*Key);
            if (RecordCommand->parsed()) RunRecord(*Record);
            if (SignCommand->parsed()) RunSign(*Sign);
            if (VerifyCommand->parsed()) RunVerify(*Verify);
          }};
}

}  // namespace qm::cli
