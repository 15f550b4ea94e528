#include "net/qmTlsOpenSsl.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <utility>

#include "core/qmSysUtils.h"

namespace qm {

std::string SspiErrorText(int ACode) {
  switch (ACode) {
    case qmSspiLoadLibraryCode:
      return "Could not load the dll (schannel.dll, security.dll or secur32.dll)";
    case qmSspiInitRoutineCode: return "Could not get security initialization routine";
    case qmSspiInitPackageCode: return "Could not initialize the security package";
    case qmSspiAcquireCredentialsCode: return "AcquireCredentials failed";
    case qmSspiNoPackageCode: return "None of needed security package was found";
    case qmSspiQueryPackageCode: return "Could not query package information";
    case qmSspiLocalCertificateCode: return "Error querying local certificate";
    case qmSspiAuthenticateServerCode: return "Error occured when authenticating server credentials";
    case qmSspiNotSupportedCode: return "Not supported";
    case qmSspiOutOfMemoryCode: return "Out of memory";
    default: return std::string();
  }
}

void RaiseSspiError(int AFallbackCode) {
  const unsigned long Err = ERR_peek_error();
  std::string Text;
  int Code = AFallbackCode;
  if (Err != 0) {
    if (const char* Reason = ERR_reason_error_string(Err)) Text = Reason;
    Code = static_cast<int>(Err & 0x7FFFFFFF);
  }
  ERR_clear_error();
  Text = Trim(Text);
  if (Text.empty()) Text = SspiErrorText(Code);
  if (Text.empty()) Text = SspiErrorText(AFallbackCode);
  if (Text.empty()) Text = Format("The unknown error was occured: %x", static_cast<unsigned>(Code));
  throw EqmSSPIError(Text, Code);
}

size_t NextRecordLength(const uint8_t* AData, size_t ASize) {
  if (ASize < 5) return 0;
  // What cannot be a record header goes to OpenSSL whole, which rejects
  // it at once instead of waiting for a length that will never come.
  const bool Plausible = AData[0] >= 20 && AData[0] <= 24 && AData[1] == 3;
  const size_t Length = (static_cast<size_t>(AData[3]) << 8) | AData[4];
  if (!Plausible || Length > 16384 + 2048) return ASize;
  return ASize < 5 + Length ? 0 : 5 + Length;
}

size_t CompleteRecordsLength(const uint8_t* AData, size_t ASize) {
  size_t Pos = 0;
  while (Pos < ASize) {
    const size_t Length = NextRecordLength(AData + Pos, ASize - Pos);
    if (!Length) break;
    Pos += Length;
  }
  return Pos;
}

namespace {

// The unread bytes of a memory stream, after AHead (bytes the engine kept
// from an earlier step).
std::vector<uint8_t> TakeInput(std::vector<uint8_t>& AHead, TMemoryStream& ABuffer) {
  std::vector<uint8_t> In;
  In.swap(AHead);
  const int64_t Pos = std::min(ABuffer.Position(), ABuffer.Size());
  In.insert(In.end(), ABuffer.Memory() + Pos, ABuffer.Memory() + ABuffer.Size());
  return In;
}

void SetContent(TMemoryStream& ABuffer, const uint8_t* AData, size_t ASize) {
  ABuffer.Clear();
  if (ASize) ABuffer.Write(AData, static_cast<int64_t>(ASize));
  ABuffer.SetPosition(0);
}

}  // namespace

std::string DefaultTargetName() {
  const std::time_t T = std::time(nullptr);
  struct tm Tm {};
  localtime_r(&T, &Tm);
  char Buffer[32];
  std::strftime(Buffer, sizeof(Buffer), "%Y-%m-%d %H:%M:%S", &Tm);
  return Buffer;
}

namespace {

int EngineIndex() {
  static const int Index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return Index;
}

// Everything the context takes from the settings; the cache and the
// server's own context share it.
void ConfigureContext(SSL_CTX* ACtx, const TqmTlsSettings& ASettings) {
  // Protocol versions: the flags choose the range, gaps are switched off.
  struct TVersion {
    TqmTlsFlags Flag;
    int Version;
    uint64_t NoOption;
  };
  static const TVersion Versions[] = {
      {tfUseSSL3, SSL3_VERSION, SSL_OP_NO_SSLv3},
      {tfUseTLS, TLS1_VERSION, SSL_OP_NO_TLSv1},
      {tfUseTLS11, TLS1_1_VERSION, SSL_OP_NO_TLSv1_1},
      {tfUseTLS12, TLS1_2_VERSION, SSL_OP_NO_TLSv1_2},
      {tfUseTLS13, TLS1_3_VERSION, SSL_OP_NO_TLSv1_3},
  };
  const TqmTlsFlags Enabled = ASettings.EffectiveTlsFlags();
  int Min = 0, Max = 0;
  uint64_t Options = 0;
  for (const TVersion& V : Versions) {
    if (Enabled & V.Flag) {
      if (!Min) Min = V.Version;
      Max = V.Version;
    }
  }
  if (!Min) throw EqmSSPIError(SspiErrorText(qmSspiNotSupportedCode), qmSspiNotSupportedCode);
  for (const TVersion& V : Versions)
    if (V.Version > Min && V.Version < Max && !(Enabled & V.Flag)) Options |= V.NoOption;
  if (!SSL_CTX_set_min_proto_version(ACtx, Min) || !SSL_CTX_set_max_proto_version(ACtx, Max))
    RaiseSspiError(qmSspiAcquireCredentialsCode);
  // Renegotiation is refused; TLS 1.3 key updates are answered with the
  // next record sent.
  SSL_CTX_set_options(ACtx, Options | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
  SSL_CTX_set_mode(ACtx, SSL_MODE_NO_AUTO_CHAIN);
  // A shared context keeps no client sessions: a session resumed from
  // another client's handshake would skip this client's own checks.
  SSL_CTX_set_session_cache_mode(ACtx, SSL_SESS_CACHE_OFF);
  if (ASettings.UseStrongCryptoAlgorithms) {
    if (SSL_CTX_get_security_level(ACtx) < 2) SSL_CTX_set_security_level(ACtx, 2);
    if (!SSL_CTX_set_cipher_list(ACtx, "HIGH:!aNULL:!eNULL:!MD5:!RC4:!3DES:!SHA1"))
      RaiseSspiError(qmSspiAcquireCredentialsCode);
  }
  // Trust: the client's own CA file or directory, else the system store.
  if (!ASettings.CaFile.empty() || !ASettings.CaPath.empty()) {
    if (SSL_CTX_load_verify_locations(ACtx, ASettings.CaFile.empty() ? nullptr : ASettings.CaFile.c_str(),
                                      ASettings.CaPath.empty() ? nullptr : ASettings.CaPath.c_str()) != 1)
      RaiseSspiError(qmSspiAcquireCredentialsCode);
  } else if (SSL_CTX_set_default_verify_paths(ACtx) != 1) {
    RaiseSspiError(qmSspiAcquireCredentialsCode);
  }

  // Revocation is checked against the CRLs in the trust store.
  unsigned long VerifyFlags = 0;
  if (ASettings.CertChainFlags & rfCheckEndOnly)
    VerifyFlags |= X509_V_FLAG_CRL_CHECK;
  else if (ASettings.CertChainFlags & (rfCheckAll | rfExcludeRoot))
    VerifyFlags |= X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL;
  if (VerifyFlags) X509_VERIFY_PARAM_set_flags(SSL_CTX_get0_param(ACtx), VerifyFlags);

  // The chain is checked in full but never ends the handshake: the verdict
  // is judged (and may be overridden) once the handshake is done. Both
  // callbacks find their engine through the session (SSL ex_data), never
  // through the context, so engines sharing a context stay apart.
  SSL_CTX_set_verify(ACtx, SSL_VERIFY_PEER, TqmTlsOpenSsl::VerifyCallback);
  SSL_CTX_set_cert_cb(ACtx, TqmTlsOpenSsl::CertCallback, nullptr);
}

TqmSslCtxPtr NewContext(const TqmTlsSettings& ASettings) {
  ERR_clear_error();
  TqmSslCtxPtr Ctx(SSL_CTX_new(TLS_method()));
  if (!Ctx) RaiseSspiError(qmSspiAcquireCredentialsCode);
  ConfigureContext(Ctx.get(), ASettings);
  return Ctx;
}

// Identifies a trust file or directory as it is now: a CA file replaced or
// rewritten gives a new context.
std::string FileStamp(const std::string& AName) {
  struct stat St {};
  if (AName.empty() || ::stat(AName.c_str(), &St) != 0) return std::string();
  return Format("%lld.%ld/%lld/%llu", static_cast<long long>(St.st_mtim.tv_sec), St.st_mtim.tv_nsec,
                static_cast<long long>(St.st_size), static_cast<unsigned long long>(St.st_ino));
}

// Client contexts by the settings that shape them. Building one loads the
// trust store (the system's: some hundred certificates), which costs more
// than the rest of a handshake; a reconnecting client and clients with the
// same settings share one. Bounded: the oldest entry goes first.
class TContextCache {
 public:
  std::shared_ptr<SSL_CTX> Get(const TqmTlsSettings& ASettings) {
    const std::string Key = KeyOf(ASettings);
    std::lock_guard<std::mutex> Guard(FLock);
    for (const auto& [EntryKey, Ctx] : FEntries)
      if (EntryKey == Key) return Ctx;
    auto Ctx = ShareContext(NewContext(ASettings));
    if (FEntries.size() >= 32) FEntries.erase(FEntries.begin());
    FEntries.emplace_back(Key, Ctx);
    return Ctx;
  }

 private:
  static std::string KeyOf(const TqmTlsSettings& S) {
    std::string Key = Format("%u|%d|%u|", S.EffectiveTlsFlags(), S.UseStrongCryptoAlgorithms ? 1 : 0,
                             S.CertChainFlags);
    if (S.CaFile.empty() && S.CaPath.empty()) {
      // The system store follows OpenSSL's own variables.
      for (const char* Name : {"SSL_CERT_FILE", "SSL_CERT_DIR"}) {
        const char* Value = getenv(Name);
        Key += std::string(Value ? Value : "") + '\x1f' + FileStamp(Value ? Value : "") + '\x1f';
      }
    } else {
      Key += S.CaFile + '\x1f' + FileStamp(S.CaFile) + '\x1f' + S.CaPath + '\x1f' + FileStamp(S.CaPath);
    }
    return Key;
  }

  std::mutex FLock;
  std::vector<std::pair<std::string, std::shared_ptr<SSL_CTX>>> FEntries;
};

TContextCache& ContextCache() {
  static TContextCache Cache;
  return Cache;
}

}  // namespace

// ---------------------------------------------------------------------------

TqmTlsOpenSsl::TqmTlsOpenSsl(bool AServer) : FServer(AServer) {}

TqmTlsOpenSsl::~TqmTlsOpenSsl() {
  FCertificate.reset();
  ReleaseSession();
}

void TqmTlsOpenSsl::ReleaseSession() {
  FSsl.reset();  // frees both BIOs
  FReadBio = FWriteBio = nullptr;
  FCtx.reset();
  FComplete = false;
  FNeedCredentials = false;
  FCredentialsGiven = false;
  FClientCertificates.clear();
  FPendingIn.clear();
  FHeaderLength = -1;
  ERR_clear_error();
}

std::shared_ptr<SSL_CTX> TqmTlsOpenSsl::AcquireContext() { return ContextCache().Get(Settings()); }

void TqmTlsOpenSsl::CreateSession() {
  ReleaseSession();
  FVerified = false;
  FStatusCode = 0;
  FFirstVerifyError = 0;
  FCertificate.reset();
  ERR_clear_error();
  FCtx = AcquireContext();
  FSsl.reset(SSL_new(FCtx.get()));
  if (!FSsl) RaiseSspiError(qmSspiAcquireCredentialsCode);
  SSL_set_ex_data(FSsl.get(), EngineIndex(), this);
  TqmBioPtr ReadBio(BIO_new(BIO_s_mem()));
  TqmBioPtr WriteBio(BIO_new(BIO_s_mem()));
  if (!ReadBio || !WriteBio) throw EqmSSPIError(SspiErrorText(qmSspiOutOfMemoryCode), qmSspiOutOfMemoryCode);
  // An empty input means "wait for more", never end of file.
  BIO_set_mem_eof_return(ReadBio.get(), -1);
  FReadBio = ReadBio.release();
  FWriteBio = WriteBio.release();
  SSL_set_bio(FSsl.get(), FReadBio, FWriteBio);
  ConfigureSession(FSsl.get());
  if (FServer)
    SSL_set_accept_state(FSsl.get());
  else
    SSL_set_connect_state(FSsl.get());
}

void TqmTlsOpenSsl::ConfigureSession(SSL*) {}

bool TqmTlsOpenSsl::IsIgnored(int AX509Error) const {
  const TqmCertificateVerifyFlags F = Settings().CertificateFlags;
  switch (AX509Error) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return (F & cfIgnoreCommonNameInvalid) != 0;
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      if (F & cfIgnoreDateInvalid) return true;
      break;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
      if (F & cfIgnoreUnknownAuthority) return true;
      break;
    case X509_V_ERR_CERT_REVOKED:
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
    case X509_V_ERR_CRL_NOT_YET_VALID:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_ERROR_IN_CRL_LAST_UPDATE_FIELD:
    case X509_V_ERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD:
    case X509_V_ERR_CRL_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE:
    case X509_V_ERR_DIFFERENT_CRL_SCOPE:
    case X509_V_ERR_UNHANDLED_CRITICAL_CRL_EXTENSION:
    case X509_V_ERR_KEYUSAGE_NO_CRL_SIGN:
      if (F & cfIgnoreRevocation) return true;
      break;
    case X509_V_ERR_INVALID_PURPOSE:
    case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
    case X509_V_ERR_KEYUSAGE_NO_DIGITAL_SIGNATURE:
    case X509_V_ERR_CERT_REJECTED:
      if (F & cfIgnoreWrongUsage) return true;
      break;
    default:
      break;
  }
  // Ignoring chain policy errors waives every chain error but not the name.
  return (F & cfIgnoreChainPolicyErrors) != 0;
}

int TqmTlsOpenSsl::VerifyCallback(int APreverifyOk, X509_STORE_CTX* ACtx) {
  if (APreverifyOk) return 1;
  SSL* Ssl = static_cast<SSL*>(
      X509_STORE_CTX_get_ex_data(ACtx, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* Self = Ssl ? static_cast<TqmTlsOpenSsl*>(SSL_get_ex_data(Ssl, EngineIndex())) : nullptr;
  const int Error = X509_STORE_CTX_get_error(ACtx);
  if (Self && Self->FFirstVerifyError == 0 && !Self->IsIgnored(Error))
    Self->FFirstVerifyError = Error;
  return 1;
}

// Asked when the server requests a client certificate. The first time the
// handshake is suspended so that the caller can supply one.
int TqmTlsOpenSsl::CertCallback(SSL* ASsl, void*) {
  auto* Self = static_cast<TqmTlsOpenSsl*>(SSL_get_ex_data(ASsl, EngineIndex()));
  if (!Self || Self->FServer) return 1;
  if (!Self->FCredentialsGiven) return -1;
  TqmCertificate* Own = nullptr;
  for (TqmCertificate* C : Self->FClientCertificates)
    if (C && C->HasPrivateKey()) {
      Own = C;
      break;
    }
  if (!Own) return 1;  // go on without a certificate
  if (SSL_use_certificate(ASsl, Own->Handle()) != 1 || SSL_use_PrivateKey(ASsl, Own->PrivateKey()) != 1)
    return 0;
  for (TqmCertificate* C : Self->FClientCertificates) {
    if (!C || C == Own) continue;
    if (C->IsSelfSigned() && !Self->Settings().SendRootCertificate) continue;
    if (SSL_add1_chain_cert(ASsl, C->Handle()) != 1) return 0;
  }
  return 1;
}

void TqmTlsOpenSsl::Feed(const uint8_t* AData, size_t ASize) {
  size_t Done = 0;
  while (Done < ASize) {
    const int Chunk = static_cast<int>(std::min<size_t>(ASize - Done, 1u << 30));
    const int Written = BIO_write(FReadBio, AData + Done, Chunk);
    if (Written <= 0) throw EqmSSPIError(SspiErrorText(qmSspiOutOfMemoryCode), qmSspiOutOfMemoryCode);
    Done += static_cast<size_t>(Written);
  }
}

size_t TqmTlsOpenSsl::PendingOutput() const {
  return FWriteBio ? BIO_ctrl_pending(FWriteBio) : 0;
}

size_t TqmTlsOpenSsl::DrainOutput(TStream& AOutput) {
  const size_t Pending = PendingOutput();
  if (!Pending) return 0;
  AOutput.Seek(0, TSeekOrigin::soEnd);
  if (uint8_t* Room = AOutput.BeginWrite(static_cast<int64_t>(Pending))) {
    // Straight into the stream's memory: one copy.
    const int Got = BIO_read(FWriteBio, Room, static_cast<int>(Pending));
    AOutput.EndWrite(std::max(Got, 0));
    return static_cast<size_t>(std::max(Got, 0));
  }
  std::vector<uint8_t> Buffer(Pending);
  const int Got = BIO_read(FWriteBio, Buffer.data(), static_cast<int>(Pending));
  if (Got > 0) AOutput.WriteBuffer(Buffer.data(), Got);
  return static_cast<size_t>(std::max(Got, 0));
}

TqmTlsStatus TqmTlsOpenSsl::Handshake(TMemoryStream& ABuffer, TqmCertificateList* ACertificates,
                                      bool AInsist) {
  if (FNeedCredentials) {
    if ((!ACertificates || ACertificates->Count() == 0) && !AInsist)
      return TqmTlsStatus::NeedCredentials;
    FClientCertificates.clear();
    if (ACertificates)
      for (int I = 0; I < ACertificates->Count(); ++I)
        FClientCertificates.push_back(ACertificates->Items(I));
    FCredentialsGiven = true;
    FNeedCredentials = false;
  }

  if (!FSsl) {
    CreateSession();
    if (!FServer) {
      // The first step only produces the client's hello.
      const int Result = SSL_do_handshake(FSsl.get());
      if (Result <= 0 && SSL_get_error(FSsl.get(), Result) != SSL_ERROR_WANT_READ)
        RaiseSspiError(qmSspiAcquireCredentialsCode);
      ABuffer.Clear();
      DrainOutput(ABuffer);
      ABuffer.SetPosition(0);
      return TqmTlsStatus::SendToken;
    }
  }

  std::vector<uint8_t> In = TakeInput(FPendingIn, ABuffer);
  size_t Pos = 0;

  if (FComplete) {
    // The last message of the handshake went out earlier; what came after
    // it is application data.
    SetContent(ABuffer, In.data(), In.size());
    return In.empty() ? TqmTlsStatus::Done : TqmTlsStatus::DoneWithExtra;
  }

  for (;;) {
    ERR_clear_error();
    const int Result = SSL_do_handshake(FSsl.get());
    if (Result == 1) {
      FComplete = true;
      VerifyPeer();
      if (PendingOutput()) {
        // TLS 1.3 clients (and every server) finish with a message of their
        // own; what followed in the input waits for the next step.
        FPendingIn.assign(In.begin() + static_cast<ptrdiff_t>(Pos), In.end());
        ABuffer.Clear();
        DrainOutput(ABuffer);
        ABuffer.SetPosition(0);
        return FServer ? TqmTlsStatus::Done : TqmTlsStatus::SendToken;
      }
      SetContent(ABuffer, In.data() + Pos, In.size() - Pos);
      return Pos < In.size() ? TqmTlsStatus::DoneWithExtra : TqmTlsStatus::Done;
    }
    const int Error = SSL_get_error(FSsl.get(), Result);
    if (Error == SSL_ERROR_WANT_X509_LOOKUP) {
      FNeedCredentials = true;
      SetContent(ABuffer, In.data() + Pos, In.size() - Pos);
      return TqmTlsStatus::NeedCredentials;
    }
    if (Error != SSL_ERROR_WANT_READ && Error != SSL_ERROR_WANT_WRITE)
      RaiseSspiError(qmSspiAuthenticateServerCode);
    if (PendingOutput()) {
      FPendingIn.assign(In.begin() + static_cast<ptrdiff_t>(Pos), In.end());
      ABuffer.Clear();
      DrainOutput(ABuffer);
      ABuffer.SetPosition(0);
      return TqmTlsStatus::SendToken;
    }
    // One record at a time, so that what follows the last handshake
    // record is never swallowed.
    const size_t Length = NextRecordLength(In.data() + Pos, In.size() - Pos);
    if (!Length) {
      SetContent(ABuffer, In.data() + Pos, In.size() - Pos);
      return TqmTlsStatus::NeedMoreHandshake;
    }
    Feed(In.data() + Pos, Length);
    Pos += Length;
  }
}

void TqmTlsOpenSsl::Encrypt(TStream& ASource, TStream& AOutput, int64_t ALength) {
  if (!FSsl || !FComplete) throw EqmSSPIError(SspiErrorText(qmSspiNotSupportedCode), qmSspiNotSupportedCode);
  const int64_t SourcePos = ASource.Position();
  const int64_t OutputPos = AOutput.Position();
  ALength = std::max<int64_t>(0, std::min(ALength, ASource.Remaining()));
  const uint8_t* Data = nullptr;
  std::vector<uint8_t> Copy;
  if (const auto View = ASource.ReadView()) {
    Data = View->data();
  } else {
    Copy.resize(static_cast<size_t>(ALength));
    ASource.ReadBuffer(Copy.data(), ALength);
    Data = Copy.data();
  }
  int64_t Done = 0;
  while (Done < ALength) {
    const int Chunk = static_cast<int>(std::min<int64_t>(ALength - Done, 1 << 30));
    ERR_clear_error();
    const int Written = SSL_write(FSsl.get(), Data + Done, Chunk);
    if (Written <= 0) RaiseSspiError(qmSspiNotSupportedCode);
    Done += Written;
  }
  DrainOutput(AOutput);
  ASource.SetPosition(SourcePos);
  AOutput.SetPosition(OutputPos);
}

TqmTlsStatus TqmTlsOpenSsl::Decrypt(TMemoryStream& AInput, TStream& AOutput) {
  if (!FSsl) throw EqmSSPIError(SspiErrorText(qmSspiNotSupportedCode), qmSspiNotSupportedCode);
  // Whole records only: an incomplete one goes back to the caller, so that
  // the engine never holds a half record the caller also keeps.
  const uint8_t* Data;
  size_t Size;
  std::vector<uint8_t> Joined;
  if (!FPendingIn.empty()) {
    Joined = TakeInput(FPendingIn, AInput);
    Data = Joined.data();
    Size = Joined.size();
  } else {
    const int64_t Pos = std::min(AInput.Position(), AInput.Size());
    Data = AInput.Memory() + Pos;
    Size = static_cast<size_t>(AInput.Size() - Pos);
  }
  const size_t Complete = CompleteRecordsLength(Data, Size);
  if (Complete) Feed(Data, Complete);

  TqmTlsStatus Status = TqmTlsStatus::Done;
  bool Decrypted = false;
  uint8_t Local[16384];
  // A stream held in memory is appended to in place, without a copy.
  const bool InPlace = AOutput.ReadView().has_value();
  if (InPlace) AOutput.Seek(0, TSeekOrigin::soEnd);
  for (;;) {
    ERR_clear_error();
    int Got;
    uint8_t* Room = InPlace ? AOutput.BeginWrite(16384) : nullptr;
    if (Room) {
      Got = SSL_read(FSsl.get(), Room, 16384);
      AOutput.EndWrite(std::max(Got, 0));
    } else {
      Got = SSL_read(FSsl.get(), Local, sizeof(Local));
      if (Got > 0) AOutput.WriteBuffer(Local, Got);
    }
    if (Got > 0) {
      Decrypted = true;
      continue;
    }
    const int Error = SSL_get_error(FSsl.get(), Got);
    if (Error == SSL_ERROR_WANT_READ || Error == SSL_ERROR_WANT_WRITE) break;
    if (Error == SSL_ERROR_ZERO_RETURN) {
      Status = TqmTlsStatus::Expired;
      break;
    }
    RaiseSspiError(qmSspiNotSupportedCode);
  }
  if (Status == TqmTlsStatus::Expired) {
    // Nothing after the close notification counts.
    BIO_reset(FReadBio);
    AInput.Clear();
    return Status;
  }
  std::vector<uint8_t> Rest(Data + Complete, Data + Size);
  SetContent(AInput, Rest.data(), Rest.size());
  if (!Rest.empty()) return Decrypted ? TqmTlsStatus::PartialRecord : TqmTlsStatus::IncompleteRecord;
  return Status;
}

TqmTlsStatus TqmTlsOpenSsl::Shutdown(TStream& AOutput) {
  FVerified = false;
  if (!FSsl) {
    ReleaseSession();
    return TqmTlsStatus::Done;
  }
  TqmTlsStatus Status = TqmTlsStatus::Done;
  if (FComplete) {
    ERR_clear_error();
    SSL_shutdown(FSsl.get());
    if (DrainOutput(AOutput)) Status = TqmTlsStatus::SendShutdown;
  }
  ReleaseSession();
  return Status;
}

void TqmTlsOpenSsl::StreamSizes(int& AHeader, int& ATrailer, int& AMaxMessage) {
  if (FHeaderLength < 0) {
    if (!FSsl || !FComplete)
      throw EqmSSPIError(SspiErrorText(qmSspiQueryPackageCode), qmSspiQueryPackageCode);
    const SSL_CIPHER* Cipher = SSL_get_current_cipher(FSsl.get());
    if (!Cipher) throw EqmSSPIError(SspiErrorText(qmSspiQueryPackageCode), qmSspiQueryPackageCode);
    FHeaderLength = 5;
    if (SSL_version(FSsl.get()) >= TLS1_3_VERSION)
      FTrailerLength = 16 + 1;  // tag and inner content type
    else if (SSL_CIPHER_is_aead(Cipher))
      FTrailerLength = SSL_CIPHER_get_cipher_nid(Cipher) == NID_chacha20_poly1305 ? 16 : 8 + 16;
    else
      FTrailerLength = 16 + 64 + 16;  // IV, MAC and padding at most
    FMaxMessage = 16384;
  }
  AHeader = FHeaderLength;
  ATrailer = FTrailerLength;
  AMaxMessage = FMaxMessage;
}

std::string TqmTlsOpenSsl::StatusText() const {
  return X509_verify_cert_error_string(FStatusCode);
}

std::string TqmTlsOpenSsl::ProtocolVersion() const {
  return FSsl ? SSL_get_version(FSsl.get()) : std::string();
}

std::string TqmTlsOpenSsl::CipherName() const {
  return FSsl ? SSL_get_cipher_name(FSsl.get()) : std::string();
}

void TqmTlsOpenSsl::VerifyPeer() {
  TqmX509Ptr Peer(SSL_get1_peer_certificate(FSsl.get()));
  if (!Peer) {
    FVerified = false;
    FStatusCode = X509_V_ERR_UNSPECIFIED;
    return;
  }
  FCertificate = std::make_unique<TqmCertificate>(Peer.get());
  FStatusCode = FFirstVerifyError;
  FVerified = FStatusCode == X509_V_OK;
}

// ---------------------------------------------------------------------------

TqmTlsClientOpenSsl::TqmTlsClientOpenSsl() : TqmTlsOpenSsl(false), FDefaultTargetName(DefaultTargetName()) {}

const std::string& TqmTlsClientOpenSsl::TargetName() const {
  return Settings().TargetName.empty() ? FDefaultTargetName : Settings().TargetName;
}

void TqmTlsClientOpenSsl::ConfigureSession(SSL* ASsl) {
  const std::string Name = Trim(TargetName());
  const bool IsIp = !Name.empty() && (Name.find(':') != std::string::npos ||
                                      Name.find_first_not_of("0123456789.") == std::string::npos);
  if (!IsIp && !Name.empty()) {
    // Server name indication; harmless for servers that ignore it.
    SSL_set_tlsext_host_name(ASsl, Name.c_str());
  }
  if (Settings().CertificateFlags & cfIgnoreCommonNameInvalid) return;
  X509_VERIFY_PARAM* Param = SSL_get0_param(ASsl);
  const std::string Bare = !Name.empty() && Name.front() == '[' && Name.back() == ']'
                               ? Name.substr(1, Name.size() - 2)
                               : Name;
  // The name is always checked: an empty or unusable one matches nothing.
  if (IsIp && X509_VERIFY_PARAM_set1_ip_asc(Param, Bare.c_str()) == 1) return;
  X509_VERIFY_PARAM_set_hostflags(Param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  if (SSL_set1_host(ASsl, Name.empty() ? "\x01" : Name.c_str()) != 1)
    SSL_set1_host(ASsl, "\x01");
  ERR_clear_error();
}

TqmTlsServerOpenSsl::TqmTlsServerOpenSsl() : TqmTlsOpenSsl(true) {}

std::shared_ptr<SSL_CTX> TqmTlsServerOpenSsl::AcquireContext() {
  if (!FServerCertificate || !FServerCertificate->HasPrivateKey())
    throw EqmSSPIError(SspiErrorText(qmSspiLocalCertificateCode), qmSspiLocalCertificateCode);
  TqmSslCtxPtr Ctx = NewContext(Settings());
  if (SSL_CTX_use_certificate(Ctx.get(), FServerCertificate->Handle()) != 1 ||
      SSL_CTX_use_PrivateKey(Ctx.get(), FServerCertificate->PrivateKey()) != 1)
    RaiseSspiError(qmSspiLocalCertificateCode);
  int Mode = SSL_VERIFY_NONE;
  if (FClientCertificateMode >= 1) Mode = SSL_VERIFY_PEER;
  if (FClientCertificateMode >= 2) Mode |= SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
  SSL_CTX_set_verify(Ctx.get(), Mode, Mode == SSL_VERIFY_NONE ? nullptr : VerifyCallback);
  return ShareContext(std::move(Ctx));
}

void TqmTlsServerOpenSsl::VerifyPeer() {
  // The client's certificate, when it sent one.
  TqmX509Ptr Peer(SSL_get1_peer_certificate(FSsl.get()));
  FStatusCode = FFirstVerifyError;
  FVerified = Peer != nullptr && FStatusCode == X509_V_OK;
  if (Peer) FCertificate = std::make_unique<TqmCertificate>(Peer.get());
}

}  // namespace qm
