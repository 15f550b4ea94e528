// A DKIM public key record (RFC 6376 section 3.6.1): reading the tags of a
// TXT record's text into fields and writing them back.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/qmComponent.h"
#include "core/qmStrings.h"

namespace qm {

enum TqmDkimKeyServiceType { ddsAll, ddsEmail };
enum TqmDkimKeyFlag { ddfTestingDomain, ddfCheckUserIdentityDomain };
using TqmDkimKeyServiceTypes = std::set<TqmDkimKeyServiceType>;
using TqmDkimKeyFlags = std::set<TqmDkimKeyFlag>;

class TqmDkimKey : public TObject {
 public:
  TqmDkimKey() { Clear(); }

  // Never raises: missing tags leave empty fields.
  virtual void ParseRecord(const std::string& AText);
  // The record text: v, h, k, n, s, t when not empty, then p (an empty p=
  // publishes a revoked key).
  virtual std::string BuildRecord() const;
  virtual void Clear();

  std::string Version;           // v
  TStringList HashAlgorithms;    // h
  std::string KeyType;           // k
  std::string Notes;             // n, decoded
  std::string PublicKey;         // p, base64; empty: revoked
  TqmDkimKeyServiceTypes ServiceTypes;  // s
  TqmDkimKeyFlags Flags;                // t
};

class TqmDkimKeyList : public TObject {
 public:
  TqmDkimKey* Add(std::unique_ptr<TqmDkimKey> AKey) {
    FItems.push_back(std::move(AKey));
    return FItems.back().get();
  }
  int Count() const { return static_cast<int>(FItems.size()); }
  TqmDkimKey* Items(int AIndex) const { return FItems.at(static_cast<size_t>(AIndex)).get(); }
  void Clear() { FItems.clear(); }

 private:
  std::vector<std::unique_ptr<TqmDkimKey>> FItems;
};

}  // namespace qm
