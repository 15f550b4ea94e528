// The class registry of the DKIM component.
#pragma once

#include "crypto/qmConfig.h"

namespace qm {

/// The registry the DKIM component uses: hashes, signatures, key types and
/// canonicalizers by their DKIM names. It lives with DKIM because the
/// canonicalizers do; the hashes, signatures and keys come from crypto/.
class TqmDkimConfig : public TqmConfig {
 public:
  /// Registers the hashes "sha1" and "sha256", the signatures "rsa-sha1",
  /// "rsa-sha256" and "ed25519-sha256", the keys "rsa" and "ed25519", and
  /// the canonicalizers "simple" and "relaxed".
  TqmDkimConfig();
};

}  // namespace qm
