#include "mail/qmMC.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "mail/qmSasl.h"
#include "mail/qmSaslClient.h"
#include "message/qmMailMessage.h"

namespace qm {

const char* const qmSaslUnavailable = "Unable to logon to the server using Secure Password Authentication";
const char* const qmPlainTextLogin =
    "The login would send the password without TLS, which PlainTextLogin forbids";
const char* const qmCommandNul = "The command contains a NUL character and was not sent";

TqmCustomMail::TqmCustomMail(TComponent* AOwner) : TqmTcpCommandClient(AOwner) {}

TqmCustomMail::~TqmCustomMail() { SetMailMessage(nullptr); }

void TqmCustomMail::SetAuthorization(const std::string& AValue) {
  if (AValue != Authorization() && !AValue.empty() && !IsLoading()) SetUseSasl(true);
  TqmTcpCommandClient::SetAuthorization(AValue);
}

void TqmCustomMail::SetUseSasl(bool AValue) {
  if (FUseSasl == AValue) return;
  FUseSasl = AValue;
  Changed();
}

void TqmCustomMail::SetSaslOnly(bool AValue) {
  if (FSaslOnly == AValue) return;
  FSaslOnly = AValue;
  Changed();
}

void TqmCustomMail::SetPlainTextLogin(TqmPlainTextLogin AValue) {
  if (FPlainTextLogin == AValue) return;
  FPlainTextLogin = AValue;
  Changed();
}

void TqmCustomMail::SetSaslMechanisms(const std::string& AValue) {
  if (FSaslMechanisms == AValue) return;
  FSaslMechanisms = AValue;
  Changed();
}

bool TqmCustomMail::TlsActive() {
  // Every mode but ctNone has TLS on by the time the login runs (a failed
  // start raises); the stream tells for a session started otherwise.
  return UseTLS() != ctNone || TlsStream() != nullptr;
}

TqmSaslChoice TqmCustomMail::SaslChoice() {
  TqmSaslChoice Choice;
  Choice.HasToken = !Authorization().empty();
  Choice.Tls = TlsActive();
  Choice.PlainText = FPlainTextLogin;
  Choice.Preferred = FSaslMechanisms;
  return Choice;
}

void TqmCustomMail::CheckPlainTextLogin() {
  if (FPlainTextLogin == ptlNever && !TlsActive()) throw EqmTcpClientError(qmPlainTextLogin, qmPlainTextLoginCode);
}

void TqmCustomMail::RunSaslMechanism(TqmSaslMechanism AMechanism, const std::string& ACommand, int AContinue,
                                     int ASuccess, size_t AChallengeStart) {
  const std::unique_ptr<TqmSaslClient> Client =
      CreateSaslClient(AMechanism, UserName(), Password(), Authorization());
  auto Reply = [&]() {
    TqmSaslReply R;
    R.Challenge = LastResponseCode() == AContinue;
    if (R.Challenge) {
      const std::string Text = Trim(Response().Text());
      if (Text.size() > AChallengeStart) R.Data = Text.substr(AChallengeStart);
    }
    return R;
  };
  TqmSaslTransport Transport;
  Transport.Start = [&](const std::string& AName, const std::optional<std::string>& AInitial) {
    SendCommandSync(ACommand + " " + AName + (AInitial ? " " + *AInitial : std::string()), {AContinue, ASuccess});
    return Reply();
  };
  Transport.Respond = [&](const std::string& ALine) {
    SendCommandSync(ALine, {AContinue, ASuccess});
    return Reply();
  };
  SaslAuthenticate(*Client, Transport);
}

void TqmCustomMail::SetMailMessage(TqmMailMessage* AValue) {
  if (FMailMessage == AValue) return;
  if (FMailMessage) RemoveFreeNotification(FMailMessage);
  FMailMessage = AValue;
  if (FMailMessage) FreeNotification(FMailMessage);
}

void TqmCustomMail::Notification(TComponent* AComponent, TOperation AOperation) {
  TqmTcpCommandClient::Notification(AComponent, AOperation);
  if (AOperation == TOperation::opRemove && AComponent == FMailMessage) FMailMessage = nullptr;
}

void TqmCustomMail::DisableSendDelay() {
  TqmTcpClientConnection* Conn = Connection();
  if (!Conn->Active() || !Conn->Socket().IsValid()) return;
  int On = 1;
  // A socket that refuses the option still works, only slower.
  (void)setsockopt(Conn->Socket().Handle(), IPPROTO_TCP, TCP_NODELAY, &On, sizeof On);
}

std::string TqmCustomMail::BuildXOAuth2String() { return SaslXOAuth2String(UserName(), Authorization()); }

void TqmCustomMail::CheckCommandArgument(const std::string& AText) {
  if (FindLineBreak(AText) != std::string::npos)
    throw EqmTcpClientError(qmCommandLineBreak, qmCommandLineBreakCode);
  if (AText.find('\0') != std::string::npos) throw EqmTcpClientError(qmCommandNul, qmCommandNulCode);
}

}  // namespace qm
