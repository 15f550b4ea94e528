#include "mail/qmSasl.h"

#include "core/qmSysUtils.h"
#include "crypto/qmCryptHash.h"
#include "crypto/qmCryptMac.h"
#include "message/qmEncoder.h"

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

}  // namespace qm
