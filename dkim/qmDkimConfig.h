// The class registry of the DKIM component.
#pragma once

#include "crypto/qmConfig.h"

namespace qm {

// The registry the DKIM component uses: hashes, signatures, key types and
// canonicalizers by their DKIM names. It lives with DKIM because the
// canonicalizers do; the hashes, signatures and keys come from crypto/.
class TqmDkimConfig : public TqmConfig {
 public:
  TqmDkimConfig();
};

}  // namespace qm
