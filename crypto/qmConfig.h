// The class registry: algorithms named by text ("sha256", "rsa-sha256",
// "relaxed") are created by name through a configuration object.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "core/qmComponent.h"
#include "core/qmException.h"
#include "core/qmStrings.h"

namespace qm {

/// Base of every class the registry can create.
class TqmConfigObject : public TObject {};

/// A class reference: makes a new instance of the class it stands for.
using TqmConfigObjectClass = std::function<std::unique_ptr<TqmConfigObject>()>;

/// The class reference of T, for TqmConfig::SetType.
template <class T>
TqmConfigObjectClass ConfigClassOf() {
  return [] { return std::unique_ptr<TqmConfigObject>(new T()); };
}

/// Raised when a created object is not of the kind the caller needs.
class EInvalidCast : public Exception {
 public:
  /// "Invalid class typecast".
  EInvalidCast() : Exception("Invalid class typecast") {}
};

/// The registry: class references by name, and a table of "name=value"
/// settings. TqmDkimConfig (dkim/) is the one DKIM uses, with its algorithms and
/// canonicalizers.
class TqmConfig : public TObject {
 public:
  /// An empty registry.
  TqmConfig() = default;

  /// Registers AClass under AName (names ignore letter case); an existing
  /// entry keeps its place and gets the new class. An empty class removes
  /// the entry.
  void SetType(const std::string& AName, TqmConfigObjectClass AClass);
  /// Whether a class is registered under AName.
  bool HasType(const std::string& AName) const;
  /// The number of registered names.
  int TypeCount() const { return static_cast<int>(FTypes.size()); }
  /// The registered name at AIndex, in registration order.
  const std::string& TypeName(int AIndex) const { return FTypes.at(static_cast<size_t>(AIndex)).first; }

  /// A new instance of the class registered under AName; nullptr when the
  /// name is not registered. The caller owns it.
  virtual std::unique_ptr<TqmConfigObject> CreateInstance(const std::string& AName);
  /// The value of the "name=value" settings line for AName; empty if none.
  virtual std::string GetConfig(const std::string& AName);

  /// The settings table.
  TStringList& Settings() { return FSettings; }

  /// CreateInstance converted to the kind the caller needs: nullptr stays
  /// nullptr, an object of another kind raises EInvalidCast.
  template <class T>
  std::unique_ptr<T> CreateInstanceAs(const std::string& AName) {
    std::unique_ptr<TqmConfigObject> Obj = CreateInstance(AName);
    if (!Obj) return nullptr;
    T* Typed = dynamic_cast<T*>(Obj.get());
    if (!Typed) throw EInvalidCast();
    Obj.release();
    return std::unique_ptr<T>(Typed);
  }

 private:
  int IndexOfType(const std::string& AName) const;
  std::vector<std::pair<std::string, TqmConfigObjectClass>> FTypes;
  TStringList FSettings;
};

}  // namespace qm
