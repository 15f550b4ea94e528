/// \file
/// What a mail message needs of the component that signs and verifies it.
#pragma once

#include <string_view>

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
  /// Checks a message read from text. Unlike its lines, the text tells
  /// whether the last line ended with a line break, which the relaxed
  /// body form depends on.
  virtual void VerifyMessageText(std::string_view AText) = 0;

 protected:
  ~TqmMessageAuthenticator() = default;
};

}  // namespace qm
