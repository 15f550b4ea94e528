#include "dkim/qmDkimConfig.h"

#include "crypto/qmCryptEd25519.h"
#include "crypto/qmCryptHash.h"
#include "crypto/qmCryptSignature.h"
#include "dkim/qmDkimCanonicalizer.h"

namespace qm {

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
