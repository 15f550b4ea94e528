// Canonicalization and verification of arbitrary messages: both
// canonicalizers, their invariants, and TqmDkim::Verify with a fixed key,
// which must record a status for every DKIM-Signature and never crash.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/qmStrings.h"
#include "crypto/qmCryptSignature.h"
#include "dkim/qmDkim.h"
#include "dkim/qmDkimCanonicalizer.h"

using namespace qm;

namespace {
TqmByteArray& PublicKey() {
  static TqmByteArray Key = [] {
    TqmOpenSslRsaKey Rsa;
    Rsa.SetKeySize(1024);
    Rsa.GenerateKey();
    return Rsa.GetPublicKeyInfo();
  }();
  return Key;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string Text(reinterpret_cast<const char*>(Data), Size);
  TStringList Lines;
  Lines.SetText(Text);
  TStringList Names;
  Names.SetText("From\nto\nSubject\nFrom\nDKIM-Signature\nReceived");

  TqmDkimSimpleCanonicalizer Simple;
  TqmDkimRelaxedCanonicalizer Relaxed;
  Simple.CanonicalizeHeader(Lines, Names);
  const std::string RelaxedHeader = Relaxed.CanonicalizeHeader(Lines, Names);
  const std::string SimpleBody = Simple.CanonicalizeBody(Lines);
  const std::string RelaxedBody = Relaxed.CanonicalizeBody(Lines);
  // Bodies end in exactly one CR LF (or are empty under relaxed); relaxed
  // lines carry no trailing white space.
  auto EndsRight = [](const std::string& ABody) {
    return ABody.size() >= 2 && ABody.compare(ABody.size() - 2, 2, "\r\n") == 0 &&
           (ABody.size() < 4 || ABody.compare(ABody.size() - 4, 4, "\r\n\r\n") != 0 || ABody == "\r\n");
  };
  if (!EndsRight(SimpleBody) || (!RelaxedBody.empty() && !EndsRight(RelaxedBody))) __builtin_trap();
  if (RelaxedBody.find(" \r\n") != std::string::npos ||
      RelaxedHeader.find(" \r\n") != std::string::npos)
    __builtin_trap();
  // Taken as a file whose last line has no line break: simple does not
  // change, and relaxed may keep one space, before its final CR LF only.
  if (Simple.CanonicalizeBody(Lines, true) != SimpleBody) __builtin_trap();
  const std::string Unended = Relaxed.CanonicalizeBody(Lines, true);
  const size_t Space = Unended.find(" \r\n");
  if (Space != std::string::npos && Space + 3 != Unended.size()) __builtin_trap();
  if (Space == std::string::npos && Unended != RelaxedBody) __builtin_trap();

  TqmDkim Dkim;
  Dkim.SetVerifyMode(dvmVerifyAll);
  Dkim.OnGetPublicKey = [](TObject*, TqmDkimSignature*, TqmByteArray& AKey) { AKey = PublicKey(); };
  for (bool AsText : {false, true}) {
    if (AsText)
      Dkim.VerifyText(Text);
    else
      Dkim.Verify(Lines);
    for (int I = 0; I < Dkim.Signatures().Count(); ++I)
      if (Dkim.Signatures()[I]->VerifyStatus.Status() == dvsUnverified) __builtin_trap();
  }
  return 0;
}
