// Every TLS setting of a client in one value: the client owns it, the TLS
// stream and the engine read it through a const reference, so a setting is
// stored once and never copied along the chain. The fields that shape an
// OpenSSL context (versions, ciphers, chain checks, trust) also select the
// shared context of the cache (see TqmTlsContextCache).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "net/qmCertificate.h"

namespace qm {

/// Server certificate checks that may be waived (bit masks).
enum TqmCertificateVerifyFlag : uint32_t {
  cfIgnoreCommonNameInvalid = 1u << 0,  ///< Accept a certificate for another name.
  cfIgnoreDateInvalid = 1u << 1,  ///< Accept an expired or not yet valid certificate.
  cfIgnoreUnknownAuthority = 1u << 2,  ///< Accept a certificate no trusted CA signed.
  cfIgnoreRevocation = 1u << 3,  ///< Accept a revoked certificate, or one whose CRL is missing.
  cfIgnoreWrongUsage = 1u << 4,  ///< Accept a certificate not meant for TLS servers.
  cfIgnoreChainPolicyErrors = 1u << 5,  ///< Accept any other chain error.
};
/// TqmCertificateVerifyFlag bits.
using TqmCertificateVerifyFlags = uint32_t;

/// Protocol versions that may be negotiated (bit masks; the default set,
/// TLS 1.0 to 1.2, is 28).
enum TqmTlsFlag : uint32_t {
  tfUseSSL2 = 1u << 0,  ///< Never negotiated (OpenSSL 3 has no SSL 2).
  tfUseSSL3 = 1u << 1,  ///< SSL 3 (refused by OpenSSL's default security level).
  tfUseTLS = 1u << 2,  ///< TLS 1.0.
  tfUseTLS11 = 1u << 3,  ///< TLS 1.1.
  tfUseTLS12 = 1u << 4,  ///< TLS 1.2.
  tfUseTLS13 = 1u << 5,  ///< TLS 1.3.
};
/// TqmTlsFlag bits.
using TqmTlsFlags = uint32_t;
/// TLS 1.0 to 1.2 (TLS 1.3 too with UseSystemTLSFlags).
constexpr TqmTlsFlags qmDefaultTlsFlags = tfUseTLS | tfUseTLS11 | tfUseTLS12;

/// Chain building options (bit masks). Revocation checking uses the CRLs
/// of the trust store; the cache, URL retrieval, root update and time-out
/// options have no counterpart here and are kept only as settings.
enum TqmCertificateChainVerifyFlag : uint32_t {
  rfCheckEndOnly = 1u << 0,  ///< Check the server's certificate against the CRLs.
  rfCheckAll = 1u << 1,  ///< Check the whole chain against the CRLs.
  rfExcludeRoot = 1u << 2,  ///< As rfCheckAll.
  rfCacheEndCert = 1u << 3,  ///< A setting only.
  rfCheckCacheOnly = 1u << 4,  ///< A setting only.
  rfUseCacheOnlyUrlRetrieval = 1u << 5,  ///< A setting only.
  rfDisableRootAutoUpdate = 1u << 6,  ///< A setting only.
  rfAccumulativeTimeout = 1u << 7,  ///< A setting only.
};
/// TqmCertificateChainVerifyFlag bits.
using TqmCertificateChainVerifyFlags = uint32_t;

/// Asked when the server wants a client certificate: set ACertificate (not
/// handed over) and optionally add chain certificates to AExtraCerts.
using TqmTlsGetCertificateProc =
    std::function<void(TqmCertificate*& ACertificate, TqmCertificateList& AExtraCerts, bool& AHandled)>;
/// Asked once per session with the verdict on the server's certificate;
/// AVerified may be changed either way.
using TqmTlsVerifyPeerProc = std::function<void(TqmCertificate* ACertificate, const std::string& AStatusText,
                                                int AStatusCode, bool& AVerified)>;

/// Every TLS setting of a client (see the file's comment).
struct TqmTlsSettings {
  // ---- what shapes the OpenSSL context (and so the cache key) ----
  /// TLSFlags cap the protocol version. With UseSystemTLSFlags (default
  /// true) the default set also allows TLS 1.3; a set the caller chose is
  /// applied exactly (TLS 1.3 only with tfUseTLS13).
  TqmTlsFlags TLSFlags = qmDefaultTlsFlags;
  /// See TLSFlags.
  bool UseSystemTLSFlags = true;
  /// Only strong ciphers (no SHA-1, RC4, 3DES, MD5) at security level 2 or more.
  bool UseStrongCryptoAlgorithms = false;
  /// Revocation checks of the chain (TqmCertificateChainVerifyFlag).
  TqmCertificateChainVerifyFlags CertChainFlags = 0;
  /// The certificates trusted to sign the server's: a PEM file of CA
  /// certificates, a directory prepared with `openssl rehash`, or both.
  /// With neither, the system's trust store.
  std::string CaFile;
  /// See CaFile.
  std::string CaPath;

  // ---- per session ----
  /// Server certificate checks waived (TqmCertificateVerifyFlag; 0: none).
  TqmCertificateVerifyFlags CertificateFlags = 0;
  /// The name the server's certificate must carry (a host name or an IP
  /// literal). Empty on a client: the server's name is used.
  std::string TargetName;
  /// Send a self-signed root with the client's certificate chain too.
  bool SendRootCertificate = false;
  /// Kept as settings only: OpenSSL has one provider and no retrieval
  /// time-out for chains.
  std::string SecurityPackage;
  /// See SecurityPackage.
  int CertChainRetrievalTimeout = 0;

  /// Asked when the server wants a client certificate.
  TqmTlsGetCertificateProc OnGetCertificate;
  /// Asked with the verdict on the server's certificate.
  TqmTlsVerifyPeerProc OnVerifyPeer;

  /// The TLS versions to enable: TLSFlags, plus TLS 1.3 when
  /// UseSystemTLSFlags is set and TLSFlags is the default set.
  TqmTlsFlags EffectiveTlsFlags() const;
};

/// The settings a stream or an engine reads: shared ones (owned by the
/// client, never copied) or, once something is set on the stream or engine
/// itself, its own copy.
class TqmTlsSettingsLink {
 public:
  /// The settings in force.
  const TqmTlsSettings& Get() const { return FShared ? *FShared : FOwn; }
  /// Reads ASettings (not owned; must outlive the link) from now on.
  void Share(const TqmTlsSettings* ASettings) { FShared = ASettings; }
  /// The own copy, made from the shared settings on first use.
  TqmTlsSettings& Edit() {
    if (FShared) {
      FOwn = *FShared;
      FShared = nullptr;
    }
    return FOwn;
  }

 private:
  TqmTlsSettings FOwn;
  const TqmTlsSettings* FShared = nullptr;
};

}  // namespace qm
