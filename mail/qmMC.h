// The common base of the POP3 and SMTP clients: the SASL switches, the
// link to a mail message, the XOAUTH2 string and the check that keeps
// arguments from adding lines to a command.
#pragma once

#include <string>

#include "mail/qmSasl.h"
#include "mail/qmTcpCommandClient.h"

namespace qm {

class TqmMailMessage;

/// ErrorCode of the EqmTcpClientError raised when the server offers no
/// mechanism the client may use (UseSasl with SaslOnly).
constexpr int qmSaslUnavailableCode = -400;
/// Message of that error.
extern const char* const qmSaslUnavailable;
/// ErrorCode of the EqmTcpClientError raised when the only login left
/// would send the password without TLS and PlainTextLogin forbids it.
constexpr int qmPlainTextLoginCode = -403;
/// Message of that error.
extern const char* const qmPlainTextLogin;
/// ErrorCode of the EqmTcpClientError raised for a command argument
/// holding a NUL, which would cut the command short on many servers.
constexpr int qmCommandNulCode = -152;
/// Message of that error.
extern const char* const qmCommandNul;

/// The common base of TqmPop3 and TqmSmtp: the login switches (UseSasl,
/// SaslOnly, Authorization) and the checks that keep user texts from
/// adding lines to a command.
class TqmCustomMail : public TqmTcpCommandClient {
 public:
  /// A closed client.
  explicit TqmCustomMail(TComponent* AOwner = nullptr);
  /// Drops the MailMessage link.
  ~TqmCustomMail() override;

  /// Sets the OAuth 2 authorization; a new non-empty value also switches
  /// UseSasl on (except while a stored form is loaded).
  void SetAuthorization(const std::string& AValue) override;

  /// Whether the login uses SASL mechanisms, the strongest the server
  /// offers (SaslChooseMechanism(): OAUTHBEARER or XOAUTH2 with a token,
  /// SCRAM-SHA-256, SCRAM-SHA-1, NTLM, CRAM-MD5, then PLAIN and LOGIN as
  /// PlainTextLogin allows; POP3 falls back to APOP, SMTP to LOGIN) instead
  /// of the plain USER/PASS or LOGIN. Default false.
  ///@{
  bool UseSasl() const { return FUseSasl; }
  void SetUseSasl(bool AValue);
  ///@}
  /// With UseSasl: refuse to fall back to APOP (POP3) or LOGIN (SMTP) when
  /// the server offers no better mechanism; the login then raises
  /// qmSaslUnavailableCode. Default false.
  ///@{
  bool SaslOnly() const { return FSaslOnly; }
  void SetSaslOnly(bool AValue);
  ///@}
  /// Whether a login may send the password itself without TLS (see
  /// TqmPlainTextLogin). Default ptlClassic: USER/PASS (POP3) and LOGIN
  /// (SMTP) as before, PLAIN and POP3's SASL LOGIN only over TLS.
  ///@{
  TqmPlainTextLogin PlainTextLogin() const { return FPlainTextLogin; }
  void SetPlainTextLogin(TqmPlainTextLogin AValue);
  ///@}
  /// With UseSasl: the mechanisms the login may use, names separated by
  /// spaces in the order of preference ("SCRAM-SHA-256 PLAIN"); empty
  /// (default): the order of SaslChooseMechanism(). With a list, POP3
  /// asks the server for its mechanisms even when Authorization is set
  /// (without one, Authorization means XOAUTH2 at once).
  ///@{
  const std::string& SaslMechanisms() const { return FSaslMechanisms; }
  void SetSaslMechanisms(const std::string& AValue);
  ///@}
  /// A message linked to the client for the application's use (the
  /// clients take the message as an argument and do not read this);
  /// cleared when the message is destroyed.
  ///@{
  TqmMailMessage* MailMessage() const { return FMailMessage; }
  void SetMailMessage(TqmMailMessage* AValue);
  ///@}

  /// The XOAUTH2 initial response: base64 of "user=" UserName ^A "auth="
  /// Authorization ^A ^A.
  std::string BuildXOAuth2String();

  /// Raises EqmTcpClientError (qmCommandLineBreakCode, qmCommandNulCode)
  /// when a text that goes into a command holds CR, LF or NUL: it would end
  /// the command early or add one.
  static void CheckCommandArgument(const std::string& AText);

 protected:
  /// Clears the MailMessage link when that message is destroyed.
  void Notification(TComponent* AComponent, TOperation AOperation) override;
  /// Turns Nagle's algorithm off on the connection. Every exchange is a
  /// short write answered by a read; the data's end line is a write of its
  /// own. Held back until the server's delayed ACK, each would cost tens of
  /// milliseconds.
  void DisableSendDelay();
  /// Whether the session runs over TLS (implicit or started by command).
  bool TlsActive();
  /// The inputs of SaslChooseMechanism() from the properties and the
  /// session.
  TqmSaslChoice SaslChoice();
  /// Raises qmPlainTextLoginCode when a login that sends the password
  /// itself may not run on this connection (PlainTextLogin ptlNever
  /// without TLS).
  void CheckPlainTextLogin();
  /// Runs the exchange of AMechanism through SaslAuthenticate(): AStart
  /// sends the command with the mechanism (and the initial response when
  /// given), each response line goes with the ok codes AContinue (the
  /// server's challenge) and ASuccess; AChallengeStart is where the base64
  /// text begins in a challenge reply.
  void RunSaslMechanism(TqmSaslMechanism AMechanism, const std::string& ACommand, int AContinue, int ASuccess,
                        size_t AChallengeStart);

 private:
  bool FUseSasl = false;
  bool FSaslOnly = false;
  TqmPlainTextLogin FPlainTextLogin = ptlClassic;
  std::string FSaslMechanisms;
  TqmMailMessage* FMailMessage = nullptr;
};

}  // namespace qm
