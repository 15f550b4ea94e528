// The TLS engine: OpenSSL driven through memory BIOs, one step at a time.
// The engine never touches a socket: the TLS stream hands it the bytes it
// received and sends what the engine produces. Each step reports a status
// that says what the stream must do next, and the bytes that the engine
// could not use yet (an incomplete record) stay with the caller.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/qmComponent.h"
#include "core/qmException.h"
#include "core/qmStream.h"
#include "crypto/qmOpenSsl.h"
#include "net/qmCertificate.h"
#include "net/qmTlsSettings.h"

namespace qm {

/// Failures of the engine itself. ErrorCode is one of the codes below or
/// an OpenSSL error code (message: OpenSSL's reason text).
class EqmSSPIError : public Exception {
 public:
  /// An error with its message and code.
  EqmSSPIError(std::string AMessage, int AErrorCode)
      : Exception(std::move(AMessage)), FErrorCode(AErrorCode) {}
  /// One of the qmSspi...Code values or an OpenSSL error code.
  int ErrorCode() const noexcept { return FErrorCode; }

 private:
  int FErrorCode;
};

constexpr int qmSspiLoadLibraryCode = -1;       ///< "Could not load the dll (...)"
constexpr int qmSspiInitRoutineCode = -2;       ///< "Could not get security initialization routine"
constexpr int qmSspiInitPackageCode = -3;       ///< "Could not initialize the security package"
constexpr int qmSspiAcquireCredentialsCode = -4;  ///< "AcquireCredentials failed"
constexpr int qmSspiNoPackageCode = -5;         ///< "None of needed security package was found"
constexpr int qmSspiQueryPackageCode = -6;      ///< "Could not query package information"
constexpr int qmSspiLocalCertificateCode = -9;  ///< "Error querying local certificate"
constexpr int qmSspiAuthenticateServerCode = -11;  ///< "Error occured when authenticating server credentials"
constexpr int qmSspiNotSupportedCode = -12;     ///< "Not supported"
constexpr int qmSspiOutOfMemoryCode = 20;       ///< "Out of memory"

/// The library's text for one of its codes; empty for other codes.
std::string SspiErrorText(int ACode);
/// Raises EqmSSPIError for the first error on OpenSSL's queue (cleared);
/// with none, AFallbackCode and its text.
[[noreturn]] void RaiseSspiError(int AFallbackCode);

/// What a step of the engine (or the stream, for AwaitHandshake) reports.
enum class TqmTlsStatus : uint8_t {
  Done,               ///< handshake finished, or every record decrypted
  Renegotiate,        ///< the peer asked for a new handshake
  SendToken,          ///< a handshake message is ready to be sent
  AwaitHandshake,     ///< the message was sent; the peer's reply is awaited
  NeedMoreHandshake,  ///< the received handshake data is incomplete
  SendShutdown,       ///< a close notification is ready to be sent
  Expired,            ///< the peer closed the TLS session
  IncompleteRecord,   ///< a record is incomplete; its bytes stay with the caller
  DoneWithExtra,      ///< handshake finished and application data followed it
  PartialRecord,      ///< records decrypted and an incomplete one remains
  NeedCredentials,    ///< the server asked for a client certificate
  ContinueNeeded,     ///< more handshake steps follow
};

/// The length of the first TLS record in AData (a record header is 5 bytes:
/// type, version, 16-bit length); 0 while it is incomplete; all of ASize
/// when the header is not a record header.
size_t NextRecordLength(const uint8_t* AData, size_t ASize);
/// The length of the complete TLS records at the start of AData.
size_t CompleteRecordsLength(const uint8_t* AData, size_t ASize);

/// The text of the current local date and time: the target name of a client
/// that was given none, which no certificate carries.
std::string DefaultTargetName();

/// The TLS engine (see the file's comment); one engine per session side.
/// Failures raise EqmSSPIError.
class TqmTlsOpenSsl : public TObject {
 public:
  /// Frees the session.
  ~TqmTlsOpenSsl() override;

  /// One handshake step. Reads the unread bytes of ABuffer (from its
  /// position); a message to send replaces ABuffer's content (position 0).
  /// NeedMoreHandshake and NeedCredentials leave the unused bytes in ABuffer
  /// from position 0; DoneWithExtra leaves the application data there.
  /// ACertificates is the client certificate list offered after
  /// NeedCredentials; AInsist goes on without a certificate when it is
  /// empty.
  virtual TqmTlsStatus Handshake(TMemoryStream& ABuffer, TqmCertificateList* ACertificates,
                                 bool AInsist);
  /// Encrypts ALength bytes of ASource into records appended to AOutput;
  /// both positions stay where they were.
  void Encrypt(TStream& ASource, TStream& AOutput, int64_t ALength);
  /// Decrypts the complete records among AInput's unread bytes into AOutput.
  /// Afterwards AInput holds only the bytes of an incomplete last record
  /// (position 0). Returns Done, IncompleteRecord, PartialRecord or Expired.
  TqmTlsStatus Decrypt(TMemoryStream& AInput, TStream& AOutput);
  /// Writes the close notification into AOutput (SendShutdown) or, with no
  /// session, returns Done. Releases the session either way.
  TqmTlsStatus Shutdown(TStream& AOutput);
  /// Record header, trailer and largest plaintext per record. Raises
  /// before the handshake is done.
  void StreamSizes(int& AHeader, int& ATrailer, int& AMaxMessage);

  /// True for the accepting side.
  bool IsServer() const { return FServer; }
  /// True once the handshake is done.
  bool HandshakeComplete() const { return FComplete; }
  /// True when the peer's certificate passed (or its failures are waived).
  bool Verified() const { return FVerified; }
  /// The verification result: an X509 verify code (0 = ok) and its text.
  int StatusCode() const { return FStatusCode; }
  /// See StatusCode.
  std::string StatusText() const;
  /// The peer's certificate once the handshake is done (owned).
  TqmCertificate* Certificate() const { return FCertificate.get(); }
  /// The negotiated protocol ("TLSv1.2", "TLSv1.3") and cipher.
  std::string ProtocolVersion() const;
  /// See ProtocolVersion.
  std::string CipherName() const;

  /// The context's callbacks: they find their engine through the session.
  static int VerifyCallback(int APreverifyOk, X509_STORE_CTX* ACtx);
  /// See VerifyCallback.
  static int CertCallback(SSL* ASsl, void* AArg);

  /// The negotiated context (shared through the cache; nullptr with no
  /// session).
  SSL_CTX* Context() const { return FCtx.get(); }

  // ---- settings; take effect at the next session ----
  /// The settings the engine reads: its own, or those handed to it with
  /// UseSettings (which must outlive the engine's sessions). A setter below
  /// copies shared settings into the engine's own first.
  const TqmTlsSettings& Settings() const { return FSettings.Get(); }
  /// Reads ASettings (not owned) from now on.
  void UseSettings(const TqmTlsSettings& ASettings) { FSettings.Share(&ASettings); }
  /// See TqmTlsSettings::CertificateFlags.
  TqmCertificateVerifyFlags CertificateFlags() const { return Settings().CertificateFlags; }
  /// Sets CertificateFlags.
  void SetCertificateFlags(TqmCertificateVerifyFlags AValue) { FSettings.Edit().CertificateFlags = AValue; }
  /// See TqmTlsSettings::TLSFlags.
  TqmTlsFlags TLSFlags() const { return Settings().TLSFlags; }
  /// Sets TLSFlags.
  void SetTLSFlags(TqmTlsFlags AValue) { FSettings.Edit().TLSFlags = AValue; }
  /// See TqmTlsSettings::SendRootCertificate.
  bool SendRootCertificate() const { return Settings().SendRootCertificate; }
  /// Sets SendRootCertificate.
  void SetSendRootCertificate(bool AValue) { FSettings.Edit().SendRootCertificate = AValue; }
  /// See TqmTlsSettings::UseStrongCryptoAlgorithms.
  bool UseStrongCryptoAlgorithms() const { return Settings().UseStrongCryptoAlgorithms; }
  /// Sets UseStrongCryptoAlgorithms.
  void SetUseStrongCryptoAlgorithms(bool AValue) { FSettings.Edit().UseStrongCryptoAlgorithms = AValue; }
  /// See TqmTlsSettings::CertChainFlags.
  TqmCertificateChainVerifyFlags CertChainFlags() const { return Settings().CertChainFlags; }
  /// Sets CertChainFlags.
  void SetCertChainFlags(TqmCertificateChainVerifyFlags AValue) { FSettings.Edit().CertChainFlags = AValue; }
  /// See TqmTlsSettings::CertChainRetrievalTimeout.
  int CertChainRetrievalTimeout() const { return Settings().CertChainRetrievalTimeout; }
  /// Sets CertChainRetrievalTimeout.
  void SetCertChainRetrievalTimeout(int AValue) { FSettings.Edit().CertChainRetrievalTimeout = AValue; }
  /// TLSFlags cap the protocol version. With UseSystemTLSFlags (default
  /// true) the default set also allows TLS 1.3; a set the caller chose is
  /// applied exactly (TLS 1.3 only with tfUseTLS13).
  bool UseSystemTLSFlags() const { return Settings().UseSystemTLSFlags; }
  /// Sets UseSystemTLSFlags.
  void SetUseSystemTLSFlags(bool AValue) { FSettings.Edit().UseSystemTLSFlags = AValue; }
  /// Kept for callers that name a provider package; OpenSSL has one.
  const std::string& SecurityPackage() const { return Settings().SecurityPackage; }
  /// Sets SecurityPackage.
  void SetSecurityPackage(const std::string& AValue) { FSettings.Edit().SecurityPackage = AValue; }
  /// Trust: a CA file and/or directory; with neither, the system store.
  const std::string& CaFile() const { return Settings().CaFile; }
  /// Sets CaFile.
  void SetCaFile(const std::string& AValue) { FSettings.Edit().CaFile = AValue; }
  /// See CaFile.
  const std::string& CaPath() const { return Settings().CaPath; }
  /// Sets CaPath.
  void SetCaPath(const std::string& AValue) { FSettings.Edit().CaPath = AValue; }

 protected:
  /// An engine for the accepting side (AServer) or the connecting side.
  explicit TqmTlsOpenSsl(bool AServer);
  /// Creates the session for a new handshake, on the context of
  /// AcquireContext.
  void CreateSession();
  /// The client's context comes from the cache, shared by every engine
  /// with the same context settings.
  virtual std::shared_ptr<SSL_CTX> AcquireContext();
  /// Sets the session up before the handshake (nothing here).
  virtual void ConfigureSession(SSL* ASsl);
  /// Judges the peer's certificate once the handshake is done (Verified, StatusCode).
  virtual void VerifyPeer();
  /// Frees the session; the next handshake starts a new one.
  void ReleaseSession();
  /// Moves what OpenSSL wrote into AOutput (at its end); returns the count.
  size_t DrainOutput(TStream& AOutput);
  /// The bytes OpenSSL has written and not yet drained.
  size_t PendingOutput() const;
  /// Hands received bytes to OpenSSL.
  void Feed(const uint8_t* AData, size_t ASize);

  /// True when CertificateFlags waive AX509Error.
  bool IsIgnored(int AX509Error) const;

  bool FServer;  ///< See IsServer.
  TqmTlsSettingsLink FSettings;  ///< See Settings.
  std::shared_ptr<SSL_CTX> FCtx;  ///< See Context.
  TqmSslPtr FSsl;  ///< The session.
  BIO* FReadBio = nullptr;   ///< network -> OpenSSL; owned by FSsl
  BIO* FWriteBio = nullptr;  ///< OpenSSL -> network; owned by FSsl
  bool FComplete = false;  ///< See HandshakeComplete.
  bool FNeedCredentials = false;  ///< The server asked for a client certificate.
  bool FCredentialsGiven = false;  ///< The client certificate was answered.
  std::vector<TqmCertificate*> FClientCertificates;  ///< not owned
  std::vector<uint8_t> FPendingIn;  ///< bytes received after a handshake message
  bool FVerified = false;  ///< See Verified.
  int FStatusCode = 0;  ///< See StatusCode.
  int FFirstVerifyError = 0;  ///< The first X509 error met while verifying.
  std::unique_ptr<TqmCertificate> FCertificate;  ///< See Certificate.
  /// See StreamSizes (-1: not known yet).
  ///@{
  int FHeaderLength = -1, FTrailerLength = 0, FMaxMessage = 0;
  ///@}

};

/// The connecting side: verifies the server against TargetName.
class TqmTlsClientOpenSsl : public TqmTlsOpenSsl {
 public:
  /// A client engine with default settings.
  TqmTlsClientOpenSsl();
  /// The name the server's certificate must carry (a host name or an IP
  /// literal); when the settings have none, the text of the creation date
  /// and time, which no certificate carries.
  const std::string& TargetName() const;
  /// Sets TargetName.
  void SetTargetName(const std::string& AValue) { FSettings.Edit().TargetName = AValue; }

 protected:
  /// Sends TargetName as the server name (SNI) and checks the certificate for it.
  void ConfigureSession(SSL* ASsl) override;

 private:
  std::string FDefaultTargetName;
};

/// The accepting side, for peers and tests: presents Certificate (which
/// must hold its private key) and may ask the client for one.
class TqmTlsServerOpenSsl : public TqmTlsOpenSsl {
 public:
  /// A server engine; set its certificate before the handshake.
  TqmTlsServerOpenSsl();
  /// Not owned; must outlive the session.
  void SetCertificate(TqmCertificate* AValue) { FServerCertificate = AValue; }
  /// 0: no client certificate asked; 1: asked; 2: required.
  int ClientCertificateMode() const { return FClientCertificateMode; }
  /// Sets ClientCertificateMode.
  void SetClientCertificateMode(int AValue) { FClientCertificateMode = AValue; }

 protected:
  /// A context of its own: it carries the server's certificate.
  std::shared_ptr<SSL_CTX> AcquireContext() override;
  /// Judges the client's certificate, when it sent one.
  void VerifyPeer() override;

 private:
  TqmCertificate* FServerCertificate = nullptr;
  int FClientCertificateMode = 0;
};

}  // namespace qm
