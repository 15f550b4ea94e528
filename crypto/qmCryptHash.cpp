#include "crypto/qmCryptHash.h"

#include <algorithm>

#include "crypto/qmOpenSsl.h"

namespace qm {

TqmOpenSslHash::~TqmOpenSslHash() { Release(); }

void TqmOpenSslHash::Release() {
  FContext.reset();
  FHashSize = 0;
}

void TqmOpenSslHash::Init() {
  Release();
  const EVP_MD* Md = EVP_get_digestbyname(GetDigestName());
  if (!Md) RaiseCryptError("EVP_get_digestbyname");
  FContext.reset(EVP_MD_CTX_new());
  if (!FContext) RaiseCryptError("EVP_MD_CTX_new");
  if (EVP_DigestInit_ex(FContext.get(), Md, nullptr) != 1) RaiseCryptError("EVP_DigestInit_ex");
  FHashSize = EVP_MD_get_size(Md);
}

void TqmOpenSslHash::UpdateRaw(const void* AData, size_t ASize) {
  if (!FContext) Init();
  if (ASize == 0) return;
  if (EVP_DigestUpdate(FContext.get(), AData, ASize) != 1) RaiseCryptError("EVP_DigestUpdate");
}

void TqmOpenSslHash::Update(const TqmByteArray& ABytes, int AStart, int ACount) {
  if (AStart < 0 || static_cast<size_t>(AStart) >= ABytes.size() || ACount <= 0) return;
  size_t Count = std::min(static_cast<size_t>(ACount), ABytes.size() - static_cast<size_t>(AStart));
  UpdateRaw(ABytes.data() + AStart, Count);
}

TqmByteArray TqmOpenSslHash::Final() {
  if (!FContext) Init();
  TqmByteArray Digest(static_cast<size_t>(FHashSize));
  unsigned int Len = 0;
  if (EVP_DigestFinal_ex(FContext.get(), Digest.data(), &Len) != 1) RaiseCryptError("EVP_DigestFinal_ex");
  Digest.resize(Len);
  Init();
  return Digest;
}

std::string LowerHex(const TqmByteArray& ABytes) {
  static const char Digits[] = "0123456789abcdef";
  std::string R;
  R.reserve(ABytes.size() * 2);
  for (uint8_t B : ABytes) {
    R += Digits[B >> 4];
    R += Digits[B & 15];
  }
  return R;
}

std::string Md5Hex(const std::string& AText) {
  if (AText.empty()) return std::string();
  TqmMd5 Hash;
  Hash.Init();
  Hash.Update(AText);
  return LowerHex(Hash.Final());
}

}  // namespace qm
