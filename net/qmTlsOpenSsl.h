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
#include "net/qmCertificate.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct bio_st BIO;
typedef struct x509_store_ctx_st X509_STORE_CTX;

namespace qm {

// Failures of the engine itself. ErrorCode is one of the codes below or
// an OpenSSL error code (message: OpenSSL's reason text).
class EqmSSPIError : public Exception {
 public:
  EqmSSPIError(std::string AMessage, int AErrorCode)
      : Exception(std::move(AMessage)), FErrorCode(AErrorCode) {}
  int ErrorCode() const noexcept { return FErrorCode; }

 private:
  int FErrorCode;
};

constexpr int qmSspiLoadLibraryCode = -1;       // "Could not load the dll (...)"
constexpr int qmSspiInitRoutineCode = -2;       // "Could not get security initialization routine"
constexpr int qmSspiInitPackageCode = -3;       // "Could not initialize the security package"
constexpr int qmSspiAcquireCredentialsCode = -4;  // "AcquireCredentials failed"
constexpr int qmSspiNoPackageCode = -5;         // "None of needed security package was found"
constexpr int qmSspiQueryPackageCode = -6;      // "Could not query package information"
constexpr int qmSspiLocalCertificateCode = -9;  // "Error querying local certificate"
constexpr int qmSspiAuthenticateServerCode = -11;  // "Error occured when authenticating server credentials"
constexpr int qmSspiNotSupportedCode = -12;     // "Not supported"
constexpr int qmSspiOutOfMemoryCode = 20;       // "Out of memory"

// The library's text for one of its codes; empty for other codes.
std::string SspiErrorText(int ACode);
// Raises EqmSSPIError for the first error on OpenSSL's queue (cleared);
// with none, AFallbackCode and its text.
[[noreturn]] void RaiseSspiError(int AFallbackCode);

// What a step of the engine (or the stream, for AwaitHandshake) reports.
enum class TqmTlsStatus : uint8_t {
  Done,               // handshake finished, or every record decrypted
  Renegotiate,        // the peer asked for a new handshake
  SendToken,          // a handshake message is ready to be sent
  AwaitHandshake,     // the message was sent; the peer's reply is awaited
  NeedMoreHandshake,  // the received handshake data is incomplete
  SendShutdown,       // a close notification is ready to be sent
  Expired,            // the peer closed the TLS session
  IncompleteRecord,   // a record is incomplete; its bytes stay with the caller
  DoneWithExtra,      // handshake finished and application data followed it
  PartialRecord,      // records decrypted and an incomplete one remains
  NeedCredentials,    // the server asked for a client certificate
  ContinueNeeded,     // more handshake steps follow
};

// Server certificate checks that may be waived (bit masks).
enum TqmCertificateVerifyFlag : uint32_t {
  cfIgnoreCommonNameInvalid = 1u << 0,
  cfIgnoreDateInvalid = 1u << 1,
  cfIgnoreUnknownAuthority = 1u << 2,
  cfIgnoreRevocation = 1u << 3,
  cfIgnoreWrongUsage = 1u << 4,
  cfIgnoreChainPolicyErrors = 1u << 5,
};
using TqmCertificateVerifyFlags = uint32_t;

// Protocol versions that may be negotiated (bit masks; the default set,
// TLS 1.0 to 1.2, is 28).
enum TqmTlsFlag : uint32_t {
  tfUseSSL2 = 1u << 0,
  tfUseSSL3 = 1u << 1,
  tfUseTLS = 1u << 2,
  tfUseTLS11 = 1u << 3,
  tfUseTLS12 = 1u << 4,
  tfUseTLS13 = 1u << 5,
};
using TqmTlsFlags = uint32_t;
constexpr TqmTlsFlags qmDefaultTlsFlags = tfUseTLS | tfUseTLS11 | tfUseTLS12;

// Chain building options (bit masks). Revocation checking uses the CRLs
// of the trust store; the cache, URL retrieval, root update and time-out
// options have no counterpart here and are kept only as settings.
enum TqmCertificateChainVerifyFlag : uint32_t {
  rfCheckEndOnly = 1u << 0,
  rfCheckAll = 1u << 1,
  rfExcludeRoot = 1u << 2,
  rfCacheEndCert = 1u << 3,
  rfCheckCacheOnly = 1u << 4,
  rfUseCacheOnlyUrlRetrieval = 1u << 5,
  rfDisableRootAutoUpdate = 1u << 6,
  rfAccumulativeTimeout = 1u << 7,
};
using TqmCertificateChainVerifyFlags = uint32_t;

// The length of the first TLS record in AData (a record header is 5 bytes:
// type, version, 16-bit length); 0 while it is incomplete; all of ASize
// when the header is not a record header.
size_t NextRecordLength(const uint8_t* AData, size_t ASize);
// The length of the complete TLS records at the start of AData.
size_t CompleteRecordsLength(const uint8_t* AData, size_t ASize);

// The text of the current local date and time: the target name of a client
// that was given none, which no certificate carries.
std::string DefaultTargetName();

class TqmTlsOpenSsl : public TObject {
 public:
  ~TqmTlsOpenSsl() override;

  // One handshake step. Reads the unread bytes of ABuffer (from its
  // position); a message to send replaces ABuffer's content (position 0).
  // NeedMoreHandshake and NeedCredentials leave the unused bytes in ABuffer
  // from position 0; DoneWithExtra leaves the application data there.
  // ACertificates is the client certificate list offered after
  // NeedCredentials; AInsist goes on without a certificate when it is
  // empty.
  virtual TqmTlsStatus Handshake(TMemoryStream& ABuffer, TqmCertificateList* ACertificates,
                                 bool AInsist);
  // Encrypts ALength bytes of ASource into records appended to AOutput;
  // both positions stay where they were.
  void Encrypt(TStream& ASource, TStream& AOutput, int64_t ALength);
  // Decrypts the complete records among AInput's unread bytes into AOutput.
  // Afterwards AInput holds only the bytes of an incomplete last record
  // (position 0). Returns Done, IncompleteRecord, PartialRecord or Expired.
  TqmTlsStatus Decrypt(TMemoryStream& AInput, TStream& AOutput);
  // Writes the close notification into AOutput (SendShutdown) or, with no
  // session, returns Done. Releases the session either way.
  TqmTlsStatus Shutdown(TStream& AOutput);
  // Record header, trailer and largest plaintext per record. Raises
  // before the handshake is done.
  void StreamSizes(int& AHeader, int& ATrailer, int& AMaxMessage);

  bool IsServer() const { return FServer; }
  bool HandshakeComplete() const { return FComplete; }
  bool Verified() const { return FVerified; }
  // The verification result: an X509 verify code (0 = ok) and its text.
  int StatusCode() const { return FStatusCode; }
  std::string StatusText() const;
  // The peer's certificate once the handshake is done (owned).
  TqmCertificate* Certificate() const { return FCertificate.get(); }
  // The negotiated protocol ("TLSv1.2", "TLSv1.3") and cipher.
  std::string ProtocolVersion() const;
  std::string CipherName() const;

  // ---- settings; take effect at the next session ----
  TqmCertificateVerifyFlags CertificateFlags() const { return FCertificateFlags; }
  void SetCertificateFlags(TqmCertificateVerifyFlags AValue) { FCertificateFlags = AValue; }
  TqmTlsFlags TLSFlags() const { return FTLSFlags; }
  void SetTLSFlags(TqmTlsFlags AValue) { FTLSFlags = AValue; }
  bool SendRootCertificate() const { return FSendRootCertificate; }
  void SetSendRootCertificate(bool AValue) { FSendRootCertificate = AValue; }
  bool UseStrongCryptoAlgorithms() const { return FUseStrongCryptoAlgorithms; }
  void SetUseStrongCryptoAlgorithms(bool AValue) { FUseStrongCryptoAlgorithms = AValue; }
  TqmCertificateChainVerifyFlags CertChainFlags() const { return FCertChainFlags; }
  void SetCertChainFlags(TqmCertificateChainVerifyFlags AValue) { FCertChainFlags = AValue; }
  int CertChainRetrievalTimeout() const { return FCertChainRetrievalTimeout; }
  void SetCertChainRetrievalTimeout(int AValue) { FCertChainRetrievalTimeout = AValue; }
  // TLSFlags cap the protocol version. With UseSystemTLSFlags (default
  // true) the default set also allows TLS 1.3; a set the caller chose is
  // applied exactly (TLS 1.3 only with tfUseTLS13).
  bool UseSystemTLSFlags() const { return FUseSystemTLSFlags; }
  void SetUseSystemTLSFlags(bool AValue) { FUseSystemTLSFlags = AValue; }
  // Kept for callers that name a provider package; OpenSSL has one.
  const std::string& SecurityPackage() const { return FSecurityPackage; }
  void SetSecurityPackage(const std::string& AValue) { FSecurityPackage = AValue; }

 protected:
  explicit TqmTlsOpenSsl(bool AServer);
  // Creates the context and the session for a new handshake.
  void CreateSession();
  virtual void ConfigureContext(SSL_CTX* ACtx);
  virtual void ConfigureSession(SSL* ASsl);
  virtual void VerifyPeer();
  void ReleaseSession();
  // Moves what OpenSSL wrote into AOutput (at its end); returns the count.
  size_t DrainOutput(TStream& AOutput);
  size_t PendingOutput() const;
  void Feed(const uint8_t* AData, size_t ASize);

  static int VerifyCallback(int APreverifyOk, X509_STORE_CTX* ACtx);
  static int CertCallback(SSL* ASsl, void* AArg);
  bool IsIgnored(int AX509Error) const;

  bool FServer;
  SSL_CTX* FCtx = nullptr;
  SSL* FSsl = nullptr;
  BIO* FReadBio = nullptr;   // network -> OpenSSL
  BIO* FWriteBio = nullptr;  // OpenSSL -> network
  bool FComplete = false;
  bool FNeedCredentials = false;
  bool FCredentialsGiven = false;
  std::vector<TqmCertificate*> FClientCertificates;  // not owned
  std::vector<uint8_t> FPendingIn;  // bytes received after a handshake message
  bool FVerified = false;
  int FStatusCode = 0;
  int FFirstVerifyError = 0;
  std::unique_ptr<TqmCertificate> FCertificate;
  int FHeaderLength = -1, FTrailerLength = 0, FMaxMessage = 0;

  TqmCertificateVerifyFlags FCertificateFlags = 0;
  TqmTlsFlags FTLSFlags = qmDefaultTlsFlags;
  bool FSendRootCertificate = false;
  bool FUseStrongCryptoAlgorithms = false;
  TqmCertificateChainVerifyFlags FCertChainFlags = 0;
  int FCertChainRetrievalTimeout = 0;
  bool FUseSystemTLSFlags = true;
  std::string FSecurityPackage;
};

// The connecting side: verifies the server against TargetName.
class TqmTlsClientOpenSsl : public TqmTlsOpenSsl {
 public:
  TqmTlsClientOpenSsl();
  // The name the server's certificate must carry (a host name or an IP
  // literal); by default the text of the creation date and time.
  const std::string& TargetName() const { return FTargetName; }
  void SetTargetName(const std::string& AValue) { FTargetName = AValue; }

 protected:
  void ConfigureSession(SSL* ASsl) override;

 private:
  std::string FTargetName;
};

// The accepting side, for peers and tests: presents Certificate (which
// must hold its private key) and may ask the client for one.
class TqmTlsServerOpenSsl : public TqmTlsOpenSsl {
 public:
  TqmTlsServerOpenSsl();
  // Not owned; must outlive the session.
  void SetCertificate(TqmCertificate* AValue) { FServerCertificate = AValue; }
  // 0: no client certificate asked; 1: asked; 2: required.
  int ClientCertificateMode() const { return FClientCertificateMode; }
  void SetClientCertificateMode(int AValue) { FClientCertificateMode = AValue; }

 protected:
  void ConfigureContext(SSL_CTX* ACtx) override;
  void VerifyPeer() override;

 private:
  TqmCertificate* FServerCertificate = nullptr;
  int FClientCertificateMode = 0;
};

}  // namespace qm
