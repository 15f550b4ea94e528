#include "net/qmTlsSettings.h"

namespace qm {

TqmTlsFlags TqmTlsSettings::EffectiveTlsFlags() const {
  // The flags cap the version. UseSystemTLSFlags adds TLS 1.3 to the
  // default set only: a caller who chose the versions (TLS 1.2 alone, say)
  // gets exactly those, and names tfUseTLS13 to have it.
  TqmTlsFlags Enabled = TLSFlags;
  if (UseSystemTLSFlags && TLSFlags == qmDefaultTlsFlags) Enabled |= tfUseTLS13;
  return Enabled;
}

}  // namespace qm
