// The client side of a SASL mechanism as an object that a protocol drives:
// an optional initial response, then one response per server challenge, and
// a last check when the server reports success. POP3 (AUTH), SMTP (AUTH) and
// IMAP (AUTHENTICATE, SASL-IR) all drive it the same way through
// SaslAuthenticate(); the texts exchanged here are the decoded bytes, the
// protocol does the base64 of its own lines.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "mail/qmSasl.h"

namespace qm {

/// A malformed message from the server within a SASL exchange (a SCRAM
/// message without its attributes, a nonce that does not extend ours, an
/// iteration count out of range...). The message names what was wrong.
constexpr int qmSaslBadServerMessageCode = -404;
extern const char* const qmSaslBadServerMessage;  ///< "Malformed SASL message from the server: %s"
/// The server reported success without proving that it knows the password
/// (a SCRAM server signature that does not match, or none at all).
constexpr int qmSaslServerNotVerifiedCode = -405;
extern const char* const qmSaslServerNotVerified;  ///< Message of that error.
/// The server ended a SCRAM exchange with an error attribute ("e=...").
constexpr int qmSaslServerErrorCode = -406;
extern const char* const qmSaslServerError;  ///< "The server refused the login: %s"
/// The password (or user name) holds a character SASLprep prohibits, or is
/// not valid UTF-8.
constexpr int qmSaslProhibitedCode = -407;
extern const char* const qmSaslProhibited;  ///< Message of that error.

/// One SASL exchange on the client side. A new object per login: it keeps
/// the state of its exchange (nonces, what the server has proved).
class TqmSaslClient {
 public:
  virtual ~TqmSaslClient() = default;
  /// The mechanism's name as servers announce it ("SCRAM-SHA-256").
  virtual std::string Name() const = 0;
  /// The response sent with the command that starts the exchange (raw
  /// bytes; may be empty, which is not the same as none), or none when the
  /// mechanism waits for the server to speak first.
  virtual std::optional<std::string> InitialResponse() { return std::nullopt; }
  /// The response to one challenge of the server (raw bytes, decoded from
  /// the protocol's base64). Raises EqmTcpClientError for a challenge the
  /// mechanism cannot accept.
  virtual std::string Step(std::string_view AChallenge) = 0;
  /// Called when the server reports success: raises when the mechanism
  /// requires something of the server that it did not give (SCRAM: the
  /// proof that it knows the password). Nothing here.
  virtual void Finish() {}
  /// Details the server gave about a failure during the exchange (the
  /// OAUTHBEARER and XOAUTH2 error JSON), empty when none; the protocol
  /// adds them to the error it raises for the server's refusal.
  virtual std::string ErrorDetails() const { return std::string(); }
};

/// PLAIN (RFC 4616): authorization identity, NUL, user name, NUL, password
/// as the initial response. Sends the password itself: used only over TLS
/// unless the caller allows otherwise (TqmPlainTextLogin).
class TqmSaslPlain : public TqmSaslClient {
 public:
  /// AAuthorizationId empty: act as AUserName itself.
  TqmSaslPlain(std::string AUserName, std::string APassword, std::string AAuthorizationId = std::string());
  std::string Name() const override { return "PLAIN"; }
  std::optional<std::string> InitialResponse() override;
  /// A server that asks again (an empty challenge) gets the same response.
  std::string Step(std::string_view AChallenge) override;

 private:
  std::string FUserName, FPassword, FAuthorizationId;
};

/// LOGIN: the user name, then the password, whatever the server's prompts
/// say (servers word them differently).
class TqmSaslLogin : public TqmSaslClient {
 public:
  /// A login as AUserName with APassword.
  TqmSaslLogin(std::string AUserName, std::string APassword);
  std::string Name() const override { return "LOGIN"; }
  std::string Step(std::string_view AChallenge) override;

 private:
  std::string FUserName, FPassword;
  int FStep = 0;
};

/// CRAM-MD5 (RFC 2195): the user name, a space and the lower-case
/// HMAC-MD5 of the challenge keyed with the password.
class TqmSaslCramMd5 : public TqmSaslClient {
 public:
  /// A login as AUserName with APassword.
  TqmSaslCramMd5(std::string AUserName, std::string APassword);
  std::string Name() const override { return "CRAM-MD5"; }
  std::string Step(std::string_view AChallenge) override;

 private:
  std::string FUserName, FPassword;
};

/// XOAUTH2: "user=" user ^A "auth=" Authorization ^A ^A. A challenge is the
/// server's error JSON; it is answered with an empty response and kept for
/// ErrorDetails().
class TqmSaslXOAuth2 : public TqmSaslClient {
 public:
  /// AAuthorization is the whole value after "auth=" ("Bearer <token>").
  TqmSaslXOAuth2(std::string AUserName, std::string AAuthorization);
  std::string Name() const override { return "XOAUTH2"; }
  std::optional<std::string> InitialResponse() override;
  std::string Step(std::string_view AChallenge) override;
  std::string ErrorDetails() const override { return FError; }

 private:
  std::string FUserName, FAuthorization, FError;
};

/// OAUTHBEARER (RFC 7628): the GS2 header with the user name, then
/// "auth=" Authorization, each key-value pair ended by ^A, and a final ^A.
/// A challenge is the server's error JSON: as the RFC asks, it is answered
/// with a lone ^A, after which the server sends its failure, and the JSON
/// is kept for ErrorDetails().
class TqmSaslOAuthBearer : public TqmSaslClient {
 public:
  /// AAuthorization is the whole value after "auth=" ("Bearer <token>").
  TqmSaslOAuthBearer(std::string AUserName, std::string AAuthorization);
  std::string Name() const override { return "OAUTHBEARER"; }
  std::optional<std::string> InitialResponse() override;
  std::string Step(std::string_view AChallenge) override;
  /// A server that reports success after its error challenge is refused.
  void Finish() override;
  std::string ErrorDetails() const override { return FError; }

 private:
  std::string FUserName, FAuthorization, FError;
  bool FFailed = false;
};

/// Creates the client object of AMechanism (smPlain, smLogin, smCramMd5,
/// smXOAuth2, smOAuthBearer, smScramSha1, smScramSha256) with the given
/// credentials; null for the others (NTLM has its own exchange,
/// SaslNtlmExchange(); APOP is not SASL).
std::unique_ptr<TqmSaslClient> CreateSaslClient(TqmSaslMechanism AMechanism, const std::string& AUserName,
                                                const std::string& APassword,
                                                const std::string& AAuthorization);

/// A server reply within a SASL exchange, as the protocol read it.
struct TqmSaslReply {
  bool Challenge = false;  ///< True: a continuation ("334", "+"); false: success.
  std::string Data;        ///< The base64 text of a challenge (or of success data), may be empty.
};
/// The protocol's side of an exchange. Start sends the command that starts
/// the exchange with the mechanism's name and, when given, the initial
/// response already in base64 (an empty response as the protocol writes it:
/// "=" for SMTP, POP3 and IMAP); Respond sends one response line (base64).
/// Both return the server's reply; a refusal raises (EqmTcpClientError with
/// the reply's code), which SaslAuthenticate() passes on with the
/// mechanism's ErrorDetails() added to the message.
struct TqmSaslTransport {
  /// Sends the command that starts the exchange.
  std::function<TqmSaslReply(const std::string& AMechanism, const std::optional<std::string>& AInitial)> Start;
  /// Sends one response line.
  std::function<TqmSaslReply(const std::string& ALine)> Respond;
  /// Whether the initial response may go with the command (SMTP and POP3
  /// always; IMAP when the server offers SASL-IR). Without, it is sent as
  /// the answer to the server's first (empty) challenge.
  bool InitialResponseInCommand = true;
};
/// Runs one exchange of AClient over ATransport to the server's success.
void SaslAuthenticate(TqmSaslClient& AClient, const TqmSaslTransport& ATransport);

}  // namespace qm
