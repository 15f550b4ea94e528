// One DKIM signature: the tags of a DKIM-Signature header field, reading
// them from a field value, writing a new field into a message's lines, and
// the result of verifying it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/qmComponent.h"
#include "core/qmStrings.h"
#include "core/qmTypes.h"
#include "dkim/qmDkimUtils.h"

namespace qm {

enum TqmDkimVerifyStatusKind { dvsUnverified, dvsVerified, dvsFailed };

class TqmDkimSignatureVerifyStatus : public TObject {
 public:
  TqmDkimVerifyStatusKind Status() const { return FStatus; }
  const std::string& StatusText() const { return FStatusText; }
  int ErrorCode() const { return FErrorCode; }
  // True for a failure that may pass later (RFC 6376 section 6.1.2,
  // TEMPFAIL): the key lookup got no answer (a time-out, a server failure,
  // an unreachable server). Every other failure is permanent.
  bool IsTemporary() const { return FTemporary; }

  void Clear() { SetFailedState(dvsUnverified, std::string(), 0); }
  void SetVerified() { SetFailedState(dvsVerified, std::string(), 0); }
  void SetFailed(const std::string& AText, int ACode, bool ATemporary = false) {
    SetFailedState(dvsFailed, AText, ACode, ATemporary);
  }
  // Left unverified for a reason (Status stays dvsUnverified).
  void SetNotChecked(const std::string& AText, int ACode) { SetFailedState(dvsUnverified, AText, ACode); }

 private:
  void SetFailedState(TqmDkimVerifyStatusKind AStatus, const std::string& AText, int ACode,
                      bool ATemporary = false) {
    FStatus = AStatus;
    FStatusText = AText;
    FErrorCode = ACode;
    FTemporary = ATemporary;
  }
  TqmDkimVerifyStatusKind FStatus = dvsUnverified;
  std::string FStatusText;
  int FErrorCode = 0;
  bool FTemporary = false;
};

class TqmDkimSignature : public TObject {
 public:
  TqmDkimSignature();

  // Fills every field from the unfolded value of a DKIM-Signature field;
  // raises DKIM_E_FORMAT on a malformed value (also on a tag given twice).
  virtual void ParseTags(const std::string& AValue);
  // Inserts a new DKIM-Signature field with every tag and an empty "b=" as
  // the first line of ALines; raises DKIM_E_PARAMETERS on missing or
  // inconsistent values (the partly written field then stays).
  virtual void BuildHeaderField(TStrings& ALines, int ACharsPerLine);
  // Puts Signature into the empty "b=" of the first DKIM-Signature field.
  virtual void StoreSignatureValue(TStrings& ALines, int ACharsPerLine);
  virtual void Clear();

  // The hash part of SignatureAlgorithm ("sha256" of "rsa-sha256");
  // DKIM_E_ALGORITHM unless it is two words joined by "-".
  std::string GetHashAlgorithm() const;
  // The key part ("rsa", "ed25519"), under the same rule.
  std::string GetKeyAlgorithm() const;
  std::string GetHeaderCanonicalization() const;
  std::string GetBodyCanonicalization() const;

  int Version = 0;
  TDateTime SignatureTimestamp = 0;   // local time; 0: absent
  std::string Domain;
  std::string UserIdentity;           // decoded
  int64_t BodyLength = 0;             // 0: the whole body
  // Set by ParseTags when the field has an l tag: a received l=0 then hashes
  // no body at all, while BodyLength 0 alone (as signing uses it) means the
  // whole body. BuildHeaderField does not read it.
  bool HasBodyLengthTag = false;
  std::string BodyHash;               // base64
  std::string PublicKeyLocation;
  std::string SignatureAlgorithm;
  TStringList CopiedHeaderFields;     // decoded lines
  std::string Signature;              // base64
  TDateTime SignatureExpiration = 0;  // local time; 0: absent
  TStringList SignedHeaderFields;
  std::string Canonicalization;
  std::string Selector;
  TqmDkimSignatureVerifyStatus VerifyStatus;

  void SetSignedHeaderFields(const TStrings& AList) { SignedHeaderFields.Assign(AList); }
};

class TqmDkimSignatureList : public TObject {
 public:
  TqmDkimSignature* Add(std::unique_ptr<TqmDkimSignature> ASignature);
  void Clear() { FItems.clear(); }
  void Delete(int AIndex) { FItems.erase(FItems.begin() + AIndex); }
  int Count() const { return static_cast<int>(FItems.size()); }
  TqmDkimSignature* Items(int AIndex) const { return FItems.at(static_cast<size_t>(AIndex)).get(); }
  TqmDkimSignature* operator[](int AIndex) const { return Items(AIndex); }

 private:
  std::vector<std::unique_ptr<TqmDkimSignature>> FItems;
};

}  // namespace qm
