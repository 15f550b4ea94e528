#include "mail/qmSasl.h"

#include <optional>
#include <vector>

#include "core/qmStream.h"
#include "core/qmSysUtils.h"
#include "crypto/qmCryptHash.h"
#include "crypto/qmCryptMac.h"
#include "mail/qmNtlmClient.h"
#include "message/qmEncoder.h"
#include "message/qmUtils.h"
#include "net/qmTcpClient.h"

namespace qm {

std::string SaslBase64Line(const std::string& AText) { return TqmEncoder::EncodeString(AText, cmBase64); }

std::string SaslXOAuth2String(const std::string& AUserName, const std::string& AAuthorization) {
  return SaslBase64Line("user=" + AUserName + "\x01" + "auth=" + AAuthorization + "\x01\x01");
}

std::string SaslCramMd5Response(const std::string& AChallenge, const std::string& AUserName,
                                const std::string& APassword) {
  const std::string Challenge = TqmEncoder::DecodeString(AChallenge, cmBase64);
  return SaslBase64Line(AUserName + " " + HmacMd5Hex(Challenge, APassword));
}

std::string SaslApopDigest(const std::string& ATimeStamp, const std::string& APassword) {
  if (ATimeStamp.empty()) return std::string();
  return Md5Hex(ATimeStamp + APassword);
}

const char* const qmNtlmEmptyChallenge = "The server sent no NTLM challenge";

void SaslNtlmExchange(const std::string& AUserName, const std::string& APassword, const std::string& ATarget,
                      const TqmNtlmReplyCodes& ACodes, const TqmSaslSendLine& ASendLine) {
  TqmNtlmClient Client;
  TMemoryStream Token;
  std::optional<TqmAuthIdentity> Identity;
  if (!AUserName.empty()) Identity.emplace(AUserName, APassword);
  TqmEncoder Encoder;
  Encoder.SetEncodeMethod(cmBase64);
  Encoder.SetSuppressCrlf(true);
  while (!Client.GenerateNtlmToken(Token, Identity ? &*Identity : nullptr, ATarget)) {
    const std::string Reply = ASendLine(Encoder.EncodeToString(Token), ACodes.Continue);
    Token.Clear();
    if (Reply.size() > ACodes.ChallengeStart) Encoder.DecodeToStream(Reply.substr(ACodes.ChallengeStart), Token);
    // No input would start the exchange over, and a server that keeps
    // answering so would keep the client in the loop.
    if (Token.Size() == 0) throw EqmTcpClientError(qmNtlmEmptyChallenge, qmNtlmEmptyChallengeCode);
    Token.SetPosition(0);
  }
  if (Token.Size() > 0) ASendLine(Encoder.EncodeToString(Token), ACodes.Success);
}

bool SaslHasMechanism(const TStrings& AMethods, const std::string& AName) {
  for (int I = 0; I < AMethods.Count(); ++I)
    if (SameText(AMethods.Get(I), AName)) return true;
  return false;
}

TqmSaslMechanism ChoosePop3Mechanism(bool AAuthListed, const TStrings& AMethods, bool ASaslOnly) {
  if (AAuthListed) {
    if (SaslHasMechanism(AMethods, "NTLM")) return smNtlm;
    if (SaslHasMechanism(AMethods, "CRAM-MD5")) return smCramMd5;
  }
  return ASaslOnly ? smUnavailable : smApop;
}

TqmSaslMechanism ChooseSmtpMechanism(bool AHasAuthExtension, const TStrings& AMethods,
                                     const std::string& AAuthorization, bool AUseSasl,
                                     bool ASaslOnly) {
  if (!AHasAuthExtension) return AUseSasl && ASaslOnly ? smUnavailable : smNone;
  if (!AUseSasl) return smLogin;
  if (!AAuthorization.empty() &&
      (SaslHasMechanism(AMethods, "XOAUTH2") || SaslHasMechanism(AMethods, "OAUTHBEARER")))
    return smXOAuth2;
  if (SaslHasMechanism(AMethods, "NTLM")) return smNtlm;
  if (SaslHasMechanism(AMethods, "CRAM-MD5")) return smCramMd5;
  return ASaslOnly ? smUnavailable : smLogin;
}

namespace {

struct TMechanismName {
  TqmSaslMechanism Mechanism;
  const char* Name;
};
constexpr TMechanismName GMechanismNames[] = {
    {smScramSha256, "SCRAM-SHA-256"}, {smScramSha1, "SCRAM-SHA-1"}, {smOAuthBearer, "OAUTHBEARER"},
    {smXOAuth2, "XOAUTH2"},           {smNtlm, "NTLM"},             {smCramMd5, "CRAM-MD5"},
    {smPlain, "PLAIN"},               {smLogin, "LOGIN"}};

}  // namespace

std::string SaslMechanismName(TqmSaslMechanism AMechanism) {
  for (const TMechanismName& M : GMechanismNames)
    if (M.Mechanism == AMechanism) return M.Name;
  return std::string();
}

TqmSaslMechanism SaslMechanismOf(const std::string& AName) {
  for (const TMechanismName& M : GMechanismNames)
    if (SameText(AName, M.Name)) return M.Mechanism;
  return smNone;
}

TqmSaslMechanism SaslChooseMechanism(const TStrings& AOffered, const TqmSaslChoice& AChoice) {
  std::vector<TqmSaslMechanism> Order;
  if (!AChoice.Preferred.empty()) {
    for (int W = 1, N = WordCount(AChoice.Preferred, " "); W <= N; ++W)
      Order.push_back(SaslMechanismOf(ExtractWord(W, AChoice.Preferred, " ")));
  } else {
    if (AChoice.HasToken) Order = {smOAuthBearer, smXOAuth2};
    for (TqmSaslMechanism M : {smScramSha256, smScramSha1, smNtlm, smCramMd5, smPlain, smLogin}) Order.push_back(M);
  }
  const bool PlainTextAllowed = AChoice.Tls || AChoice.PlainText == ptlAlways;
  for (TqmSaslMechanism M : Order) {
    if (M == smNone || ((M == smPlain || M == smLogin) && !PlainTextAllowed)) continue;
    if (SaslHasMechanism(AOffered, SaslMechanismName(M))) return M;
  }
  return smNone;
}

}  // namespace qm
