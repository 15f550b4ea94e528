// The common base of the POP3 and SMTP clients: the SASL switches, the
// link to a mail message, the XOAUTH2 string and the check that keeps
// arguments from adding lines to a command.
#pragma once

#include <string>

#include "mail/qmTcpCommandClient.h"

namespace qm {

class TqmMailMessage;

// No mechanism that SASL may use (UseSasl with SaslOnly).
constexpr int qmSaslUnavailableCode = -400;
extern const char* const qmSaslUnavailable;
// An argument holding a NUL would cut the command short on many servers.
constexpr int qmCommandNulCode = -152;
extern const char* const qmCommandNul;

class TqmCustomMail : public TqmTcpCommandClient {
 public:
  explicit TqmCustomMail(TComponent* AOwner = nullptr);
  ~TqmCustomMail() override;

  // A non-empty value switches UseSasl on (except while loading).
  void SetAuthorization(const std::string& AValue) override;

  bool UseSasl() const { return FUseSasl; }
  void SetUseSasl(bool AValue);
  bool SaslOnly() const { return FSaslOnly; }
  void SetSaslOnly(bool AValue);
  // A link, cleared when the message is destroyed.
  TqmMailMessage* MailMessage() const { return FMailMessage; }
  void SetMailMessage(TqmMailMessage* AValue);

  std::string BuildXOAuth2String();

  // Raises before anything is written when a text that goes into a command
  // holds CR, LF or NUL: it would end the command early or add one.
  static void CheckCommandArgument(const std::string& AText);

 protected:
  void Notification(TComponent* AComponent, TOperation AOperation) override;
  // Every exchange is a short write answered by a read; the data's end
  // line is a write of its own. Held back by Nagle's algorithm until the
  // server's delayed ACK, each would cost tens of milliseconds.
  void DisableSendDelay();

 private:
  bool FUseSasl = false;
  bool FSaslOnly = false;
  TqmMailMessage* FMailMessage = nullptr;
};

}  // namespace qm
