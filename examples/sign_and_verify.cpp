// Signs a message with DKIM (RSA-SHA256, relaxed/relaxed) and verifies
// the result, with the public key fetched from the domain's DNS TXT record
// SELECTOR._domainkey.DOMAIN by the library's resolver. Then it verifies a
// copy whose body was changed after signing, which must fail.
//
//   sign_and_verify private.pem example.org sel message.eml signed.eml
//       [DNS-SERVER DNS-PORT]                                (one line)
//
// Publish the key first: "v=DKIM1; k=rsa; p=<base64 of the public key's
// DER>" (qm dkim record prints it).
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "core/qmStrings.h"
#include "dkim/qmDkim.h"
#include "dkim/qmDkimSignature.h"
#include "dns/qmDnsQuery.h"

namespace {

// One line per signature: "pass d=... s=..." or "fail d=... s=...: why".
bool Report(const char* AWhat, qm::TqmDkim& ADkim) {
  bool AllPassed = ADkim.Signatures().Count() > 0;
  for (int I = 0; I < ADkim.Signatures().Count(); ++I) {
    const qm::TqmDkimSignature* Signature = ADkim.Signatures().Items(I);
    const bool Passed = Signature->VerifyStatus.Status() == qm::dvsVerified;
    AllPassed = AllPassed && Passed;
    std::cout << AWhat << ": " << (Passed ? "pass" : "fail") << " d=" << Signature->Domain
              << " s=" << Signature->Selector;
    if (!Passed) std::cout << ": " << Signature->VerifyStatus.StatusText();
    std::cout << '\n';
  }
  return AllPassed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6 && argc != 8) {
    std::cerr << "usage: sign_and_verify KEY.pem DOMAIN SELECTOR MESSAGE SIGNED-OUT [DNS-SERVER DNS-PORT]\n";
    return 2;
  }
  std::ifstream In(argv[4], std::ios::binary);
  std::stringstream Text;
  Text << In.rdbuf();
  // A message as lines: the header, an empty line, the body.
  qm::TStringList Lines;
  Lines.SetText(Text.str());

  qm::TqmDkim Dkim;
  try {
    Dkim.LoadPrivateKeyFromFile(argv[1]);
    Dkim.SetDomain(argv[2]);
    Dkim.SetSelector(argv[3]);
    Dkim.SetSignatureAlgorithm("rsa-sha256");
    Dkim.SetCanonicalization("relaxed/relaxed");
    // The DKIM-Signature field becomes the first line of the message.
    Dkim.Sign(Lines);
  } catch (const qm::Exception& E) {
    std::cerr << "sign_and_verify: signing: " << E.Message() << '\n';
    return 1;
  }
  std::ofstream(argv[5], std::ios::binary) << Lines.Text();
  std::cout << "signed: " << Lines.Get(0).substr(0, 60) << "...\n";

  if (argc == 8) {
    Dkim.DnsQuery().SetServer(argv[6]);
    Dkim.DnsQuery().SetPort(std::stoi(argv[7]));
  }
  // Verify's default mode (dvmVerifyUntilFail) stops at the first
  // signature that fails and raises its error. dvmVerifyAll checks every
  // signature and leaves each verdict in Signatures(): what a program that
  // reports results wants.
  Dkim.SetVerifyMode(qm::dvmVerifyAll);
  try {
    Dkim.Verify(Lines);
  } catch (const qm::Exception& E) {
    std::cerr << "sign_and_verify: verifying: " << E.Message() << '\n';
    return 1;
  }
  const bool Good = Report("signed message", Dkim);

  // Change one body line after signing: the body hash no longer matches.
  for (int I = 0; I < Lines.Count(); ++I) {
    if (!Lines.Get(I).empty()) continue;
    if (I + 1 < Lines.Count()) Lines.Put(I + 1, Lines.Get(I + 1) + " (changed)");
    break;
  }
  Dkim.Verify(Lines);
  const bool Tampered = Report("changed message", Dkim);
  return Good && !Tampered ? 0 : 1;
}
