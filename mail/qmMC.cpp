#include "mail/qmMC.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "mail/qmSasl.h"
#include "message/qmMailMessage.h"

namespace qm {

const char* const qmSaslUnavailable = "Unable to logon to the server using Secure Password Authentication";
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
