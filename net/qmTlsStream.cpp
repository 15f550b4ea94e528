#include "net/qmTlsStream.h"

#include <openssl/x509_vfy.h>

#include <algorithm>

#include "net/qmSocketError.h"

namespace qm {

namespace {

void ReplaceContent(TMemoryStream& ATarget, TMemoryStream& ASource) {
  const int64_t Pos = std::min(ASource.Position(), ASource.Size());
  ATarget.Clear();
  if (ASource.Size() > Pos) ATarget.Write(ASource.Memory() + Pos, ASource.Size() - Pos);
  ATarget.SetPosition(0);
}

void AppendContent(TMemoryStream& ATarget, TMemoryStream& ASource) {
  const int64_t Pos = ATarget.Position();
  ATarget.Seek(0, TSeekOrigin::soEnd);
  if (ASource.Size() > 0) ATarget.Write(ASource.Memory(), ASource.Size());
  ATarget.SetPosition(Pos);
}

}  // namespace

TqmTlsNetworkStream::TqmTlsNetworkStream() { FSettings.Edit().TargetName = DefaultTargetName(); }

TqmTlsNetworkStream::~TqmTlsNetworkStream() {
  std::lock_guard<std::recursive_mutex> Lock(FLock);
  FEngine.reset();
}

TqmTlsOpenSsl* TqmTlsNetworkStream::Engine() {
  std::lock_guard<std::recursive_mutex> Lock(FLock);
  return FEngine.get();
}

void TqmTlsNetworkStream::UseSettings(const TqmTlsSettings& ASettings) {
  std::lock_guard<std::recursive_mutex> Lock(FLock);
  FSettings.Share(&ASettings);
  if (FEngine) FEngine->UseSettings(Settings());
}

template <class F>
void TqmTlsNetworkStream::EditSettings(F AChange) {
  std::lock_guard<std::recursive_mutex> Lock(FLock);
  AChange(FSettings.Edit());
  if (FEngine) FEngine->UseSettings(Settings());
}

#define QM_TLS_SETTER(Name, Type)                                            \
  void TqmTlsNetworkStream::Set##Name(Type AValue) {                         \
    EditSettings([&](TqmTlsSettings& ASettings) { ASettings.Name = AValue; }); \
  }
QM_TLS_SETTER(CertificateFlags, TqmCertificateVerifyFlags)
QM_TLS_SETTER(TargetName, const std::string&)
QM_TLS_SETTER(TLSFlags, TqmTlsFlags)
QM_TLS_SETTER(SecurityPackage, const std::string&)
QM_TLS_SETTER(UseStrongCryptoAlgorithms, bool)
QM_TLS_SETTER(SendRootCertificate, bool)
QM_TLS_SETTER(CertChainFlags, TqmCertificateChainVerifyFlags)
QM_TLS_SETTER(CertChainRetrievalTimeout, int)
QM_TLS_SETTER(UseSystemTLSFlags, bool)
QM_TLS_SETTER(CaFile, const std::string&)
QM_TLS_SETTER(CaPath, const std::string&)
QM_TLS_SETTER(OnGetCertificate, TGetCertificateProc)
QM_TLS_SETTER(OnVerifyPeer, TVerifyPeerProc)
#undef QM_TLS_SETTER

void TqmTlsNetworkStream::Assign(TqmNetworkStream& AOldStream) {
  TqmNetworkStream::Assign(AOldStream);
  TqmTlsNetworkStream* Old = AOldStream.TlsStream();
  if (!Old) return;
  // Shared settings stay shared; the old stream's own are copied.
  FSettings = Old->FSettings;
  FServerCertificate = Old->FServerCertificate;
  FClientCertificateMode = Old->FClientCertificateMode;
}

void TqmTlsNetworkStream::InitClientSession() {
  {
    std::lock_guard<std::recursive_mutex> Lock(FLock);
    FEngine.reset();
    auto Engine = std::make_unique<TqmTlsClientOpenSsl>();
    Engine->UseSettings(Settings());
    FEngine = std::move(Engine);
  }
  FServerSide = false;
  FInput.Clear();
  FOutgoing.Clear();
  FStatus = TqmTlsStatus::Done;
  FOverhead = -1;
  FPeerChecked = false;
  FVerified = false;
  FHandshakePending = true;
  SetNextAction(naWrite);
}

void TqmTlsNetworkStream::InitServerSession() {
  {
    std::lock_guard<std::recursive_mutex> Lock(FLock);
    FEngine.reset();
    auto Engine = std::make_unique<TqmTlsServerOpenSsl>();
    Engine->UseSettings(Settings());
    Engine->SetCertificate(FServerCertificate);
    Engine->SetClientCertificateMode(FClientCertificateMode);
    FEngine = std::move(Engine);
  }
  FServerSide = true;
  FInput.Clear();
  FOutgoing.Clear();
  FOverhead = -1;
  FPeerChecked = false;
  FVerified = false;
  FHandshakePending = false;
  // The client speaks first.
  FStatus = TqmTlsStatus::AwaitHandshake;
}

void TqmTlsNetworkStream::OpenClientSession() {
  // The handshake is driven by the next actions; nothing to do here.
}

void TqmTlsNetworkStream::CountPlaintext(int64_t ACount) {
  if (ACount > 0) TqmNetworkStream::UpdateProgress(ACount);
}

void TqmTlsNetworkStream::UpdateProgress(int64_t ACount) { FRawCount += ACount; }

void TqmTlsNetworkStream::ResetProgress() {
  TqmNetworkStream::ResetProgress();
  FRawCount = 0;
}

bool TqmTlsNetworkStream::IsLimitReached() {
  const int64_t Limit = FConnection->BytesToProceed();
  return Limit >= 0 && (BytesProceed() >= Limit || FRawCount >= Limit);
}

int TqmTlsNetworkStream::Overhead() {
  if (FOverhead >= 0) return FOverhead;
  std::lock_guard<std::recursive_mutex> Lock(FLock);
  if (!FEngine || !FEngine->HandshakeComplete()) return 0;
  try {
    int Header = 0, Trailer = 0, MaxMessage = 0;
    FEngine->StreamSizes(Header, Trailer, MaxMessage);
    FOverhead = Header + Trailer;
  } catch (const EqmSSPIError&) {
    FOverhead = 0;
  }
  return FOverhead;
}

int TqmTlsNetworkStream::GetReadBatchSize() {
  const int Base = GetBatchSize();
  return Base > 0 ? Base + Overhead() : Base;
}

int TqmTlsNetworkStream::GetWriteBatchSize() {
  const int Base = GetBatchSize();
  return Base > 0 ? Base + Overhead() : Base;
}

void TqmTlsNetworkStream::VerifyPeer() {
  if (FPeerChecked || FServerSide) return;
  FPeerChecked = true;
  bool Verified = FEngine->Verified();
  int Code = FEngine->StatusCode();
  std::string Text = FEngine->StatusText();
  if (Settings().OnVerifyPeer) Settings().OnVerifyPeer(FEngine->Certificate(), Text, Code, Verified);
  FVerified = Verified;
  if (!Verified) {
    if (Code == X509_V_OK) {
      // Rejected by the application although the chain was sound.
      Code = X509_V_ERR_APPLICATION_VERIFICATION;
      Text = X509_verify_cert_error_string(Code);
    }
    throw EqmSocketError(Text, Code);
  }
}

void TqmTlsNetworkStream::Handshake(TStream* ADestination) {
  if (!ADestination) ADestination = &FDecrypted;
  std::lock_guard<std::recursive_mutex> Lock(FLock);
  if (!FEngine) RaiseSocketErrorMessage(qmNetworkStreamRequired, qmNetworkStreamRequiredCode);
  TqmCertificateList Certificates(false);
  FOverhead = -1;
  TqmTlsStatus Status = FEngine->Handshake(FInput, &Certificates, false);
  if (Status == TqmTlsStatus::NeedCredentials) {
    TqmCertificate* Certificate = nullptr;
    bool Handled = false;
    if (Settings().OnGetCertificate) Settings().OnGetCertificate(Certificate, Certificates, Handled);
    if (Certificate) Certificates.Add(Certificate);
    Status = FEngine->Handshake(FInput, &Certificates, true);
    if (Status == TqmTlsStatus::NeedCredentials)
      throw EqmSocketError(SspiErrorText(qmSspiLocalCertificateCode), qmSspiLocalCertificateCode);
  }
  FStatus = Status;
  if (Status == TqmTlsStatus::Done || Status == TqmTlsStatus::DoneWithExtra) VerifyPeer();

  switch (Status) {
    case TqmTlsStatus::SendToken: {
      const bool Sent = SendPending(nullptr, 0);
      if (!Sent) SetNextAction(naWrite);
      FStatus = TqmTlsStatus::AwaitHandshake;
      // A TLS 1.3 client ends the handshake with a message of its own:
      // nothing more comes from the server, so finish at once.
      if (!FServerSide && FEngine->HandshakeComplete() && Sent) Handshake(ADestination);
      return;
    }
    case TqmTlsStatus::DoneWithExtra:
      DecryptInput(ADestination);
      if (FStatus != TqmTlsStatus::IncompleteRecord && FStatus != TqmTlsStatus::Expired)
        FStatus = TqmTlsStatus::Done;
      break;
    case TqmTlsStatus::Done:
      if (FServerSide && FInput.Size() > 0) {
        FStatus = TqmTlsStatus::SendToken;
        if (!SendPending(nullptr, 0)) SetNextAction(naWrite);
        FStatus = TqmTlsStatus::Done;
      }
      break;
    default:
      break;
  }
  // The engine leaves in the input buffer exactly the bytes it has not
  // used (a partial handshake message or record), so nothing is dropped
  // here.
  if (FStatus == TqmTlsStatus::Done || FStatus == TqmTlsStatus::Expired) {
    if (FConnection) FConnection->DoReady();
  }
}

void TqmTlsNetworkStream::DecryptInput(TStream* ADestination) {
  TqmTlsStatus Status;
  {
    std::lock_guard<std::recursive_mutex> Lock(FLock);
    Status = FEngine->Decrypt(FInput, *ADestination);
  }
  switch (Status) {
    case TqmTlsStatus::Done:
      FInput.Clear();
      break;
    case TqmTlsStatus::Renegotiate:
      FHandshakePending = true;
      break;
    case TqmTlsStatus::PartialRecord:
      Status = TqmTlsStatus::IncompleteRecord;
      break;
    case TqmTlsStatus::Expired:
      FNeedClose = true;
      break;
    default:
      break;
  }
  FStatus = Status;
}

void TqmTlsNetworkStream::ProcessReceived(TMemoryStream& AData, TStream* ADestination) {
  switch (FStatus) {
    case TqmTlsStatus::AwaitHandshake:
      ReplaceContent(FInput, AData);
      Handshake(ADestination);
      return;
    case TqmTlsStatus::NeedMoreHandshake:
      AppendContent(FInput, AData);
      Handshake(ADestination);
      return;
    case TqmTlsStatus::IncompleteRecord:
      AppendContent(FInput, AData);
      break;
    default:
      ReplaceContent(FInput, AData);
      break;
  }
  DecryptInput(ADestination);
}

bool TqmTlsNetworkStream::Read(TStream* ADestination) {
  ClearNextAction();
  TStream* Target = ADestination ? ADestination : &FDecrypted;
  const int64_t Before = Target->Position();
  if (ADestination && FDecrypted.Size() > 0) {
    ADestination->WriteBuffer(FDecrypted.Memory(), FDecrypted.Size());
    FDecrypted.Clear();
  } else {
    TMemoryStream Raw;
    TqmNetworkStream::Read(&Raw);
    if (Raw.Size() > 0) {
      Raw.SetPosition(0);
      if (Target == &FDecrypted) FDecrypted.Seek(0, TSeekOrigin::soEnd);
      ProcessReceived(Raw, Target);
    }
  }
  FHasReadData = FDecrypted.Size() > 0;
  const bool Delivered = ADestination ? ADestination->Position() > Before : FHasReadData;
  if (FStatus == TqmTlsStatus::Renegotiate) {
    SetNextAction(naWrite);
  } else if (FStatus == TqmTlsStatus::IncompleteRecord && Delivered) {
    // The rest of the record cut by this read comes with the next one.
    // Reading on for it now would go on as long as the peer keeps sending
    // (reads rarely end on a record's end), and the caller's block would
    // grow with the whole transfer.
  } else if (FStatus != TqmTlsStatus::Done && FStatus != TqmTlsStatus::Expired) {
    SetNextAction(naRead);
  }
  if (ADestination) CountPlaintext(ADestination->Position() - Before);
  return true;
}

bool TqmTlsNetworkStream::SendPending(TStream* ASource, int64_t ALength) {
  if (FOutgoing.Size() == 0) {
    if (FStatus == TqmTlsStatus::SendToken || FStatus == TqmTlsStatus::SendShutdown) {
      ReplaceContent(FOutgoing, FInput);
      FInput.Clear();
    } else if (ASource && ALength > 0) {
      // Encrypted straight into the outgoing buffer: the input buffer may
      // hold the start of a record received earlier and must survive.
      std::lock_guard<std::recursive_mutex> Lock(FLock);
      FEngine->Encrypt(*ASource, FOutgoing, ALength);
    }
    FOutgoing.SetPosition(0);
  }
  if (FOutgoing.Size() == 0) return true;
  TqmNetworkStream::Write(&FOutgoing);
  if (FOutgoing.Position() >= FOutgoing.Size()) {
    FOutgoing.Clear();
    return true;
  }
  return false;
}

bool TqmTlsNetworkStream::Write(TStream* ASource) {
  ClearNextAction();
  if (FHandshakePending) {
    FHandshakePending = false;
    Handshake(nullptr);
    if (FStatus != TqmTlsStatus::Done) SetNextAction(naRead);
    return true;
  }
  if (!ASource) {
    const bool Sent = SendPending(nullptr, 0);
    if (!Sent) {
      SetNextAction(naWrite);
    } else if (FStatus == TqmTlsStatus::AwaitHandshake && !FServerSide) {
      std::lock_guard<std::recursive_mutex> Lock(FLock);
      // The client's last handshake message is out now (see Handshake).
      if (FEngine && FEngine->HandshakeComplete()) {
        Handshake(nullptr);
        FHasReadData = FDecrypted.Size() > 0;
      } else {
        SetNextAction(naRead);
      }
    }
    return Sent;
  }
  bool Sent = true;
  while (Sent && (FOutgoing.Size() > 0 || ASource->Position() < ASource->Size()) && !IsStopped()) {
    if (FOutgoing.Size() > 0) {
      Sent = SendPending(nullptr, 0);
    } else {
      FChunkLength = std::min<int64_t>(ASource->Size() - ASource->Position(), FConnection->BatchSize());
      Sent = SendPending(ASource, FChunkLength);
    }
    if (Sent && FChunkLength > 0) {
      // The source moves only once its ciphertext is out.
      ASource->Seek(FChunkLength, TSeekOrigin::soCurrent);
      CountPlaintext(FChunkLength);
      FChunkLength = 0;
    }
  }
  return Sent;
}

void TqmTlsNetworkStream::Shutdown(bool ANotifyPeer) {
  ClearNextAction();
  FStatus = TqmTlsStatus::Done;
  FInput.Clear();
  std::lock_guard<std::recursive_mutex> Lock(FLock);
  if (FEngine) {
    TqmTlsStatus Status = TqmTlsStatus::Done;
    try {
      Status = FEngine->Shutdown(FInput);
    } catch (const EqmSSPIError&) {
      Status = TqmTlsStatus::Done;
    }
    if (ANotifyPeer && Status == TqmTlsStatus::SendShutdown) {
      FStatus = TqmTlsStatus::SendShutdown;
      FOutgoing.Clear();
      try {
        if (!SendPending(nullptr, 0)) SetNextAction(naWrite);
      } catch (const EqmSocketError&) {
      }
    }
  }
  FInput.Clear();
  FHandshakePending = false;
  FStatus = TqmTlsStatus::Done;
}

}  // namespace qm
