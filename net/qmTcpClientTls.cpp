#include "net/qmTcpClientTls.h"

#include <sys/socket.h>

#include <cerrno>

namespace qm {

const char* const qmDataBeforeTls =
    "The server sent data after its reply to the TLS command; TLS was not started";

TqmTcpClientTls::TqmTcpClientTls(TComponent* AOwner) : TqmTcpClient(AOwner) {}

TqmTcpClientTls::~TqmTcpClientTls() = default;

#define QM_TLS_PROPERTY(Name, Type, Field) \
  void TqmTcpClientTls::Set##Name(Type AValue) { \
    if (Field == AValue) return;                 \
    Field = AValue;                              \
    Changed();                                   \
  }
QM_TLS_PROPERTY(UseTLS, TqmClientTlsMode, FUseTLS)
QM_TLS_PROPERTY(CertificateFlags, TqmCertificateVerifyFlags, FCertificateFlags)
QM_TLS_PROPERTY(TLSFlags, TqmTlsFlags, FTLSFlags)
QM_TLS_PROPERTY(SecurityPackage, const std::string&, FSecurityPackage)
QM_TLS_PROPERTY(UseStrongCryptoAlgorithms, bool, FUseStrongCryptoAlgorithms)
QM_TLS_PROPERTY(SendRootCertificate, bool, FSendRootCertificate)
QM_TLS_PROPERTY(CertChainFlags, TqmCertificateChainVerifyFlags, FCertChainFlags)
QM_TLS_PROPERTY(CertChainRetrievalTimeout, int, FCertChainRetrievalTimeout)
QM_TLS_PROPERTY(UseSystemTLSFlags, bool, FUseSystemTLSFlags)
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
  auto Stream = std::make_unique<TqmTlsNetworkStream>();
  Stream->SetCertificateFlags(FCertificateFlags);
  Stream->SetCertChainFlags(FCertChainFlags);
  Stream->SetCertChainRetrievalTimeout(FCertChainRetrievalTimeout);
  Stream->SetTLSFlags(FTLSFlags);
  Stream->SetUseSystemTLSFlags(FUseSystemTLSFlags);
  Stream->SetSendRootCertificate(FSendRootCertificate);
  Stream->SetUseStrongCryptoAlgorithms(FUseStrongCryptoAlgorithms);
  Stream->SetTargetName(Server());
  Stream->SetSecurityPackage(FSecurityPackage);
  Stream->OnGetCertificate = [this](TqmCertificate*& ACertificate, TqmCertificateList& AExtraCerts,
                                    bool& AHandled) { DoGetCertificate(ACertificate, AExtraCerts, AHandled); };
  Stream->OnVerifyPeer = [this](TqmCertificate* ACertificate, const std::string& AStatusText, int AStatusCode,
                                bool& AVerified) {
    DoVerifyServer(ACertificate, AStatusText, AStatusCode, AVerified);
  };
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
  if (!Conn->HasNetworkStream()) return nullptr;
  return dynamic_cast<TqmTlsNetworkStream*>(&Conn->NetworkStream());
}

bool TqmTcpClientTls::HasDataBeforeTls() {
  TqmTcpClientConnection* Conn = Connection();
  if (!Conn->Active() || !Conn->Socket().IsValid()) return false;
  if (Conn->HasNetworkStream() && dynamic_cast<TqmTlsNetworkStream*>(&Conn->NetworkStream())) return false;
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
