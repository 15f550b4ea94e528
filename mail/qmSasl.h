// The strings and digests of the login mechanisms, the NTLM exchange, and
// the order in which the POP3 and SMTP clients choose a mechanism. No I/O
// here: the clients put these texts into their command exchanges (the
// NTLM exchange sends through a function the client hands it).
#pragma once

#include <functional>
#include <string>

#include "core/qmStrings.h"

namespace qm {

/// A login mechanism: smNone (no login), smLogin (AUTH LOGIN), smCramMd5,
/// smNtlm, smXOAuth2, smApop (POP3), smUnavailable (nothing usable: the
/// login raises qmSaslUnavailableCode), smPlain (RFC 4616), smOAuthBearer
/// (RFC 7628), smScramSha1 and smScramSha256 (RFC 5802, RFC 7677).
enum TqmSaslMechanism {
  smNone,
  smLogin,
  smCramMd5,
  smNtlm,
  smXOAuth2,
  smApop,
  smUnavailable,
  smPlain,
  smOAuthBearer,
  smScramSha1,
  smScramSha256
};

/// The name servers announce for a SASL mechanism ("SCRAM-SHA-256");
/// empty for smNone, smApop and smUnavailable.
std::string SaslMechanismName(TqmSaslMechanism AMechanism);
/// The mechanism of a name (any case), smNone for an unknown one.
TqmSaslMechanism SaslMechanismOf(const std::string& AName);

/// Whether a login may send the password itself (USER/PASS, LOGIN, PLAIN)
/// on a connection without TLS:
/// - ptlNever: never; such a login fails with qmPlainTextLoginCode
///   instead (over TLS they are used as usual);
/// - ptlClassic (the default): the logins the clients always had stay as
///   they were, USER/PASS for POP3 and LOGIN for SMTP; the SASL choice
///   takes PLAIN and LOGIN from the server's list only over TLS;
/// - ptlAlways: PLAIN and LOGIN are chosen from the list without TLS too.
enum TqmPlainTextLogin { ptlNever, ptlClassic, ptlAlways };

/// What the choice among the server's mechanisms depends on.
struct TqmSaslChoice {
  bool HasToken = false;  ///< An OAuth value (Authorization) is set.
  bool Tls = false;       ///< The connection is protected by TLS.
  TqmPlainTextLogin PlainText = ptlClassic;  ///< When PLAIN and LOGIN may be chosen.
  /// The caller's own list (SaslMechanisms): names separated by spaces,
  /// in the order of preference; empty: the default order.
  std::string Preferred;
};
/// The first mechanism of the order that AOffered holds (whole names, any
/// case), smNone when there is none. The default order, strongest first:
/// with a token OAUTHBEARER and XOAUTH2 (giving a token chooses OAuth);
/// then SCRAM-SHA-256, SCRAM-SHA-1 (the password never crosses the wire
/// and the server proves it knows it), NTLM, CRAM-MD5, and PLAIN and LOGIN
/// when the plain-text rule allows them (over TLS, or with ptlAlways).
/// With APreferred, its names in its order, under the same rule.
TqmSaslMechanism SaslChooseMechanism(const TStrings& AOffered, const TqmSaslChoice& AChoice);

/// "user=" UserName ^A "auth=" Authorization ^A ^A as one line of base64.
std::string SaslXOAuth2String(const std::string& AUserName, const std::string& AAuthorization);
/// The answer to a CRAM-MD5 challenge (base64, spaces and breaks ignored):
/// base64 of UserName, a space and the lower-case HMAC-MD5 of the challenge
/// keyed with Password (empty digest when challenge or password is empty).
std::string SaslCramMd5Response(const std::string& AChallenge, const std::string& AUserName,
                                const std::string& APassword);
/// Lower-case MD5 of TimeStamp followed by Password; empty without a
/// timestamp.
std::string SaslApopDigest(const std::string& ATimeStamp, const std::string& APassword);
/// One line of base64 (the LOGIN mechanism's user name and password lines).
std::string SaslBase64Line(const std::string& AText);

/// The server answered a token with a continuation that holds no challenge.
constexpr int qmNtlmEmptyChallengeCode = -402;
extern const char* const qmNtlmEmptyChallenge;  ///< Message of that error.

/// What the NTLM exchange needs of a protocol: the code that continues the
/// exchange, the code of success, and where the challenge starts in the
/// text of a continuation reply.
struct TqmNtlmReplyCodes {
  int Continue;           ///< The reply code that asks for the next token (POP3 30, SMTP 334).
  int Success;            ///< The reply code of a completed login (POP3 10, SMTP 235).
  size_t ChallengeStart;  ///< Where the base64 challenge starts in a continuation reply.
};
/// Sends one line with the only reply code it accepts (a reply with another
/// code raises) and returns the text of the reply.
using TqmSaslSendLine = std::function<std::string(const std::string& ALine, int AOkCode)>;
/// The NTLM exchange after the protocol's "AUTH NTLM": each token goes out as
/// one line of base64 through ASendLine, intermediate ones with the
/// continuation code, the last one (when the exchange ends with a token)
/// with the success code. An empty AUserName logs in with the running user's
/// default NTLM credentials. ATarget names the server as "service@host".
void SaslNtlmExchange(const std::string& AUserName, const std::string& APassword, const std::string& ATarget,
                      const TqmNtlmReplyCodes& ACodes, const TqmSaslSendLine& ASendLine);

/// True when AMethods holds AName as a whole entry, ignoring case.
bool SaslHasMechanism(const TStrings& AMethods, const std::string& AName);

/// The first clients' choice, kept for callers: the clients now choose with
/// SaslChooseMechanism().
/// POP3 with UseSasl, after "AUTH" was answered: AAuthListed says whether
/// it was answered "+OK" with the list AMethods. smUnavailable stands for
/// the -400 error. (A non-empty Authorization is XOAUTH2 before any query.)
TqmSaslMechanism ChoosePop3Mechanism(bool AAuthListed, const TStrings& AMethods, bool ASaslOnly);
/// SMTP after EHLO with credentials: smNone skips the login, smUnavailable
/// stands for the -400 error.
TqmSaslMechanism ChooseSmtpMechanism(bool AHasAuthExtension, const TStrings& AMethods,
                                     const std::string& AAuthorization, bool AUseSasl,
                                     bool ASaslOnly);

}  // namespace qm
