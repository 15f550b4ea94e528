// The TCP client with TLS: the TLS settings as properties, and the choice
// per session between TLS from the start (implicit) and TLS started by a
// protocol command (explicit).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "net/qmCertificate.h"
#include "net/qmTcpClient.h"
#include "net/qmTlsOpenSsl.h"
#include "net/qmTlsSettings.h"
#include "net/qmTlsStream.h"

namespace qm {

/// When a client uses TLS: ctNone (never; default), ctImplicit (from the
/// start, e.g. POP3 on 995, SMTP on 465), ctExplicit (started by STLS or
/// STARTTLS after the greeting; required), ctAutomatic (explicit on the
/// protocol's default port, implicit on any other). The server's
/// certificate is verified against the client's trust (CaFile, CaPath, or
/// the system's trust store) and the host name; see OnVerifyServer.
enum TqmClientTlsMode { ctNone, ctAutomatic, ctImplicit, ctExplicit };

// Asked when the server wants a client certificate. ACertificate stays the
// application's; AExtraCerts may receive chain certificates.
using TqmGetCertificateEvent = std::function<void(TObject* Sender, TqmCertificate*& ACertificate,
                                                  TqmCertificateList& AExtraCerts, bool& Handled)>;
// Asked once per session with the verdict on the server's certificate;
// AVerified may be changed either way.
using TqmVerifyPeerEvent = std::function<void(TObject* Sender, TqmCertificate* ACertificate,
                                              const std::string& AStatusText, int AStatusCode,
                                              bool& AVerified)>;

// Bytes from the server that arrived after its go-ahead to start TLS and
// before the handshake (they could pass for replies of the TLS session).
constexpr int qmDataBeforeTlsCode = -151;
extern const char* const qmDataBeforeTls;

class TqmTcpClientTls : public TqmTcpClient {
 public:
  explicit TqmTcpClientTls(TComponent* AOwner = nullptr);
  ~TqmTcpClientTls() override;

  // ---- overridable operations (after those of TqmTcpClient) ----
  virtual void SetUseTLS(TqmClientTlsMode AValue);
  // Switches the open session to TLS; a failure closes the client and is
  // raised again.
  virtual void StartTls();

  std::unique_ptr<TqmNetworkStream> CreateNetworkStream() override;
  std::unique_ptr<TqmTlsNetworkStream> CreateTlsStream();
  // Starts TLS when the mode asks for it at this point of the session.
  bool StartTlsIfNeeded();

  // The session's TLS stream, when it has one.
  TqmTlsNetworkStream* TlsStream();

  // ---- properties ----
  /// When TLS is used (default ctNone); set with SetUseTLS().
  TqmClientTlsMode UseTLS() const { return FUseTLS; }
  // Every TLS setting below lives in TlsSettings, which the client's TLS
  // stream and engine read by reference.
  const TqmTlsSettings& TlsSettings() const { return FTlsSettings; }
  TqmCertificateVerifyFlags CertificateFlags() const { return FTlsSettings.CertificateFlags; }
  void SetCertificateFlags(TqmCertificateVerifyFlags AValue);
  TqmTlsFlags TLSFlags() const { return FTlsSettings.TLSFlags; }
  void SetTLSFlags(TqmTlsFlags AValue);
  const std::string& SecurityPackage() const { return FTlsSettings.SecurityPackage; }
  void SetSecurityPackage(const std::string& AValue);
  bool UseStrongCryptoAlgorithms() const { return FTlsSettings.UseStrongCryptoAlgorithms; }
  void SetUseStrongCryptoAlgorithms(bool AValue);
  bool SendRootCertificate() const { return FTlsSettings.SendRootCertificate; }
  void SetSendRootCertificate(bool AValue);
  TqmCertificateChainVerifyFlags CertChainFlags() const { return FTlsSettings.CertChainFlags; }
  void SetCertChainFlags(TqmCertificateChainVerifyFlags AValue);
  int CertChainRetrievalTimeout() const { return FTlsSettings.CertChainRetrievalTimeout; }
  void SetCertChainRetrievalTimeout(int AValue);
  // TLSFlags cap the version; UseSystemTLSFlags adds TLS 1.3 to the
  // default flags only (see TqmTlsOpenSsl).
  bool UseSystemTLSFlags() const { return FTlsSettings.UseSystemTLSFlags; }
  void SetUseSystemTLSFlags(bool AValue);
  /// The CA certificates (one PEM file) trusted to sign the server's
  /// certificate, in place of the system's trust store; empty (default):
  /// the system store. Clients in one process may trust different CAs.
  const std::string& CaFile() const { return FTlsSettings.CaFile; }
  void SetCaFile(const std::string& AValue);
  /// A directory of CA certificates (named by their hashes, as
  /// `openssl rehash` leaves them), alone or with CaFile.
  const std::string& CaPath() const { return FTlsSettings.CaPath; }
  void SetCaPath(const std::string& AValue);

  TqmGetCertificateEvent OnGetCertificate;
  /// Asked once per TLS session with the verdict on the server's
  /// certificate; setting AVerified to true accepts a certificate that
  /// failed (a private CA, a self-signed test server), false refuses one.
  TqmVerifyPeerEvent OnVerifyServer;

 protected:
  virtual void DoGetCertificate(TqmCertificate*& ACertificate, TqmCertificateList& AExtraCerts, bool& Handled);
  virtual void DoVerifyServer(TqmCertificate* ACertificate, const std::string& AStatusText, int AStatusCode,
                              bool& AVerified);
  // True when bytes of the server are waiting that were received before
  // the TLS handshake; descendants add what they buffered themselves.
  virtual bool HasDataBeforeTls();

 private:
  TqmClientTlsMode FUseTLS = ctNone;
  TqmTlsSettings FTlsSettings;
};

}  // namespace qm
