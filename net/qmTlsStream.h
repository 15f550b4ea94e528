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

/// A network stream that speaks TLS over the connection's socket: the
/// handshake runs as the connection's next actions, then reads decrypt and
/// writes encrypt. The server's certificate is judged once per session
/// (CertificateFlags, then OnVerifyPeer); a refused one raises EqmSSPIError.
class TqmTlsNetworkStream : public TqmNetworkStream {
 public:
  /// See TqmTlsGetCertificateProc.
  using TGetCertificateProc = TqmTlsGetCertificateProc;
  /// See TqmTlsVerifyPeerProc.
  using TVerifyPeerProc = TqmTlsVerifyPeerProc;

  /// A client stream with its own default settings.
  TqmTlsNetworkStream();
  /// Frees the engine.
  ~TqmTlsNetworkStream() override;

  // ---- overrides (slot order of the plain stream) ----
  /// Also takes over a TLS stream's settings (shared ones stay shared).
  void Assign(TqmNetworkStream& AOldStream) override;
  /// Ends the TLS session; with ANotifyPeer, close_notify is sent.
  void Shutdown(bool ANotifyPeer) override;
  /// Starts the handshake (a client's first message).
  void OpenClientSession() override;
  /// Reads and decrypts; handshake messages are handled on the way.
  bool Read(TStream* ADestination) override;
  /// Encrypts and sends.
  bool Write(TStream* ASource) override;
  /// The batch size plus the record overhead.
  int GetReadBatchSize() override;
  /// The batch size plus the record overhead.
  int GetWriteBatchSize() override;
  /// BytesToProceed reached by the plaintext or the raw bytes.
  bool IsLimitReached() override;
  /// Also starts the raw byte count again.
  void ResetProgress() override;
  /// Counts raw (encrypted) bytes only; plaintext is counted separately.
  void UpdateProgress(int64_t ACount) override;
  /// Prepares a client session (a new engine when the handshake starts).
  void InitClientSession() override;
  /// Prepares a server session (SetServerCertificate first).
  void InitServerSession() override;

  /// The engine's last status.
  TqmTlsStatus Status() const { return FStatus; }
  /// Whether the server's certificate was accepted (after the handshake).
  bool Verified() const { return FVerified; }
  /// Encrypted bytes moved since ResetProgress.
  int64_t RawBytes() const { return FRawCount; }
  /// The engine of the session (nullptr before it starts).
  TqmTlsOpenSsl* Engine();

  /// This stream.
  TqmTlsNetworkStream* TlsStream() override { return this; }

  // ---- settings; read by a running engine too ----
  /// The settings the stream and its engine read: the stream's own, or
  /// those handed over with UseSettings (the client's; they must outlive
  /// the stream). A setter below copies shared settings into the stream's
  /// own first.
  const TqmTlsSettings& Settings() const { return FSettings.Get(); }
  /// Reads ASettings (not owned; they must outlive the stream) from now on.
  void UseSettings(const TqmTlsSettings& ASettings);
  /// See TqmTlsSettings::CertificateFlags.
  TqmCertificateVerifyFlags CertificateFlags() const { return Settings().CertificateFlags; }
  /// Sets CertificateFlags.
  void SetCertificateFlags(TqmCertificateVerifyFlags AValue);
  /// See TqmTlsSettings::TargetName.
  const std::string& TargetName() const { return Settings().TargetName; }
  /// Sets TargetName.
  void SetTargetName(const std::string& AValue);
  /// See TqmTlsSettings::TLSFlags.
  TqmTlsFlags TLSFlags() const { return Settings().TLSFlags; }
  /// Sets TLSFlags.
  void SetTLSFlags(TqmTlsFlags AValue);
  /// See TqmTlsSettings::SecurityPackage.
  const std::string& SecurityPackage() const { return Settings().SecurityPackage; }
  /// Sets SecurityPackage.
  void SetSecurityPackage(const std::string& AValue);
  /// See TqmTlsSettings::UseStrongCryptoAlgorithms.
  bool UseStrongCryptoAlgorithms() const { return Settings().UseStrongCryptoAlgorithms; }
  /// Sets UseStrongCryptoAlgorithms.
  void SetUseStrongCryptoAlgorithms(bool AValue);
  /// See TqmTlsSettings::SendRootCertificate.
  bool SendRootCertificate() const { return Settings().SendRootCertificate; }
  /// Sets SendRootCertificate.
  void SetSendRootCertificate(bool AValue);
  /// See TqmTlsSettings::CertChainFlags.
  TqmCertificateChainVerifyFlags CertChainFlags() const { return Settings().CertChainFlags; }
  /// Sets CertChainFlags.
  void SetCertChainFlags(TqmCertificateChainVerifyFlags AValue);
  /// See TqmTlsSettings::CertChainRetrievalTimeout.
  int CertChainRetrievalTimeout() const { return Settings().CertChainRetrievalTimeout; }
  /// Sets CertChainRetrievalTimeout.
  void SetCertChainRetrievalTimeout(int AValue);
  /// See TqmTlsSettings::UseSystemTLSFlags.
  bool UseSystemTLSFlags() const { return Settings().UseSystemTLSFlags; }
  /// Sets UseSystemTLSFlags.
  void SetUseSystemTLSFlags(bool AValue);
  /// See TqmTlsSettings::CaFile.
  const std::string& CaFile() const { return Settings().CaFile; }
  /// Sets CaFile.
  void SetCaFile(const std::string& AValue);
  /// See TqmTlsSettings::CaPath.
  const std::string& CaPath() const { return Settings().CaPath; }
  /// Sets CaPath.
  void SetCaPath(const std::string& AValue);
  /// Sets the settings' OnGetCertificate.
  void SetOnGetCertificate(TGetCertificateProc AValue);
  /// Sets the settings' OnVerifyPeer.
  void SetOnVerifyPeer(TVerifyPeerProc AValue);
  /// The accepting side: the certificate (with its key, not owned) and
  /// whether a client certificate is asked for (0 no, 1 asked, 2 required).
  void SetServerCertificate(TqmCertificate* AValue) { FServerCertificate = AValue; }
  /// See SetServerCertificate.
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
