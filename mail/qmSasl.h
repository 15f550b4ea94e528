// The strings and digests of the login mechanisms, and the order in which
// the POP3 and SMTP clients choose a mechanism. No I/O here: the clients
// put these texts into their command exchanges.
#pragma once

#include <string>

#include "core/qmStrings.h"

namespace qm {

enum TqmSaslMechanism { smNone, smLogin, smCramMd5, smNtlm, smXOAuth2, smApop, smUnavailable };

// "user=" UserName ^A "auth=" Authorization ^A ^A as one line of base64.
std::string SaslXOAuth2String(const std::string& AUserName, const std::string& AAuthorization);
// The answer to a CRAM-MD5 challenge (base64, spaces and breaks ignored):
// base64 of UserName, a space and the lower-case HMAC-MD5 of the challenge
// keyed with Password (empty digest when challenge or password is empty).
std::string SaslCramMd5Response(const std::string& AChallenge, const std::string& AUserName,
                                const std::string& APassword);
// Lower-case MD5 of TimeStamp followed by Password; empty without a
// timestamp.
std::string SaslApopDigest(const std::string& ATimeStamp, const std::string& APassword);
// One line of base64 (the LOGIN mechanism's user name and password lines).
std::string SaslBase64Line(const std::string& AText);

// True when AMethods holds AName as a whole entry, ignoring case.
bool SaslHasMechanism(const TStrings& AMethods, const std::string& AName);

// POP3 with UseSasl, after "AUTH" was answered: AAuthListed says whether
// it was answered "+OK" with the list AMethods. smUnavailable stands for
// the -400 error. (A non-empty Authorization is XOAUTH2 before any query.)
TqmSaslMechanism ChoosePop3Mechanism(bool AAuthListed, const TStrings& AMethods, bool ASaslOnly);
// SMTP after EHLO with credentials: smNone skips the login, smUnavailable
// stands for the -400 error.
TqmSaslMechanism ChooseSmtpMechanism(bool AHasAuthExtension, const TStrings& AMethods,
                                     const std::string& AAuthorization, bool AUseSasl,
                                     bool ASaslOnly);

}  // namespace qm
