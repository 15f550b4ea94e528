/// \file
/// What a mail message needs of the component that signs and verifies it.
#pragma once

#include "core/qmStrings.h"

namespace qm {

/// Signs a message's rendered lines and verifies the lines of a message
/// read. The DKIM component implements it; the message calls it through
/// this interface so that message/ does not depend on the folder of the
/// component.
class TqmMessageAuthenticator {
 public:
  /// Signs ALines (header lines, an empty line, body lines) in place.
  virtual void SignMessage(TStrings& ALines) = 0;
  /// Checks the lines of a message read; ALines stay unchanged.
  virtual void VerifyMessage(TStrings& ALines) = 0;

 protected:
  ~TqmMessageAuthenticator() = default;
};

}  // namespace qm
