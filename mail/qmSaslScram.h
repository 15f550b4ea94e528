// SCRAM-SHA-1 and SCRAM-SHA-256 (RFC 5802, RFC 7677): a login in which the
// password never crosses the wire and the server proves that it knows it;
// and SASLprep (RFC 4013) for the password.
#pragma once

#include <string>
#include <string_view>

#include "mail/qmSaslClient.h"

namespace qm {

/// The highest iteration count a server may ask for. Each iteration is one
/// HMAC: a hostile server asking for billions would keep the client busy
/// for minutes; real servers use 4096 to a few hundred thousand.
constexpr unsigned qmScramMaxIterations = 10'000'000;

/// SASLprep (RFC 4013) of a UTF-8 text: the non-ASCII spaces become a
/// space, the characters "commonly mapped to nothing" (soft hyphen,
/// zero-width joiners, variation selectors, ...) are removed, and the
/// prohibited ones (controls, private use, non-characters, surrogates,
/// tags, bidirectional and display controls) raise qmSaslProhibitedCode,
/// as does text that is not valid UTF-8.
/// Limits: no table of Unicode, so no NFKC normalization and no check of
/// the bidirectional rule or of unassigned code points. A text of ASCII, or
/// already in NFKC form (which is what keyboards produce for nearly every
/// script), comes out exactly as full SASLprep would give it; a password
/// with compatibility characters (full-width letters, ligatures, composed
/// versus decomposed accents) may not match a server that normalizes.
std::string SaslPrep(std::string_view AText);

/// SCRAM with SHA-1 or SHA-256, without channel binding ("n,,"). Raises
/// qmSaslBadServerMessageCode for a malformed server message (a nonce that
/// does not begin with ours, no salt, an iteration count of 0 or above
/// qmScramMaxIterations, a mandatory extension), qmSaslServerErrorCode
/// for "e=" from the server, and qmSaslServerNotVerifiedCode when the
/// server's signature does not match or the server reports success
/// without sending it.
class TqmSaslScram : public TqmSaslClient {
 public:
  /// ASha256: SCRAM-SHA-256, else SCRAM-SHA-1. The password goes through
  /// SaslPrep(). AClientNonce empty (default): 24 bytes from getrandom in
  /// base64; tests give a fixed one to replay known exchanges.
  TqmSaslScram(bool ASha256, std::string AUserName, std::string APassword,
               std::string AClientNonce = std::string());
  std::string Name() const override { return FSha256 ? "SCRAM-SHA-256" : "SCRAM-SHA-1"; }
  /// The client-first message: "n,,n=" user ",r=" nonce.
  std::optional<std::string> InitialResponse() override;
  /// The server-first message gets the client-final one (with the proof);
  /// the server-final message is checked and gets an empty response.
  std::string Step(std::string_view AChallenge) override;
  /// Raises qmSaslServerNotVerifiedCode unless the server's signature was
  /// checked.
  void Finish() override;
  /// True once the server proved that it knows the password.
  bool ServerVerified() const { return FVerified; }

 private:
  std::string ClientFinal(std::string_view AServerFirst);
  void CheckServerFinal(std::string_view AServerFinal);
  std::string Hmac(const std::string& AKey, const std::string& AText) const;
  std::string Hash(const std::string& AText) const;

  bool FSha256;
  std::string FUserName, FPassword, FClientNonce;
  std::string FClientFirstBare;
  std::string FServerSignature;  // expected, once the client-final message is sent
  int FStep = 0;
  bool FVerified = false;
};

}  // namespace qm
