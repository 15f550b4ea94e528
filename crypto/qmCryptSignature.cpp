#include "crypto/qmCryptSignature.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <vector>

namespace qm {

namespace {

using TqmBignumPtr = std::unique_ptr<BIGNUM, TqmOpenSslDeleter<BN_free>>;

TqmByteArray BignumBytes(EVP_PKEY* AKey, const char* AName) {
  BIGNUM* Raw = nullptr;
  if (EVP_PKEY_get_bn_param(AKey, AName, &Raw) != 1) RaiseCryptError("EVP_PKEY_get_bn_param");
  TqmBignumPtr Number(Raw);
  TqmByteArray Bytes(static_cast<size_t>(BN_num_bytes(Number.get())));
  BN_bn2bin(Number.get(), Bytes.data());
  return Bytes;
}

TqmByteArray WithoutLeadingZeros(const TqmByteArray& ABytes) {
  auto First = std::find_if(ABytes.begin(), ABytes.end(), [](uint8_t B) { return B != 0; });
  return TqmByteArray(First, ABytes.end());
}

// A verification context prepared for AKey and AMd, kept per thread for the
// keys used last: creating and initialising one costs OpenSSL 3 provider
// look-ups that take longer than checking the signature itself. Only public
// operations are cached, so no private key outlives its owner here.
EVP_PKEY_CTX* VerifyContext(EVP_PKEY* AKey, const EVP_MD* AMd) {
  struct TEntry {
    EVP_PKEY* Key;
    const EVP_MD* Md;
    TqmEvpPkeyCtxPtr Context;  // holds a reference to Key, so the address stays its own
  };
  constexpr size_t Capacity = 8;
  thread_local std::vector<TEntry> Cache;
  for (size_t I = 0; I < Cache.size(); ++I)
    if (Cache[I].Key == AKey && Cache[I].Md == AMd) {
      if (I + 1 != Cache.size()) std::rotate(Cache.begin() + I, Cache.begin() + I + 1, Cache.end());
      return Cache.back().Context.get();
    }
  TqmEvpPkeyCtxPtr Ctx(EVP_PKEY_CTX_new(AKey, nullptr));
  if (!Ctx || EVP_PKEY_verify_init(Ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(Ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(Ctx.get(), AMd) != 1)
    RaiseCryptError("EVP_PKEY_verify_init");
  if (Cache.size() == Capacity) Cache.erase(Cache.begin());
  Cache.push_back(TEntry{AKey, AMd, std::move(Ctx)});
  return Cache.back().Context.get();
}

// One DER element of tag ATag at the reader's place: its contents, or false
// when the bytes are not such an element (definite lengths only, as DER).
bool ReadDer(const uint8_t*& AAt, const uint8_t* AEnd, uint8_t ATag, const uint8_t*& AContents,
             size_t& ALength) {
  if (AEnd - AAt < 2 || *AAt != ATag) return false;
  const uint8_t* P = AAt + 1;
  size_t Length = *P++;
  if (Length & 0x80) {
    const int Bytes = static_cast<int>(Length & 0x7F);
    if (Bytes == 0 || Bytes > 3 || AEnd - P < Bytes) return false;
    Length = 0;
    for (int I = 0; I < Bytes; ++I) Length = Length << 8 | *P++;
  }
  if (static_cast<size_t>(AEnd - P) < Length) return false;
  AContents = P;
  ALength = Length;
  AAt = P + Length;
  return true;
}

}  // namespace

void TqmRsaKey::LoadPrivateKeyFromText(const std::string& APem) {
  LoadPrivateKey(TqmByteArray(APem.begin(), APem.end()));
}

void TqmRsaKey::LoadPrivateKeyFromFile(const std::string& AFileName) {
  LoadPrivateKey(ReadFileBytes(AFileName));
}

// TqmOpenSslRsaKey

void TqmOpenSslRsaKey::Init() {
  FKey.reset();
  FPrivate = false;
}

EVP_PKEY* TqmOpenSslRsaKey::Required() const {
  if (!FKey) RaiseKeyRequired();
  return FKey.get();
}

void TqmOpenSslRsaKey::Adopt(TqmEvpPkeyPtr AKey, bool APrivate) {
  if (!AKey) RaiseKeyRequired();
  if (!EVP_PKEY_is_a(AKey.get(), "RSA"))
    throw EqmCryptError("The key is not of the type the operation needs", CRYPT_E_WRONG_KEY_TYPE);
  FKey = std::move(AKey);
  FPrivate = APrivate;
  FKeySize = EVP_PKEY_get_bits(FKey.get());
}

void TqmOpenSslRsaKey::GenerateKey() {
  FKey.reset();
  FPrivate = false;
  EVP_PKEY* Key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(FKeySize));
  if (!Key) RaiseCryptError("EVP_PKEY_Q_keygen");
  Adopt(TqmEvpPkeyPtr(Key), true);
}

TqmByteArray TqmOpenSslRsaKey::GetRsaPrivateKey() {
  if (!HasPrivateKey()) RaiseKeyRequired();
  return EncodeKey(FKey.get(), true, "type-specific");
}

TqmByteArray TqmOpenSslRsaKey::GetRsaPublicKey() {
  return EncodeKey(Required(), false, "type-specific");
}

TqmByteArray TqmOpenSslRsaKey::GetPublicKeyInfo() {
  return EncodeKey(Required(), false, "SubjectPublicKeyInfo");
}

void TqmOpenSslRsaKey::SetRsaPrivateKey(const TqmByteArray& ADer) {
  Adopt(DecodeKey(ADer.data(), ADer.size(), "RSA", true, "DER"), true);
}

void TqmOpenSslRsaKey::SetRsaPublicKey(const TqmByteArray& ADer) {
  Adopt(DecodeKey(ADer.data(), ADer.size(), "RSA", false, "DER", "type-specific"), false);
}

namespace {

// n and e of an RSA SubjectPublicKeyInfo (rsaEncryption with NULL
// parameters, the BIT STRING holding RSAPublicKey), or false for anything
// else; the whole input must be the one structure.
bool RsaSpkiComponents(const TqmByteArray& ADer, TqmByteArray& AModulus, TqmByteArray& AExponent) {
  static constexpr uint8_t RsaAlgorithm[] = {0x30, 0x0d, 0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7,
                                             0x0d, 0x01, 0x01, 0x01, 0x05, 0x00};
  const uint8_t* At = ADer.data();
  const uint8_t* End = At + ADer.size();
  const uint8_t* Body;
  size_t Length;
  if (!ReadDer(At, End, 0x30, Body, Length) || At != End) return false;
  At = Body;
  End = Body + Length;
  if (static_cast<size_t>(End - At) < sizeof RsaAlgorithm ||
      !std::equal(std::begin(RsaAlgorithm), std::end(RsaAlgorithm), At))
    return false;
  At += sizeof RsaAlgorithm;
  if (!ReadDer(At, End, 0x03, Body, Length) || At != End || Length < 1 || *Body != 0) return false;
  At = Body + 1;
  End = Body + Length;
  if (!ReadDer(At, End, 0x30, Body, Length) || At != End) return false;
  At = Body;
  End = Body + Length;
  for (TqmByteArray* Number : {&AModulus, &AExponent}) {
    if (!ReadDer(At, End, 0x02, Body, Length) || Length == 0 || (*Body & 0x80)) return false;
    Number->assign(Body, Body + Length);
  }
  return At == End;
}

}  // namespace

void TqmOpenSslRsaKey::SetPublicKeyInfo(const TqmByteArray& ADer) {
  if (ADer.empty()) RaiseKeyRequired();
  // The RSA form DKIM publishes is read directly: d2i_PUBKEY costs about
  // half a millisecond in OpenSSL 3, more than checking the signature.
  TqmByteArray Modulus, Exponent;
  if (RsaSpkiComponents(ADer, Modulus, Exponent)) return SetRsaPublicKeyComponents(Modulus, Exponent);
  // Any other key type, or parameters DKIM does not use.
  const unsigned char* P = ADer.data();
  TqmEvpPkeyPtr Key(d2i_PUBKEY(nullptr, &P, static_cast<long>(ADer.size())));
  if (!Key || P != ADer.data() + ADer.size()) {
    ERR_clear_error();
    throw EqmCryptError("The key data is invalid", CRYPT_E_BAD_KEY);
  }
  Adopt(std::move(Key), false);
}

void TqmOpenSslRsaKey::SetRsaPublicKeyComponents(const TqmByteArray& AModulus,
                                                 const TqmByteArray& AExponent) {
  const TqmByteArray Modulus = WithoutLeadingZeros(AModulus);
  const TqmByteArray Exponent = WithoutLeadingZeros(AExponent);
  if (Modulus.empty() || Exponent.empty())
    throw EqmCryptError("The key data is invalid", CRYPT_E_BAD_KEY);
  TqmBignumPtr N(BN_bin2bn(Modulus.data(), static_cast<int>(Modulus.size()), nullptr));
  TqmBignumPtr E(BN_bin2bn(Exponent.data(), static_cast<int>(Exponent.size()), nullptr));
  if (!N || !E) RaiseCryptError("BN_bin2bn");
  std::unique_ptr<OSSL_PARAM_BLD, TqmOpenSslDeleter<OSSL_PARAM_BLD_free>> Build(
      OSSL_PARAM_BLD_new());
  if (!Build || OSSL_PARAM_BLD_push_BN(Build.get(), OSSL_PKEY_PARAM_RSA_N, N.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(Build.get(), OSSL_PKEY_PARAM_RSA_E, E.get()) != 1)
    RaiseCryptError("OSSL_PARAM_BLD_push_BN");
  std::unique_ptr<OSSL_PARAM, TqmOpenSslDeleter<OSSL_PARAM_free>> Params(
      OSSL_PARAM_BLD_to_param(Build.get()));
  if (!Params) RaiseCryptError("OSSL_PARAM_BLD_to_param");
  TqmEvpPkeyCtxPtr Ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* Key = nullptr;
  if (!Ctx || EVP_PKEY_fromdata_init(Ctx.get()) != 1 ||
      EVP_PKEY_fromdata(Ctx.get(), &Key, EVP_PKEY_PUBLIC_KEY, Params.get()) != 1)
    RaiseCryptError("EVP_PKEY_fromdata");
  Adopt(TqmEvpPkeyPtr(Key), false);
}

void TqmOpenSslRsaKey::GetRsaPublicKeyComponents(TqmByteArray& AModulus, TqmByteArray& AExponent) {
  EVP_PKEY* Key = Required();
  AModulus = BignumBytes(Key, OSSL_PKEY_PARAM_RSA_N);
  AExponent = BignumBytes(Key, OSSL_PKEY_PARAM_RSA_E);
}

namespace {

// The PEM label's base64 body decoded, when AText is PEM with that label.
bool PemBody(const TqmByteArray& AText, std::string_view ALabel, TqmByteArray& ADer) {
  const std::string_view Text(reinterpret_cast<const char*>(AText.data()), AText.size());
  const std::string Begin = "-----BEGIN " + std::string(ALabel) + "-----";
  const std::string End = "-----END " + std::string(ALabel) + "-----";
  const size_t From = Text.find(Begin);
  if (From == std::string_view::npos || Text.find_first_not_of(" \t\r\n") != From) return false;
  const size_t To = Text.find(End, From + Begin.size());
  if (To == std::string_view::npos) return false;
  return DecodeBase64(Text.substr(From + Begin.size(), To - From - Begin.size()), ADer);
}

}  // namespace

static TqmEvpPkeyPtr RsaPrivateKeyFromDer(const TqmByteArray& ADer) {
  const uint8_t* At = ADer.data();
  const uint8_t* End = At + ADer.size();
  const uint8_t* Body;
  size_t Length;
  if (!ReadDer(At, End, 0x30, Body, Length) || At != End) return nullptr;
  At = Body;
  End = Body + Length;
  // PKCS #8: version 0, the rsaEncryption algorithm, the PKCS #1 key in an
  // OCTET STRING.
  static constexpr uint8_t RsaAlgorithm[] = {0x30, 0x0d, 0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7,
                                             0x0d, 0x01, 0x01, 0x01, 0x05, 0x00};
  if (End - At > 3 + static_cast<ptrdiff_t>(sizeof RsaAlgorithm) && At[0] == 0x02 && At[1] == 0x01 && At[2] == 0 &&
      std::equal(std::begin(RsaAlgorithm), std::end(RsaAlgorithm), At + 3)) {
    At += 3 + sizeof RsaAlgorithm;
    const uint8_t* Inner;
    size_t InnerLength;
    if (!ReadDer(At, End, 0x04, Inner, InnerLength)) return nullptr;
    // Attributes may follow; the key is all that is needed.
    return RsaPrivateKeyFromDer(TqmByteArray(Inner, Inner + InnerLength));
  }
  // PKCS #1 RSAPrivateKey: version 0 (two primes), then n, e, d, p, q,
  // d mod (p-1), d mod (q-1), q^-1 mod p.
  const uint8_t* Version;
  size_t VersionLength;
  if (!ReadDer(At, End, 0x02, Version, VersionLength) || VersionLength != 1 || *Version != 0) return nullptr;
  static const char* const Names[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
                                      OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                                      OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                                      OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
  std::unique_ptr<OSSL_PARAM_BLD, TqmOpenSslDeleter<OSSL_PARAM_BLD_free>> Build(OSSL_PARAM_BLD_new());
  if (!Build) RaiseCryptError("OSSL_PARAM_BLD_new");
  std::vector<TqmBignumPtr> Numbers;
  for (const char* Name : Names) {
    const uint8_t* Value;
    size_t ValueLength;
    // Positive integers only.
    if (!ReadDer(At, End, 0x02, Value, ValueLength) || ValueLength == 0 || (*Value & 0x80)) return nullptr;
    Numbers.emplace_back(BN_bin2bn(Value, static_cast<int>(ValueLength), nullptr));
    if (!Numbers.back() || OSSL_PARAM_BLD_push_BN(Build.get(), Name, Numbers.back().get()) != 1)
      RaiseCryptError("OSSL_PARAM_BLD_push_BN");
  }
  if (At != End) return nullptr;
  std::unique_ptr<OSSL_PARAM, TqmOpenSslDeleter<OSSL_PARAM_free>> Params(OSSL_PARAM_BLD_to_param(Build.get()));
  if (!Params) RaiseCryptError("OSSL_PARAM_BLD_to_param");
  TqmEvpPkeyCtxPtr Ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* Key = nullptr;
  if (!Ctx || EVP_PKEY_fromdata_init(Ctx.get()) != 1 ||
      EVP_PKEY_fromdata(Ctx.get(), &Key, EVP_PKEY_KEYPAIR, Params.get()) != 1) {
    ERR_clear_error();
    return nullptr;
  }
  return TqmEvpPkeyPtr(Key);
}

TqmEvpPkeyPtr RsaPrivateKeyFromPemOrDer(const TqmByteArray& APemOrDer) {
  if (!APemOrDer.empty() && APemOrDer[0] == 0x30) return RsaPrivateKeyFromDer(APemOrDer);
  TqmByteArray Der;
  if (PemBody(APemOrDer, "RSA PRIVATE KEY", Der) || PemBody(APemOrDer, "PRIVATE KEY", Der))
    return RsaPrivateKeyFromDer(Der);
  return nullptr;
}

void TqmOpenSslRsaKey::LoadPrivateKey(const TqmByteArray& APemOrDer) {
  // The short road first: OpenSSL 3's generic decoder costs more than the
  // signature a key is loaded for when each message loads it again.
  if (TqmEvpPkeyPtr Key = RsaPrivateKeyFromPemOrDer(APemOrDer)) return Adopt(std::move(Key), true);
  Adopt(DecodeKey(APemOrDer.data(), APemOrDer.size(), "RSA", true), true);
}

// TqmDigestSignature

template <class TBase>
void TqmDigestSignature<TBase>::Init() {
  FKey.reset();
  FHash.reset(EVP_MD_CTX_new());
  if (!FHash) RaiseCryptError("EVP_MD_CTX_new");
  if (EVP_DigestInit_ex(FHash.get(), GetDigest(), nullptr) != 1) RaiseCryptError("EVP_DigestInit_ex");
}

template <class TBase>
void TqmDigestSignature<TBase>::UpdateHashRaw(const void* AData, size_t ASize) {
  if (!FHash) Init();
  if (ASize > 0 && EVP_DigestUpdate(FHash.get(), AData, ASize) != 1)
    RaiseCryptError("EVP_DigestUpdate");
}

template <class TBase>
void TqmDigestSignature<TBase>::UpdateHash(const TqmByteArray& ABytes, int AStart, int ACount) {
  if (AStart < 0 || static_cast<size_t>(AStart) >= ABytes.size() || ACount <= 0) return;
  const size_t Count =
      std::min(static_cast<size_t>(ACount), ABytes.size() - static_cast<size_t>(AStart));
  UpdateHashRaw(ABytes.data() + AStart, Count);
}

template <class TBase>
void TqmDigestSignature<TBase>::Verify(const TqmByteArray& ASignature) {
  if (!this->CheckSignature(ASignature))
    throw EqmCryptError("Invalid Signature", CRYPT_E_BAD_SIGNATURE);
}

template <class TBase>
TqmByteArray TqmDigestSignature<TBase>::FinalDigest() {
  if (!FHash) Init();
  TqmByteArray Digest(EVP_MAX_MD_SIZE);
  unsigned int Len = 0;
  if (EVP_DigestFinal_ex(FHash.get(), Digest.data(), &Len) != 1) RaiseCryptError("EVP_DigestFinal_ex");
  Digest.resize(Len);
  return Digest;
}

template class TqmDigestSignature<TqmSignature>;
template class TqmDigestSignature<TqmSignatureRsa>;

// TqmOpenSslSignatureRsa

TqmEvpPkeyPtr TqmOpenSslSignatureRsa::TakeKey(TqmRsaKey& AKey, bool APrivate) {
  if (APrivate ? !AKey.HasPrivateKey() : !AKey.HasKey()) RaiseKeyRequired();
  // Our own key objects are shared, not copied through DER.
  if (auto* Own = dynamic_cast<TqmOpenSslRsaKey*>(&AKey)) return ShareKey(Own->Handle());
  TqmOpenSslRsaKey Copy;
  if (APrivate)
    Copy.SetRsaPrivateKey(AKey.GetRsaPrivateKey());
  else
    Copy.SetRsaPublicKey(AKey.GetRsaPublicKey());
  return ShareKey(Copy.Handle());
}

bool TqmSignatureRsa::AcceptKey(TqmConfigObject& AKey, bool APrivate) {
  auto* Key = dynamic_cast<TqmRsaKey*>(&AKey);
  if (!Key) return false;
  APrivate ? SetPrivateKey(*Key) : SetPublicKey(*Key);
  return true;
}

void TqmOpenSslSignatureRsa::SetPrivateKey(TqmRsaKey& AKey) {
  FKey = TakeKey(AKey, true);
}

void TqmOpenSslSignatureRsa::SetPublicKey(TqmRsaKey& AKey) {
  FKey = TakeKey(AKey, false);
}

TqmByteArray TqmOpenSslSignatureRsa::Sign() {
  if (!FKey) RaiseKeyRequired();
  const TqmByteArray Digest = FinalDigest();
  TqmEvpPkeyCtxPtr Ctx(EVP_PKEY_CTX_new(FKey.get(), nullptr));
  if (!Ctx || EVP_PKEY_sign_init(Ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(Ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(Ctx.get(), GetDigest()) != 1)
    RaiseCryptError("EVP_PKEY_sign_init");
  size_t Size = 0;
  if (EVP_PKEY_sign(Ctx.get(), nullptr, &Size, Digest.data(), Digest.size()) != 1)
    RaiseCryptError("EVP_PKEY_sign");
  TqmByteArray Signature(Size);
  if (EVP_PKEY_sign(Ctx.get(), Signature.data(), &Size, Digest.data(), Digest.size()) != 1)
    RaiseCryptError("EVP_PKEY_sign");
  Signature.resize(Size);
  return Signature;
}

bool TqmOpenSslSignatureRsa::CheckSignature(const TqmByteArray& ASignature) {
  if (!FKey) RaiseKeyRequired();
  const TqmByteArray Digest = FinalDigest();
  const int Result = EVP_PKEY_verify(VerifyContext(FKey.get(), GetDigest()), ASignature.data(),
                                     ASignature.size(), Digest.data(), Digest.size());
  // A mismatch leaves reasons on the error queue; they are not failures of
  // the library.
  ERR_clear_error();
  return Result == 1;
}

}  // namespace qm
