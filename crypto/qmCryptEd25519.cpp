#include "crypto/qmCryptEd25519.h"

#include <openssl/err.h>

#include <utility>

#include "core/qmSysUtils.h"

namespace qm {

namespace {

TqmByteArray RawKey(EVP_PKEY* AKey, bool APrivate) {
  size_t Len = 0;
  auto Get = APrivate ? EVP_PKEY_get_raw_private_key : EVP_PKEY_get_raw_public_key;
  if (Get(AKey, nullptr, &Len) != 1) RaiseCryptError("EVP_PKEY_get_raw_key");
  TqmByteArray Raw(Len);
  if (Get(AKey, Raw.data(), &Len) != 1) RaiseCryptError("EVP_PKEY_get_raw_key");
  return Raw;
}

[[noreturn]] void RaiseBadKey() {
  ERR_clear_error();
  throw EqmCryptError("The key data is invalid", CRYPT_E_BAD_KEY);
}

}  // namespace

void TqmEd25519Key::Init() {
  FKey.reset();
  FPrivate = false;
}

void TqmEd25519Key::Adopt(TqmEvpPkeyPtr AKey, bool APrivate) {
  if (!AKey) RaiseKeyRequired();
  if (!EVP_PKEY_is_a(AKey.get(), "ED25519"))
    throw EqmCryptError("The key is not of the type the operation needs", CRYPT_E_WRONG_KEY_TYPE);
  FKey = std::move(AKey);
  FPrivate = APrivate;
}

void TqmEd25519Key::GenerateKey() {
  EVP_PKEY* Key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  if (!Key) RaiseCryptError("EVP_PKEY_Q_keygen");
  Adopt(TqmEvpPkeyPtr(Key), true);
}

TqmByteArray TqmEd25519Key::GetPublicKey() {
  if (!FKey) RaiseKeyRequired();
  return RawKey(FKey.get(), false);
}

TqmByteArray TqmEd25519Key::GetPrivateKey() {
  if (!HasPrivateKey()) RaiseKeyRequired();
  return RawKey(FKey.get(), true);
}

void TqmEd25519Key::SetPublicKey(const TqmByteArray& ARaw) {
  if (ARaw.empty()) RaiseKeyRequired();
  EVP_PKEY* Key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, ARaw.data(), ARaw.size());
  if (!Key) RaiseBadKey();
  Adopt(TqmEvpPkeyPtr(Key), false);
}

void TqmEd25519Key::SetPrivateKey(const TqmByteArray& ARaw) {
  if (ARaw.empty()) RaiseKeyRequired();
  EVP_PKEY* Key = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, ARaw.data(), ARaw.size());
  if (!Key) RaiseBadKey();
  Adopt(TqmEvpPkeyPtr(Key), true);
}

void TqmEd25519Key::LoadPrivateKey(const TqmByteArray& APemOrDer) {
  TqmByteArray Seed;
  if (DecodeBase64(std::string_view(reinterpret_cast<const char*>(APemOrDer.data()), APemOrDer.size()), Seed) && Seed.size() == 32) {
    SetPrivateKey(Seed);
    return;
  }
  Adopt(DecodeKey(APemOrDer.data(), APemOrDer.size(), "ED25519", true), true);
}

// TqmSignatureEd25519

bool TqmSignatureEd25519::AcceptKey(TqmConfigObject& AKey, bool APrivate) {
  auto* Key = dynamic_cast<TqmEd25519Key*>(&AKey);
  if (!Key) return false;
  APrivate ? SetPrivateKey(*Key) : SetPublicKey(*Key);
  return true;
}

void TqmSignatureEd25519::SetPrivateKey(TqmEd25519Key& AKey) {
  if (!AKey.HasPrivateKey()) RaiseKeyRequired();
  FKey = ShareKey(AKey.Handle());
}

void TqmSignatureEd25519::SetPublicKey(TqmEd25519Key& AKey) {
  if (!AKey.HasKey()) RaiseKeyRequired();
  FKey = ShareKey(AKey.Handle());
}

TqmByteArray TqmSignatureEd25519::Sign() {
  if (!FKey) RaiseKeyRequired();
  const TqmByteArray Digest = FinalDigest();
  TqmEvpMdCtxPtr Ctx(EVP_MD_CTX_new());
  if (!Ctx || EVP_DigestSignInit(Ctx.get(), nullptr, nullptr, nullptr, FKey.get()) != 1)
    RaiseCryptError("EVP_DigestSignInit");
  size_t Size = 64;
  TqmByteArray Signature(Size);
  if (EVP_DigestSign(Ctx.get(), Signature.data(), &Size, Digest.data(), Digest.size()) != 1)
    RaiseCryptError("EVP_DigestSign");
  Signature.resize(Size);
  return Signature;
}

bool TqmSignatureEd25519::CheckSignature(const TqmByteArray& ASignature) {
  if (!FKey) RaiseKeyRequired();
  const TqmByteArray Digest = FinalDigest();
  TqmEvpMdCtxPtr Ctx(EVP_MD_CTX_new());
  if (!Ctx || EVP_DigestVerifyInit(Ctx.get(), nullptr, nullptr, nullptr, FKey.get()) != 1)
    RaiseCryptError("EVP_DigestVerifyInit");
  const int Result = EVP_DigestVerify(Ctx.get(), ASignature.data(), ASignature.size(),
                                      Digest.data(), Digest.size());
  ERR_clear_error();
  return Result == 1;
}

}  // namespace qm
