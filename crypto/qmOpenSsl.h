// The error class of all cryptographic code and the raising of OpenSSL
// failures.
#pragma once

#include <netdb.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "core/qmException.h"
#include "core/qmTypes.h"

namespace qm {

/// The error of hashes, signatures and keys: a library code below, or the
/// OpenSSL error code of the failed call with OpenSSL's reason text.
class EqmCryptError : public Exception {
 public:
  /// An error with its message and code.
  EqmCryptError(const std::string& AMessage, int AErrorCode)
      : Exception(AMessage), FErrorCode(AErrorCode) {}
  /// A CRYPT_E_ code, or OpenSSL's error code.
  int ErrorCode() const { return FErrorCode; }

 private:
  int FErrorCode;
};

// Library codes.
constexpr int CRYPT_E_KEY_REQUIRED = -4;  ///< "A key is required to complete the operation"
constexpr int CRYPT_E_BAD_SIGNATURE = -5; ///< "Invalid Signature": a signature that does not match
constexpr int CRYPT_E_BAD_KEY = -6;       ///< "The key data is invalid": bytes that hold no usable key
constexpr int CRYPT_E_WRONG_KEY_TYPE = -7; ///< "The key is not of the type the operation needs"

/// Raises CRYPT_E_KEY_REQUIRED.
[[noreturn]] void RaiseKeyRequired();

/// Raises EqmCryptError for a failed OpenSSL call: the code is the first
/// error on the thread's OpenSSL error queue (which is then cleared), the
/// message its reason text with trailing blanks and periods removed; with
/// no reason text, "ACall error - code".
[[noreturn]] void RaiseCryptError(const char* ACall);

/// unique_ptr deleters for OpenSSL handles (and the resolver's address
/// lists), so no handle is freed by hand: these aliases are the only place
/// that names a free function.
template <auto FreeFunction>
struct TqmOpenSslDeleter {
  /// Frees AHandle with FreeFunction.
  template <class T>
  void operator()(T* AHandle) const noexcept {
    FreeFunction(AHandle);
  }
};
/// \cond INTERNAL
namespace detail {
// Free functions that OpenSSL defines as macros or that take a second
// argument.
inline void FreeOpenSslMemory(void* AData) noexcept { OPENSSL_free(AData); }
inline void FreeX509Stack(STACK_OF(X509) * AStack) noexcept { sk_X509_pop_free(AStack, X509_free); }
}  // namespace detail
/// \endcond
using TqmEvpPkeyPtr = std::unique_ptr<EVP_PKEY, TqmOpenSslDeleter<EVP_PKEY_free>>;  ///< An owned key.
/// An owned key context.
using TqmEvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, TqmOpenSslDeleter<EVP_PKEY_CTX_free>>;
using TqmEvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, TqmOpenSslDeleter<EVP_MD_CTX_free>>;  ///< An owned digest.
using TqmSslCtxPtr = std::unique_ptr<SSL_CTX, TqmOpenSslDeleter<SSL_CTX_free>>;  ///< An owned TLS context.
using TqmSslPtr = std::unique_ptr<SSL, TqmOpenSslDeleter<SSL_free>>;  ///< An owned TLS connection.
using TqmBioPtr = std::unique_ptr<BIO, TqmOpenSslDeleter<BIO_free_all>>;  ///< An owned BIO chain.
using TqmX509Ptr = std::unique_ptr<X509, TqmOpenSslDeleter<X509_free>>;  ///< An owned certificate.
/// An owned list of certificates (each freed with it).
using TqmX509StackPtr = std::unique_ptr<STACK_OF(X509), TqmOpenSslDeleter<detail::FreeX509Stack>>;
using TqmPkcs12Ptr = std::unique_ptr<PKCS12, TqmOpenSslDeleter<PKCS12_free>>;  ///< An owned PKCS #12 file.
/// Owned subject alternative names.
using TqmGeneralNamesPtr = std::unique_ptr<GENERAL_NAMES, TqmOpenSslDeleter<GENERAL_NAMES_free>>;
/// An owned extended key usage extension.
using TqmExtendedKeyUsagePtr =
    std::unique_ptr<EXTENDED_KEY_USAGE, TqmOpenSslDeleter<EXTENDED_KEY_USAGE_free>>;
/// A secret number: cleared before it is freed.
using TqmSecretBignumPtr = std::unique_ptr<BIGNUM, TqmOpenSslDeleter<BN_clear_free>>;
/// Memory OpenSSL allocated for the caller (strings, DER buffers).
template <class T = char>
using TqmOpenSslMemoryPtr = std::unique_ptr<T, TqmOpenSslDeleter<detail::FreeOpenSslMemory>>;
/// A getaddrinfo result.
using TqmAddrInfoPtr = std::unique_ptr<addrinfo, TqmOpenSslDeleter<freeaddrinfo>>;
/// An SSL_CTX shared by reference count (the TLS context cache).
inline std::shared_ptr<SSL_CTX> ShareContext(TqmSslCtxPtr ACtx) {
  return std::shared_ptr<SSL_CTX>(std::move(ACtx));
}

/// Shares AKey (one more reference); nullptr stays nullptr.
TqmEvpPkeyPtr ShareKey(EVP_PKEY* AKey);

/// Decodes a key from PEM or DER bytes, any structure OpenSSL knows (PKCS #1,
/// PKCS #8, SubjectPublicKeyInfo, the type-specific forms). AKeyType limits
/// the key type ("RSA", "ED25519"; nullptr: any); APrivate asks for a
/// private key, else a public key is read (a private key also gives its
/// public half). Raises CRYPT_E_BAD_KEY when nothing decodes.
TqmEvpPkeyPtr DecodeKey(const void* AData, size_t ASize, const char* AKeyType, bool APrivate,
                        const char* AInputType = nullptr, const char* AStructure = nullptr);

/// Encodes the public or private part of AKey as DER in the given structure
/// ("type-specific" for PKCS #1, "SubjectPublicKeyInfo", "PrivateKeyInfo").
TqmByteArray EncodeKey(EVP_PKEY* AKey, bool APrivate, const char* AStructure);

/// Base64 without line breaks.
std::string EncodeBase64(const TqmByteArray& ABytes);
/// Base64 back to bytes; white space is skipped. False for text that is
/// not base64.
bool DecodeBase64(std::string_view AText, TqmByteArray& AResult);

/// Reads a whole file into bytes; raises EFOpenError when it cannot be read.
TqmByteArray ReadFileBytes(const std::string& AFileName);

}  // namespace qm
