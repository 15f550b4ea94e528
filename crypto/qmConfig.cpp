#include "crypto/qmConfig.h"

#include "core/qmSysUtils.h"

namespace qm {

int TqmConfig::IndexOfType(const std::string& AName) const {
  for (size_t I = 0; I < FTypes.size(); ++I)
    if (SameText(FTypes[I].first, AName)) return static_cast<int>(I);
  return -1;
}

void TqmConfig::SetType(const std::string& AName, TqmConfigObjectClass AClass) {
  int I = IndexOfType(AName);
  if (!AClass) {
    if (I >= 0) FTypes.erase(FTypes.begin() + I);
    return;
  }
  if (I >= 0)
    FTypes[static_cast<size_t>(I)].second = std::move(AClass);
  else
    FTypes.emplace_back(AName, std::move(AClass));
}

bool TqmConfig::HasType(const std::string& AName) const { return IndexOfType(AName) >= 0; }

std::unique_ptr<TqmConfigObject> TqmConfig::CreateInstance(const std::string& AName) {
  int I = IndexOfType(AName);
  if (I < 0) return nullptr;
  return FTypes[static_cast<size_t>(I)].second();
}

std::string TqmConfig::GetConfig(const std::string& AName) { return FSettings.Values(AName); }

}  // namespace qm
