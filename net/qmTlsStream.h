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
#include "net/qmTlsSettings.h"

namespace qm {

class TqmTlsNetworkStream : public TqmNetworkStream {
 public:
  using TGetCertificateProc = TqmTlsGetCertificateProc;
  using TVerifyPeerProc = TqmTlsVerifyPeerProc;

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

  TqmTlsNetworkStream* TlsStream() override { return this; }

  // ---- settings; read by a running engine too ----
  // The settings the stream and its engine read: the stream's own, or
  // those handed over with UseSettings (the client's; they must outlive
  // the stream). A setter below copies shared settings into the stream's
  // own first.
  const TqmTlsSettings& Settings() const { return FSettings.Get(); }
  void UseSettings(const TqmTlsSettings& ASettings);
  TqmCertificateVerifyFlags CertificateFlags() const { return Settings().CertificateFlags; }
  void SetCertificateFlags(TqmCertificateVerifyFlags AValue);
  const std::string& TargetName() const { return Settings().TargetName; }
  void SetTargetName(const std::string& AValue);
  TqmTlsFlags TLSFlags() const { return Settings().TLSFlags; }
  void SetTLSFlags(TqmTlsFlags AValue);
  const std::string& SecurityPackage() const { return Settings().SecurityPackage; }
  void SetSecurityPackage(const std::string& AValue);
  bool UseStrongCryptoAlgorithms() const { return Settings().UseStrongCryptoAlgorithms; }
  void SetUseStrongCryptoAlgorithms(bool AValue);
  bool SendRootCertificate() const { return Settings().SendRootCertificate; }
  void SetSendRootCertificate(bool AValue);
  TqmCertificateChainVerifyFlags CertChainFlags() const { return Settings().CertChainFlags; }
  void SetCertChainFlags(TqmCertificateChainVerifyFlags AValue);
  int CertChainRetrievalTimeout() const { return Settings().CertChainRetrievalTimeout; }
  void SetCertChainRetrievalTimeout(int AValue);
  bool UseSystemTLSFlags() const { return Settings().UseSystemTLSFlags; }
  void SetUseSystemTLSFlags(bool AValue);
  const std::string& CaFile() const { return Settings().CaFile; }
  void SetCaFile(const std::string& AValue);
  const std::string& CaPath() const { return Settings().CaPath; }
  void SetCaPath(const std::string& AValue);
  void SetOnGetCertificate(TGetCertificateProc AValue);
  void SetOnVerifyPeer(TVerifyPeerProc AValue);
  // The accepting side: the certificate (with its key, not owned) and
  // whether a client certificate is asked for (0 no, 1 asked, 2 required).
  void SetServerCertificate(TqmCertificate* AValue) { FServerCertificate = AValue; }
  void SetClientCertificateMode(int AValue) { FClientCertificateMode = AValue; }

 private:
  // Changes the stream's own settings and points a running engine at them.
  template <class F>
  void EditSettings(F AChange);
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
  TqmTlsSettingsLink FSettings;
  bool FVerified = false;
  bool FPeerChecked = false;
  bool FServerSide = false;
  TqmCertificate* FServerCertificate = nullptr;
  int FClientCertificateMode = 0;
  std::recursive_mutex FLock;
  int64_t FRawCount = 0;
};

}  // namespace qm
