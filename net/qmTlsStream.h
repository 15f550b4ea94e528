// The TLS network stream: runs the handshake through the connection's
// next actions and encrypts and decrypts records with the TLS engine.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/qmStream.h"
#include "net/qmCertificate.h"
#include "net/qmSocket.h"
#include "net/qmTlsOpenSsl.h"

namespace qm {

class TqmTlsNetworkStream : public TqmNetworkStream {
 public:
  // Asked when the server wants a client certificate: set ACertificate
  // (not handed over) and optionally add chain certificates to AExtraCerts.
  using TGetCertificateProc =
      std::function<void(TqmCertificate*& ACertificate, TqmCertificateList& AExtraCerts, bool& AHandled)>;
  // Asked once per stream with the verdict on the server's certificate.
  using TVerifyPeerProc = std::function<void(TqmCertificate* ACertificate, const std::string& AStatusText,
                                             int AStatusCode, bool& AVerified)>;

  TqmTlsNetworkStream();
  ~TqmTlsNetworkStream() override;

  // ---- overrides (slot order of the plain stream) ----
  void Assign(TqmNetworkStream& AOldStream) override;
  void Shutdown(bool ANotifyPeer) override;
  void OpenClientSession() override;
  bool Read(TStream* ADestination) override;
  bool Write(TStream* ASource) override;
  int GetReadBatchSize() override;
  int GetWriteBatchSize() override;
  bool IsLimitReached() override;
  void ResetProgress() override;
  // Counts raw (encrypted) bytes only; plaintext is counted separately.
  void UpdateProgress(int64_t ACount) override;
  void InitClientSession() override;
  void InitServerSession() override;

  TqmTlsStatus Status() const { return FStatus; }
  bool Verified() const { return FVerified; }
  int64_t RawBytes() const { return FRawCount; }
  // The engine of the session (nullptr before it starts).
  TqmTlsOpenSsl* Engine();

  TGetCertificateProc OnGetCertificate;
  TVerifyPeerProc OnVerifyPeer;

  // ---- settings; passed on to a running engine ----
  TqmCertificateVerifyFlags CertificateFlags() const { return FCertificateFlags; }
  void SetCertificateFlags(TqmCertificateVerifyFlags AValue);
  const std::string& TargetName() const { return FTargetName; }
  void SetTargetName(const std::string& AValue);
  TqmTlsFlags TLSFlags() const { return FTLSFlags; }
  void SetTLSFlags(TqmTlsFlags AValue);
  const std::string& SecurityPackage() const { return FSecurityPackage; }
  void SetSecurityPackage(const std::string& AValue);
  bool UseStrongCryptoAlgorithms() const { return FUseStrongCryptoAlgorithms; }
  void SetUseStrongCryptoAlgorithms(bool AValue);
  bool SendRootCertificate() const { return FSendRootCertificate; }
  void SetSendRootCertificate(bool AValue);
  TqmCertificateChainVerifyFlags CertChainFlags() const { return FCertChainFlags; }
  void SetCertChainFlags(TqmCertificateChainVerifyFlags AValue);
  int CertChainRetrievalTimeout() const { return FCertChainRetrievalTimeout; }
  void SetCertChainRetrievalTimeout(int AValue);
  bool UseSystemTLSFlags() const { return FUseSystemTLSFlags; }
  void SetUseSystemTLSFlags(bool AValue);
  // The accepting side: the certificate (with its key, not owned) and
  // whether a client certificate is asked for (0 no, 1 asked, 2 required).
  void SetServerCertificate(TqmCertificate* AValue) { FServerCertificate = AValue; }
  void SetClientCertificateMode(int AValue) { FClientCertificateMode = AValue; }

 private:
  void ApplySettings(TqmTlsOpenSsl& AEngine);
  void Handshake(TStream* ADestination);
  void ProcessReceived(TMemoryStream& AData, TStream* ADestination);
  void DecryptInput(TStream* ADestination);
  bool SendPending(TStream* ASource, int64_t ALength);
  void VerifyPeer();
  int Overhead();
  // Plaintext handed to a reader: stream count and connection progress.
  void CountPlaintext(int64_t ACount);

  TMemoryStream FDecrypted;  // plaintext not yet handed to a reader
  TMemoryStream FOutgoing;   // ciphertext or a handshake message being sent
  TMemoryStream FInput;      // received bytes the engine has not used yet
  std::unique_ptr<TqmTlsOpenSsl> FEngine;
  TqmTlsStatus FStatus = TqmTlsStatus::Done;
  int FOverhead = -1;
  bool FHandshakePending = false;
  int64_t FChunkLength = 0;
  TqmCertificateVerifyFlags FCertificateFlags = 0;
  std::string FTargetName;
  TqmTlsFlags FTLSFlags = qmDefaultTlsFlags;
  bool FVerified = false;
  bool FPeerChecked = false;
  bool FServerSide = false;
  TqmCertificate* FServerCertificate = nullptr;
  int FClientCertificateMode = 0;
  std::recursive_mutex FLock;
  int64_t FRawCount = 0;
  std::string FSecurityPackage;
  bool FUseStrongCryptoAlgorithms = false;
  bool FSendRootCertificate = false;
  TqmCertificateChainVerifyFlags FCertChainFlags = 0;
  int FCertChainRetrievalTimeout = 0;
  bool FUseSystemTLSFlags = true;
};

}  // namespace qm
