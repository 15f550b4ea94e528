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

/// Asked when the server wants a client certificate. ACertificate stays the
/// application's; AExtraCerts may receive chain certificates.
using TqmGetCertificateEvent = std::function<void(TObject* Sender, TqmCertificate*& ACertificate,
                                                  TqmCertificateList& AExtraCerts, bool& Handled)>;
/// Asked once per session with the verdict on the server's certificate;
/// AVerified may be changed either way.
using TqmVerifyPeerEvent = std::function<void(TObject* Sender, TqmCertificate* ACertificate,
                                              const std::string& AStatusText, int AStatusCode,
                                              bool& AVerified)>;

/// Bytes from the server that arrived after its go-ahead to start TLS and
/// before the handshake (they could pass for replies of the TLS session).
constexpr int qmDataBeforeTlsCode = -151;
/// Message of qmDataBeforeTlsCode (an EqmTcpClientError).
extern const char* const qmDataBeforeTls;

/// A TCP client that can use TLS (OpenSSL): UseTLS says when, the other
/// properties how. TLS failures raise EqmSSPIError and close the client.
class TqmTcpClientTls : public TqmTcpClient {
 public:
  /// A closed client without TLS (ctNone), trusting the system's store.
  explicit TqmTcpClientTls(TComponent* AOwner = nullptr);
  /// Ends the session (with its closing command) while the settings live.
  ~TqmTcpClientTls() override;

  // ---- overridable operations (after those of TqmTcpClient) ----
  /// Sets UseTLS (used from the next Open).
  virtual void SetUseTLS(TqmClientTlsMode AValue);
  /// Switches the open session to TLS; a failure closes the client and is
  /// raised again.
  virtual void StartTls();

  /// A TLS stream for implicit TLS (ctImplicit, or ctAutomatic on another
  /// port than the default), else a plain one.
  std::unique_ptr<TqmNetworkStream> CreateNetworkStream() override;
  /// A TLS stream reading this client's settings, for Server's name.
  std::unique_ptr<TqmTlsNetworkStream> CreateTlsStream();
  /// Starts TLS when the mode asks for it at this point of the session.
  bool StartTlsIfNeeded();

  /// The session's TLS stream, when it has one.
  TqmTlsNetworkStream* TlsStream();

  // ---- properties ----
  /// When TLS is used (default ctNone); set with SetUseTLS().
  TqmClientTlsMode UseTLS() const { return FUseTLS; }
  /// Every TLS setting below lives in TlsSettings, which the client's TLS
  /// stream and engine read by reference.
  const TqmTlsSettings& TlsSettings() const { return FTlsSettings; }
  /// Server certificate checks waived (default 0: none); see TqmCertificateVerifyFlag.
  TqmCertificateVerifyFlags CertificateFlags() const { return FTlsSettings.CertificateFlags; }
  /// Sets CertificateFlags.
  void SetCertificateFlags(TqmCertificateVerifyFlags AValue);
  /// The TLS versions allowed (default qmDefaultTlsFlags); see TqmTlsSettings::TLSFlags.
  TqmTlsFlags TLSFlags() const { return FTlsSettings.TLSFlags; }
  /// Sets TLSFlags.
  void SetTLSFlags(TqmTlsFlags AValue);
  /// Kept as a setting only (OpenSSL is the one provider).
  const std::string& SecurityPackage() const { return FTlsSettings.SecurityPackage; }
  /// Sets SecurityPackage.
  void SetSecurityPackage(const std::string& AValue);
  /// Only strong ciphers (default false).
  bool UseStrongCryptoAlgorithms() const { return FTlsSettings.UseStrongCryptoAlgorithms; }
  /// Sets UseStrongCryptoAlgorithms.
  void SetUseStrongCryptoAlgorithms(bool AValue);
  /// Send a self-signed root with a client certificate's chain (default false).
  bool SendRootCertificate() const { return FTlsSettings.SendRootCertificate; }
  /// Sets SendRootCertificate.
  void SetSendRootCertificate(bool AValue);
  /// Revocation checks of the server's chain (default 0: none).
  TqmCertificateChainVerifyFlags CertChainFlags() const { return FTlsSettings.CertChainFlags; }
  /// Sets CertChainFlags.
  void SetCertChainFlags(TqmCertificateChainVerifyFlags AValue);
  /// Kept as a setting only.
  int CertChainRetrievalTimeout() const { return FTlsSettings.CertChainRetrievalTimeout; }
  /// Sets CertChainRetrievalTimeout.
  void SetCertChainRetrievalTimeout(int AValue);
  /// TLSFlags cap the version; UseSystemTLSFlags adds TLS 1.3 to the
  /// default flags only (see TqmTlsOpenSsl).
  bool UseSystemTLSFlags() const { return FTlsSettings.UseSystemTLSFlags; }
  /// Sets UseSystemTLSFlags (default true).
  void SetUseSystemTLSFlags(bool AValue);
  /// The CA certificates (one PEM file) trusted to sign the server's
  /// certificate, in place of the system's trust store; empty (default):
  /// the system store. Clients in one process may trust different CAs.
  const std::string& CaFile() const { return FTlsSettings.CaFile; }
  /// Sets CaFile (used from the next TLS session).
  void SetCaFile(const std::string& AValue);
  /// A directory of CA certificates (named by their hashes, as
  /// `openssl rehash` leaves them), alone or with CaFile.
  const std::string& CaPath() const { return FTlsSettings.CaPath; }
  /// Sets CaPath (used from the next TLS session).
  void SetCaPath(const std::string& AValue);

  /// Asked when the server wants a client certificate.
  TqmGetCertificateEvent OnGetCertificate;
  /// Asked once per TLS session with the verdict on the server's
  /// certificate; setting AVerified to true accepts a certificate that
  /// failed (a private CA, a self-signed test server), false refuses one.
  TqmVerifyPeerEvent OnVerifyServer;

 protected:
  /// Calls OnGetCertificate.
  virtual void DoGetCertificate(TqmCertificate*& ACertificate, TqmCertificateList& AExtraCerts, bool& Handled);
  /// Calls OnVerifyServer.
  virtual void DoVerifyServer(TqmCertificate* ACertificate, const std::string& AStatusText, int AStatusCode,
                              bool& AVerified);
  /// True when bytes of the server are waiting that were received before
  /// the TLS handshake; descendants add what they buffered themselves.
  virtual bool HasDataBeforeTls();

 private:
  TqmClientTlsMode FUseTLS = ctNone;
  TqmTlsSettings FTlsSettings;
};

}  // namespace qm
