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

/// A service a key may be used for (s tag).
enum TqmDkimKeyServiceType {
  ddsAll,   ///< "*": any service.
  ddsEmail  ///< "email".
};
/// A flag of a key record (t tag).
enum TqmDkimKeyFlag {
  ddfTestingDomain,           ///< "y": the domain is testing DKIM.
  ddfCheckUserIdentityDomain  ///< "s": the i= domain must be d= itself, not below it.
};
/// The s tag's services.
using TqmDkimKeyServiceTypes = std::set<TqmDkimKeyServiceType>;
/// The t tag's flags.
using TqmDkimKeyFlags = std::set<TqmDkimKeyFlag>;

/// A public key record as published in DNS (a TXT record at
/// selector._domainkey.domain), tag by tag.
class TqmDkimKey : public TObject {
 public:
  /// An empty record.
  TqmDkimKey() { Clear(); }

  /// Never raises: missing tags leave empty fields.
  virtual void ParseRecord(const std::string& AText);
  /// The record text: v, h, k, n, s, t when not empty, then p (an empty p=
  /// publishes a revoked key).
  virtual std::string BuildRecord() const;
  /// Empties every field.
  virtual void Clear();

  std::string Version;           ///< v ("DKIM1" or empty).
  TStringList HashAlgorithms;    ///< h: the hashes allowed; empty: any.
  std::string KeyType;           ///< k ("rsa", "ed25519"; empty: rsa).
  std::string Notes;             ///< n, decoded.
  std::string PublicKey;         ///< p, base64; empty: revoked.
  TqmDkimKeyServiceTypes ServiceTypes;  ///< s.
  TqmDkimKeyFlags Flags;                ///< t.
};

/// The key records found for one signature; owns them.
class TqmDkimKeyList : public TObject {
 public:
  /// Takes AKey and returns it.
  TqmDkimKey* Add(std::unique_ptr<TqmDkimKey> AKey) {
    FItems.push_back(std::move(AKey));
    return FItems.back().get();
  }
  /// The number of records.
  int Count() const { return static_cast<int>(FItems.size()); }
  /// The record at AIndex (from 0); std::out_of_range past the end.
  TqmDkimKey* Items(int AIndex) const { return FItems.at(static_cast<size_t>(AIndex)).get(); }
  /// Frees every record.
  void Clear() { FItems.clear(); }

 private:
  std::vector<std::unique_ptr<TqmDkimKey>> FItems;
};

}  // namespace qm
