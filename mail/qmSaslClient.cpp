#include "mail/qmSaslClient.h"

#include "core/qmSysUtils.h"
#include "crypto/qmCryptMac.h"
#include "mail/qmSaslScram.h"
#include "message/qmEncoder.h"
#include "net/qmTcpClient.h"

namespace qm {

const char* const qmSaslBadServerMessage = "Malformed SASL message from the server: %s";
const char* const qmSaslServerNotVerified =
    "The server did not prove that it knows the password (SCRAM server signature missing or wrong)";
const char* const qmSaslServerError = "The server refused the login: %s";
const char* const qmSaslProhibited = "The user name or password holds a character SASLprep prohibits";

namespace {

// A server that keeps challenging would keep the client in the exchange;
// the longest real one (SCRAM) takes two rounds, NTLM's has its own loop.
constexpr int qmSaslMaxRounds = 8;

// saslname of RFC 5802 and RFC 7628: "=" and "," written as =3D and =2C.
std::string SaslName(const std::string& AName) {
  std::string Out;
  for (char C : AName) {
    if (C == '=')
      Out += "=3D";
    else if (C == ',')
      Out += "=2C";
    else
      Out += C;
  }
  return Out;
}

}  // namespace

TqmSaslPlain::TqmSaslPlain(std::string AUserName, std::string APassword, std::string AAuthorizationId)
    : FUserName(std::move(AUserName)), FPassword(std::move(APassword)), FAuthorizationId(std::move(AAuthorizationId)) {}

std::optional<std::string> TqmSaslPlain::InitialResponse() {
  return FAuthorizationId + '\0' + FUserName + '\0' + FPassword;
}

std::string TqmSaslPlain::Step(std::string_view) { return *InitialResponse(); }

TqmSaslLogin::TqmSaslLogin(std::string AUserName, std::string APassword)
    : FUserName(std::move(AUserName)), FPassword(std::move(APassword)) {}

std::string TqmSaslLogin::Step(std::string_view) { return FStep++ == 0 ? FUserName : FPassword; }

TqmSaslCramMd5::TqmSaslCramMd5(std::string AUserName, std::string APassword)
    : FUserName(std::move(AUserName)), FPassword(std::move(APassword)) {}

std::string TqmSaslCramMd5::Step(std::string_view AChallenge) {
  return FUserName + " " + HmacMd5Hex(std::string(AChallenge), FPassword);
}

TqmSaslXOAuth2::TqmSaslXOAuth2(std::string AUserName, std::string AAuthorization)
    : FUserName(std::move(AUserName)), FAuthorization(std::move(AAuthorization)) {}

std::optional<std::string> TqmSaslXOAuth2::InitialResponse() {
  return "user=" + FUserName + "\x01" + "auth=" + FAuthorization + "\x01\x01";
}

std::string TqmSaslXOAuth2::Step(std::string_view AChallenge) {
  FError = std::string(AChallenge);
  return std::string();
}

TqmSaslOAuthBearer::TqmSaslOAuthBearer(std::string AUserName, std::string AAuthorization)
    : FUserName(std::move(AUserName)), FAuthorization(std::move(AAuthorization)) {}

std::optional<std::string> TqmSaslOAuthBearer::InitialResponse() {
  const std::string Gs2 = FUserName.empty() ? "n,," : "n,a=" + SaslName(FUserName) + ",";
  return Gs2 + "\x01" + "auth=" + FAuthorization + "\x01\x01";
}

std::string TqmSaslOAuthBearer::Step(std::string_view AChallenge) {
  FError = std::string(AChallenge);
  FFailed = true;
  return "\x01";
}

void TqmSaslOAuthBearer::Finish() {
  if (FFailed)
    throw EqmTcpClientError(Format(qmSaslBadServerMessage, "success after an OAUTHBEARER error"),
                            qmSaslBadServerMessageCode);
}

std::unique_ptr<TqmSaslClient> CreateSaslClient(TqmSaslMechanism AMechanism, const std::string& AUserName,
                                                const std::string& APassword,
                                                const std::string& AAuthorization) {
  switch (AMechanism) {
    case smPlain:
      return std::make_unique<TqmSaslPlain>(AUserName, APassword);
    case smLogin:
      return std::make_unique<TqmSaslLogin>(AUserName, APassword);
    case smCramMd5:
      return std::make_unique<TqmSaslCramMd5>(AUserName, APassword);
    case smXOAuth2:
      return std::make_unique<TqmSaslXOAuth2>(AUserName, AAuthorization);
    case smOAuthBearer:
      return std::make_unique<TqmSaslOAuthBearer>(AUserName, AAuthorization);
    case smScramSha1:
    case smScramSha256:
      return std::make_unique<TqmSaslScram>(AMechanism == smScramSha256, AUserName, APassword);
    default:
      return nullptr;
  }
}

void SaslAuthenticate(TqmSaslClient& AClient, const TqmSaslTransport& ATransport) {
  auto Encode = [](const std::string& ABytes) { return SaslBase64Line(ABytes); };
  auto Decode = [](const std::string& AText) { return TqmEncoder::DecodeString(AText, cmBase64); };
  try {
    const std::optional<std::string> Initial = AClient.InitialResponse();
    TqmSaslReply Reply;
    if (Initial && ATransport.InitialResponseInCommand) {
      // "=" stands for an empty initial response, which an empty argument
      // could not say.
      Reply = ATransport.Start(AClient.Name(), Initial->empty() ? std::string("=") : Encode(*Initial));
    } else {
      Reply = ATransport.Start(AClient.Name(), std::nullopt);
      if (Initial && Reply.Challenge) Reply = ATransport.Respond(Encode(*Initial));
    }
    for (int Round = 0; Reply.Challenge; ++Round) {
      if (Round == qmSaslMaxRounds)
        throw EqmTcpClientError(Format(qmSaslBadServerMessage, "too many challenges"), qmSaslBadServerMessageCode);
      Reply = ATransport.Respond(Encode(AClient.Step(Decode(Reply.Data))));
    }
    // Data sent with the success (where the protocol allows it) is the
    // mechanism's last word, SCRAM's server signature.
    if (!Reply.Data.empty()) AClient.Step(Decode(Reply.Data));
    AClient.Finish();
  } catch (EqmTcpClientError& E) {
    // The details join the protocol's own error, which keeps its class
    // (EqmSmtpError, EqmImapError) for callers that catch it.
    const std::string Details = AClient.ErrorDetails();
    if (!Details.empty()) E.SetMessage(E.Message() + " (" + Details + ")");
    throw;
  }
}

}  // namespace qm
