#include "crypto/qmCryptMac.h"

#include <algorithm>

namespace qm {

void TqmOpenSslHmac::Init(const TqmByteArray& AKey, int AStart, int ACount) {
  FInner.reset();
  std::array<uint8_t, BlockSize> Block{};
  size_t Start = AStart < 0 ? 0 : static_cast<size_t>(AStart);
  size_t Count = 0;
  if (Start < AKey.size() && ACount > 0)
    Count = std::min(static_cast<size_t>(ACount), AKey.size() - Start);
  if (Count <= BlockSize) {
    std::copy_n(AKey.begin() + static_cast<ptrdiff_t>(Start), Count, Block.begin());
  } else {
    // A key longer than the block is replaced by its digest.
    auto Hash = CreateHash();
    Hash->Init();
    Hash->UpdateRaw(AKey.data() + Start, Count);
    TqmByteArray Digest = Hash->Final();
    std::copy(Digest.begin(), Digest.end(), Block.begin());
  }
  for (size_t I = 0; I < BlockSize; ++I) {
    FInnerPad[I] = Block[I] ^ 0x36;
    FOuterPad[I] = Block[I] ^ 0x5C;
  }
  FKeyed = true;
}

void TqmOpenSslHmac::InitKey(const TqmByteArray& AKey) {
  Init(AKey, 0, static_cast<int>(std::min<size_t>(AKey.size(), INT32_MAX)));
}

int TqmOpenSslHmac::GetHashSize() {
  auto Hash = CreateHash();
  Hash->Init();
  return Hash->GetHashSize();
}

void TqmOpenSslHmac::Update(const TqmByteArray& ABytes, int AStart, int ACount) {
  if (!FInner) {
    if (!FKeyed) InitKey(TqmByteArray());
    FInner = CreateHash();
    FInner->Init();
    FInner->UpdateRaw(FInnerPad.data(), BlockSize);
  }
  FInner->Update(ABytes, AStart, ACount);
}

void TqmOpenSslHmac::UpdateInteger(uint32_t AValue) {
  TqmByteArray Bytes{static_cast<uint8_t>(AValue >> 24), static_cast<uint8_t>(AValue >> 16),
                     static_cast<uint8_t>(AValue >> 8), static_cast<uint8_t>(AValue)};
  Update(Bytes, 0, 4);
}

TqmByteArray TqmOpenSslHmac::Final() {
  if (!FInner) Update(TqmByteArray(), 0, 0);
  TqmByteArray InnerDigest = FInner->Final();
  FInner.reset();
  auto Outer = CreateHash();
  Outer->Init();
  Outer->UpdateRaw(FOuterPad.data(), BlockSize);
  Outer->UpdateRaw(InnerDigest.data(), InnerDigest.size());
  return Outer->Final();
}

std::string HmacMd5Hex(const std::string& AText, const std::string& AKey) {
  if (AText.empty() || AKey.empty()) return std::string();
  TqmHmacMd5 Mac;
  Mac.InitKey(TqmByteArray(AKey.begin(), AKey.end()));
  Mac.Update(TqmByteArray(AText.begin(), AText.end()), 0, static_cast<int>(AText.size()));
  return LowerHex(Mac.Final());
}

}  // namespace qm
