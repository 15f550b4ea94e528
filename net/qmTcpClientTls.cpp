#include "net/qmTcpClientTls.h"

#include <sys/socket.h>

#include <cerrno>

namespace qm {

const char* const qmDataBeforeTls =
    "The server sent data after its reply to the TLS command; TLS was not started";

TqmTcpClientTls::TqmTcpClientTls(TComponent* AOwner) : TqmTcpClient(AOwner) {
  // The stream asks through the settings; the client's events answer.
  FTlsSettings.OnGetCertificate = [this](TqmCertificate*& ACertificate, TqmCertificateList& AExtraCerts,
                                         bool& AHandled) { DoGetCertificate(ACertificate, AExtraCerts, AHandled); };
  FTlsSettings.OnVerifyPeer = [this](TqmCertificate* ACertificate, const std::string& AStatusText,
                                     int AStatusCode, bool& AVerified) {
    DoVerifyServer(ACertificate, AStatusText, AStatusCode, AVerified);
  };
}

TqmTcpClientTls::~TqmTcpClientTls() {
  // The TLS stream reads this client's settings: the session ends while
  // they exist.
  CloseForDestruction();
}

void TqmTcpClientTls::SetUseTLS(TqmClientTlsMode AValue) {
  if (FUseTLS == AValue) return;
  FUseTLS = AValue;
  Changed();
}

#define QM_TLS_PROPERTY(Name, Type)                 \
  void TqmTcpClientTls::Set##Name(Type AValue) {    \
    if (FTlsSettings.Name == AValue) return;        \
    FTlsSettings.Name = AValue;                     \
    Changed();                                      \
  }
QM_TLS_PROPERTY(CertificateFlags, TqmCertificateVerifyFlags)
QM_TLS_PROPERTY(TLSFlags, TqmTlsFlags)
QM_TLS_PROPERTY(SecurityPackage, const std::string&)
QM_TLS_PROPERTY(UseStrongCryptoAlgorithms, bool)
QM_TLS_PROPERTY(SendRootCertificate, bool)
QM_TLS_PROPERTY(CertChainFlags, TqmCertificateChainVerifyFlags)
QM_TLS_PROPERTY(CertChainRetrievalTimeout, int)
QM_TLS_PROPERTY(UseSystemTLSFlags, bool)
QM_TLS_PROPERTY(CaFile, const std::string&)
QM_TLS_PROPERTY(CaPath, const std::string&)
#undef QM_TLS_PROPERTY

void TqmTcpClientTls::DoGetCertificate(TqmCertificate*& ACertificate, TqmCertificateList& AExtraCerts,
                                       bool& Handled) {
  if (OnGetCertificate) OnGetCertificate(this, ACertificate, AExtraCerts, Handled);
}

void TqmTcpClientTls::DoVerifyServer(TqmCertificate* ACertificate, const std::string& AStatusText,
                                     int AStatusCode, bool& AVerified) {
  if (OnVerifyServer) OnVerifyServer(this, ACertificate, AStatusText, AStatusCode, AVerified);
}

std::unique_ptr<TqmNetworkStream> TqmTcpClientTls::CreateNetworkStream() {
  if (FUseTLS == ctImplicit || (FUseTLS == ctAutomatic && Port() != GetDefaultPort()))
    return CreateTlsStream();
  return std::make_unique<TqmNetworkStream>();
}

std::unique_ptr<TqmTlsNetworkStream> TqmTcpClientTls::CreateTlsStream() {
  FTlsSettings.TargetName = Server();
  auto Stream = std::make_unique<TqmTlsNetworkStream>();
  Stream->UseSettings(FTlsSettings);
  return Stream;
}

bool TqmTcpClientTls::StartTlsIfNeeded() {
  if (FUseTLS == ctExplicit || (FUseTLS == ctAutomatic && Port() == GetDefaultPort())) {
    StartTls();
    return true;
  }
  return false;
}

TqmTlsNetworkStream* TqmTcpClientTls::TlsStream() {
  TqmTcpClientConnection* Conn = Connection();
  return Conn->HasNetworkStream() ? Conn->NetworkStream().TlsStream() : nullptr;
}

bool TqmTcpClientTls::HasDataBeforeTls() {
  TqmTcpClientConnection* Conn = Connection();
  if (!Conn->Active() || !Conn->Socket().IsValid()) return false;
  if (TlsStream()) return false;
  uint8_t Byte;
  const ssize_t Peeked = ::recv(Conn->Socket().Handle(), &Byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return Peeked > 0;
}

void TqmTcpClientTls::StartTls() {
  TqmOperationScope Operation(*this);
  if (FUseTLS == ctNone) SetUseTLS(ctExplicit);
  try {
    // Whatever the server sent after its go-ahead was sent in plaintext;
    // letting it through would make it look like part of the TLS session.
    if (HasDataBeforeTls()) throw EqmTcpClientError(qmDataBeforeTls, qmDataBeforeTlsCode);
    TqmTcpClientConnection* Conn = Connection();
    Conn->SetNetworkStream(CreateTlsStream());
    Conn->StartStream();
    Operation.End();
  } catch (...) {
    // Nested in this operation, the Close sends no closing command.
    try {
      Close();
    } catch (const EqmSocketError&) {
    }
    throw;
  }
}

}  // namespace qm
