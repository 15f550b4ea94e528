#include "crypto/qmConfig.h"

#include "core/qmSysUtils.h"
#include "crypto/qmCryptHash.h"
#include "crypto/qmCryptEd25519.h"
#include "crypto/qmCryptSignature.h"
#include "dkim/qmDkimCanonicalizer.h"

namespace qm {

int TqmConfig::IndexOfType(const std::string& AName) const {
  for (size_t I = 0; I < FTypes.size(); ++I)
    if (SameText(FTypes[I].first, AName)) return static_cast<int>(I);
  return -1;
}

void TqmConfig::SetType(const std::string& AName, TqmConfigObjectClass AClass) {
  int I = IndexOfType(AName);
  if (!AClass) {
    if (I >= 0) FTypes.erase(FTypes.begin() + I);
    return;
  }
  if (I >= 0)
    FTypes[static_cast<size_t>(I)].second = std::move(AClass);
  else
    FTypes.emplace_back(AName, std::move(AClass));
}

bool TqmConfig::HasType(const std::string& AName) const { return IndexOfType(AName) >= 0; }

std::unique_ptr<TqmConfigObject> TqmConfig::CreateInstance(const std::string& AName) {
  int I = IndexOfType(AName);
  if (I < 0) return nullptr;
  return FTypes[static_cast<size_t>(I)].second();
}

std::string TqmConfig::GetConfig(const std::string& AName) { return FSettings.Values(AName); }

TqmDkimConfig::TqmDkimConfig() {
  SetType("sha1", ConfigClassOf<TqmSha1>());
  SetType("sha256", ConfigClassOf<TqmSha256>());
  SetType("rsa-sha1", ConfigClassOf<TqmSignatureRsaSha1>());
  SetType("rsa-sha256", ConfigClassOf<TqmSignatureRsaSha256>());
  SetType("simple", ConfigClassOf<TqmDkimSimpleCanonicalizer>());
  SetType("relaxed", ConfigClassOf<TqmDkimRelaxedCanonicalizer>());
  SetType("rsa", ConfigClassOf<TqmOpenSslRsaKey>());
  // Beyond RSA: RFC 8463.
  SetType("ed25519-sha256", ConfigClassOf<TqmSignatureEd25519Sha256>());
  SetType("ed25519", ConfigClassOf<TqmEd25519Key>());
}

}  // namespace qm
