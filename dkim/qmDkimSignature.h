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

/// The outcome of checking one signature.
enum TqmDkimVerifyStatusKind {
  dvsUnverified,  ///< Not checked (yet, or past MaxSignatures).
  dvsVerified,    ///< The signature holds.
  dvsFailed       ///< It does not; StatusText and ErrorCode say why.
};

/// The result of verifying one signature.
class TqmDkimSignatureVerifyStatus : public TObject {
 public:
  /// Unverified, verified or failed.
  TqmDkimVerifyStatusKind Status() const { return FStatus; }
  /// Why it failed or was not checked (the error's message); empty otherwise.
  const std::string& StatusText() const { return FStatusText; }
  /// A DKIM_E_... code (or another component's code) of the failure; 0 otherwise.
  int ErrorCode() const { return FErrorCode; }
  /// True for a failure that may pass later (RFC 6376 section 6.1.2,
  /// TEMPFAIL): the key lookup got no answer (a time-out, a server failure,
  /// an unreachable server). Every other failure is permanent.
  bool IsTemporary() const { return FTemporary; }

  /// Back to unverified, without text or code.
  void Clear() { SetFailedState(dvsUnverified, std::string(), 0); }
  /// Marks it verified (an OnVerify handler may do so to accept a failure).
  void SetVerified() { SetFailedState(dvsVerified, std::string(), 0); }
  /// Marks it failed with a reason and a code.
  void SetFailed(const std::string& AText, int ACode, bool ATemporary = false) {
    SetFailedState(dvsFailed, AText, ACode, ATemporary);
  }
  /// Left unverified for a reason (Status stays dvsUnverified).
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

/// One DKIM signature: the tags of a DKIM-Signature field (one member per
/// tag) and the result of verifying it.
class TqmDkimSignature : public TObject {
 public:
  /// An empty signature.
  TqmDkimSignature();

  /// Fills every field from the unfolded value of a DKIM-Signature field;
  /// raises DKIM_E_FORMAT on a malformed value (also on a tag given twice).
  virtual void ParseTags(const std::string& AValue);
  /// Inserts a new DKIM-Signature field with every tag and an empty "b=" as
  /// the first line of ALines; raises DKIM_E_PARAMETERS on missing or
  /// inconsistent values (the partly written field then stays).
  virtual void BuildHeaderField(TStrings& ALines, int ACharsPerLine);
  /// Puts Signature into the empty "b=" of the first DKIM-Signature field.
  virtual void StoreSignatureValue(TStrings& ALines, int ACharsPerLine);
  /// Empties every tag and the status.
  virtual void Clear();

  /// The hash part of SignatureAlgorithm ("sha256" of "rsa-sha256");
  /// DKIM_E_ALGORITHM unless it is two words joined by "-".
  std::string GetHashAlgorithm() const;
  /// The key part ("rsa", "ed25519"), under the same rule.
  std::string GetKeyAlgorithm() const;
  /// The header part of Canonicalization; "simple" when it is empty.
  std::string GetHeaderCanonicalization() const;
  /// The body part of Canonicalization; "simple" unless it names two.
  std::string GetBodyCanonicalization() const;

  int Version = 0;                    ///< v (1).
  TDateTime SignatureTimestamp = 0;   ///< t, in local time; 0: absent.
  std::string Domain;                 ///< d: the signing domain.
  std::string UserIdentity;           ///< i, decoded.
  int64_t BodyLength = 0;             ///< l; 0: the whole body.
  /// Set by ParseTags when the field has an l tag: a received l=0 then hashes
  /// no body at all, while BodyLength 0 alone (as signing uses it) means the
  /// whole body. BuildHeaderField does not read it.
  bool HasBodyLengthTag = false;
  std::string BodyHash;               ///< bh, base64.
  std::string PublicKeyLocation;      ///< q ("dns/txt").
  std::string SignatureAlgorithm;     ///< a ("rsa-sha256"...).
  TStringList CopiedHeaderFields;     ///< z, decoded lines.
  std::string Signature;              ///< b, base64.
  TDateTime SignatureExpiration = 0;  ///< x, in local time; 0: absent.
  TStringList SignedHeaderFields;     ///< h: the names of the signed fields.
  std::string Canonicalization;       ///< c ("relaxed/simple"...).
  std::string Selector;               ///< s.
  TqmDkimSignatureVerifyStatus VerifyStatus;  ///< The result of Verify.

  /// Copies AList into SignedHeaderFields.
  void SetSignedHeaderFields(const TStrings& AList) { SignedHeaderFields.Assign(AList); }
};

/// The signatures of one Sign or Verify, in order; owns them.
class TqmDkimSignatureList : public TObject {
 public:
  /// Takes ASignature and returns it.
  TqmDkimSignature* Add(std::unique_ptr<TqmDkimSignature> ASignature);
  /// Frees every signature.
  void Clear() { FItems.clear(); }
  /// Frees the signature at AIndex.
  void Delete(int AIndex) { FItems.erase(FItems.begin() + AIndex); }
  /// The number of signatures.
  int Count() const { return static_cast<int>(FItems.size()); }
  /// The signature at AIndex (from 0); std::out_of_range past the end.
  TqmDkimSignature* Items(int AIndex) const { return FItems.at(static_cast<size_t>(AIndex)).get(); }
  /// Items(AIndex).
  TqmDkimSignature* operator[](int AIndex) const { return Items(AIndex); }

 private:
  std::vector<std::unique_ptr<TqmDkimSignature>> FItems;
};

}  // namespace qm
