#include "crypto/qmOpenSsl.h"

#include <openssl/core_names.h>
#include <openssl/decoder.h>
#include <openssl/encoder.h>
#include <openssl/err.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "core/qmSysUtils.h"

namespace qm {

namespace {
// Whether AKey holds private material (a decoder asked for a key pair may
// still hand back a public key alone).
bool HasPrivateHalf(EVP_PKEY* AKey) {
  if (EVP_PKEY_is_a(AKey, "RSA")) {
    BIGNUM* D = nullptr;
    const bool Has = EVP_PKEY_get_bn_param(AKey, OSSL_PKEY_PARAM_RSA_D, &D) == 1 && D;
    const TqmSecretBignumPtr Owned(D);
    ERR_clear_error();
    return Has;
  }
  size_t Len = 0;
  const bool Has =
      EVP_PKEY_get_octet_string_param(AKey, OSSL_PKEY_PARAM_PRIV_KEY, nullptr, 0, &Len) == 1 &&
      Len > 0;
  ERR_clear_error();
  return Has;
}
}  // namespace

void RaiseCryptError(const char* ACall) {
  unsigned long Err = ERR_peek_error();
  std::string Text;
  if (Err != 0) {
    const char* Reason = ERR_reason_error_string(Err);
    if (Reason) Text = Reason;
  }
  ERR_clear_error();
  while (!Text.empty() && (static_cast<unsigned char>(Text.back()) <= ' ' || Text.back() == '.'))
    Text.pop_back();
  // OpenSSL packs library and reason into the code; the reason part is
  // what identifies the failure.
  const int Code = static_cast<int>(Err & 0x7FFFFFFF);
  if (Text.empty()) Text = Format("%s error - %d", ACall, Code);
  throw EqmCryptError(Text, Code);
}

void RaiseKeyRequired() {
  throw EqmCryptError("A key is required to complete the operation", CRYPT_E_KEY_REQUIRED);
}

TqmEvpPkeyPtr ShareKey(EVP_PKEY* AKey) {
  if (AKey && EVP_PKEY_up_ref(AKey) != 1) RaiseCryptError("EVP_PKEY_up_ref");
  return TqmEvpPkeyPtr(AKey);
}

TqmEvpPkeyPtr DecodeKey(const void* AData, size_t ASize, const char* AKeyType, bool APrivate,
                        const char* AInputType, const char* AStructure) {
  if (!AData || ASize == 0) RaiseKeyRequired();
  EVP_PKEY* Key = nullptr;
  const int Selection = APrivate ? OSSL_KEYMGMT_SELECT_KEYPAIR : OSSL_KEYMGMT_SELECT_PUBLIC_KEY;
  std::unique_ptr<OSSL_DECODER_CTX, TqmOpenSslDeleter<OSSL_DECODER_CTX_free>> Ctx(
      OSSL_DECODER_CTX_new_for_pkey(&Key, AInputType, AStructure, AKeyType, Selection, nullptr,
                                    nullptr));
  if (!Ctx) RaiseCryptError("OSSL_DECODER_CTX_new_for_pkey");
  const unsigned char* P = static_cast<const unsigned char*>(AData);
  size_t Left = ASize;
  const int Ok = OSSL_DECODER_from_data(Ctx.get(), &P, &Left);
  TqmEvpPkeyPtr Result(Key);
  // A public key asked for must not come back as a private key's data only,
  // and a private key must really hold its private half.
  if (Ok != 1 || !Result || (APrivate && !HasPrivateHalf(Result.get()))) {
    ERR_clear_error();
    throw EqmCryptError("The key data is invalid", CRYPT_E_BAD_KEY);
  }
  return Result;
}

TqmByteArray EncodeKey(EVP_PKEY* AKey, bool APrivate, const char* AStructure) {
  if (!AKey) RaiseKeyRequired();
  const int Selection = APrivate ? OSSL_KEYMGMT_SELECT_KEYPAIR : OSSL_KEYMGMT_SELECT_PUBLIC_KEY;
  std::unique_ptr<OSSL_ENCODER_CTX, TqmOpenSslDeleter<OSSL_ENCODER_CTX_free>> Ctx(
      OSSL_ENCODER_CTX_new_for_pkey(AKey, Selection, "DER", AStructure, nullptr));
  if (!Ctx || OSSL_ENCODER_CTX_get_num_encoders(Ctx.get()) == 0)
    RaiseCryptError("OSSL_ENCODER_CTX_new_for_pkey");
  unsigned char* Data = nullptr;
  size_t Size = 0;
  if (OSSL_ENCODER_to_data(Ctx.get(), &Data, &Size) != 1) RaiseCryptError("OSSL_ENCODER_to_data");
  const TqmOpenSslMemoryPtr<unsigned char> Owned(Data);
  return TqmByteArray(Data, Data + Size);
}

TqmByteArray ReadFileBytes(const std::string& AFileName) {
  std::ifstream In(AFileName, std::ios::binary);
  if (!In) throw EFOpenError(Format("Cannot open file \"%s\". %s", AFileName.c_str(), std::strerror(errno)));
  return TqmByteArray(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

namespace {
// The base64 alphabet, for telling a bare base64 seed from PEM or DER.
int Base64Value(char C) {
  if (C >= 'A' && C <= 'Z') return C - 'A';
  if (C >= 'a' && C <= 'z') return C - 'a' + 26;
  if (C >= '0' && C <= '9') return C - '0' + 52;
  if (C == '+') return 62;
  if (C == '/') return 63;
  return -1;
}

}  // namespace

bool DecodeBase64(std::string_view AText, TqmByteArray& AResult) {
  AResult.resize(AText.size() / 4 * 3 + 3);
  uint8_t* Out = AResult.data();
  uint32_t Bits = 0;
  int Count = 0;
  bool Padding = false;
  for (const char Ch : AText) {
    const auto C = static_cast<uint8_t>(Ch);
    if (C <= ' ') continue;
    if (C == '=') {
      Padding = true;
      continue;
    }
    const int V = Base64Value(static_cast<char>(C));
    if (V < 0 || Padding) {
      AResult.clear();
      return false;
    }
    Bits = (Bits << 6) | static_cast<uint32_t>(V);
    Count += 6;
    if (Count >= 8) {
      Count -= 8;
      *Out++ = static_cast<uint8_t>(Bits >> Count);
    }
  }
  AResult.resize(static_cast<size_t>(Out - AResult.data()));
  return true;
}

std::string EncodeBase64(const TqmByteArray& ABytes) {
  std::string Text(4 * ((ABytes.size() + 2) / 3) + 1, '\0');
  const int Len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(Text.data()), ABytes.data(),
                                  static_cast<int>(ABytes.size()));
  Text.resize(static_cast<size_t>(Len));
  return Text;
}

}  // namespace qm
