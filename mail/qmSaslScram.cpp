#include "mail/qmSaslScram.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/qmSysUtils.h"
#include "core/qmTranslator.h"
#include "message/qmEncoder.h"
#include "net/qmTcpClient.h"

namespace qm {

namespace {

[[noreturn]] void BadMessage(const char* AWhat) {
  throw EqmTcpClientError(Format(qmSaslBadServerMessage, AWhat), qmSaslBadServerMessageCode);
}

[[noreturn]] void Prohibited() { throw EqmTcpClientError(qmSaslProhibited, qmSaslProhibitedCode); }

// Decodes the next code point of valid UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF); -1 for anything else.
long NextCodePoint(std::string_view AText, size_t& AIndex) {
  const auto Byte = [&](size_t I) { return static_cast<unsigned char>(AText[I]); };
  const unsigned char Lead = Byte(AIndex);
  int Length = 0;
  long Cp = 0, Min = 0;
  if (Lead < 0x80) {
    ++AIndex;
    return Lead;
  } else if ((Lead & 0xE0) == 0xC0) {
    Length = 2, Cp = Lead & 0x1F, Min = 0x80;
  } else if ((Lead & 0xF0) == 0xE0) {
    Length = 3, Cp = Lead & 0x0F, Min = 0x800;
  } else if ((Lead & 0xF8) == 0xF0) {
    Length = 4, Cp = Lead & 0x07, Min = 0x10000;
  } else {
    return -1;
  }
  if (AIndex + Length > AText.size()) return -1;
  for (int I = 1; I < Length; ++I) {
    const unsigned char B = Byte(AIndex + I);
    if ((B & 0xC0) != 0x80) return -1;
    Cp = (Cp << 6) | (B & 0x3F);
  }
  if (Cp < Min || Cp > 0x10FFFF || (Cp >= 0xD800 && Cp <= 0xDFFF)) return -1;
  AIndex += Length;
  return Cp;
}


bool In(long ACp, long AFirst, long ALast) { return ACp >= AFirst && ACp <= ALast; }

// RFC 3454 C.1.2: the non-ASCII spaces.
bool IsNonAsciiSpace(long ACp) {
  return ACp == 0x00A0 || ACp == 0x1680 || In(ACp, 0x2000, 0x200B) || ACp == 0x202F || ACp == 0x205F ||
         ACp == 0x3000;
}

// RFC 3454 B.1: commonly mapped to nothing.
bool IsMappedToNothing(long ACp) {
  return ACp == 0x00AD || ACp == 0x034F || ACp == 0x1806 || In(ACp, 0x180B, 0x180D) || In(ACp, 0x200C, 0x200D) ||
         ACp == 0x2060 || In(ACp, 0xFE00, 0xFE0F) || ACp == 0xFEFF;
}

// RFC 4013 2.3: the prohibited output (tables C.2 to C.9 of RFC 3454).
bool IsProhibited(long ACp) {
  return ACp < 0x20 || In(ACp, 0x7F, 0x9F) ||                                          // C.2.1, C.2.2
         ACp == 0x06DD || ACp == 0x070F || ACp == 0x180E || In(ACp, 0x2028, 0x2029) ||  // C.2.2
         In(ACp, 0x2061, 0x2063) || In(ACp, 0xFFF9, 0xFFFD) || In(ACp, 0x1D173, 0x1D17A) ||
         In(ACp, 0xE000, 0xF8FF) || In(ACp, 0xF0000, 0xFFFFD) || In(ACp, 0x100000, 0x10FFFD) ||  // C.3
         In(ACp, 0xFDD0, 0xFDEF) || (ACp & 0xFFFE) == 0xFFFE ||                                // C.4
         In(ACp, 0x2FF0, 0x2FFB) ||                                                            // C.7
         ACp == 0x0340 || ACp == 0x0341 || In(ACp, 0x200E, 0x200F) || In(ACp, 0x202A, 0x202E) ||
         In(ACp, 0x206A, 0x206F) ||                       // C.8
         ACp == 0xE0001 || In(ACp, 0xE0020, 0xE007F);  // C.9
}

std::string RandomNonce() {
  unsigned char Bytes[24];
  size_t Done = 0;
  while (Done < sizeof Bytes) {
    const ssize_t N = getrandom(Bytes + Done, sizeof Bytes - Done, 0);
    if (N < 0) {
      if (errno == EINTR) continue;
      throw EqmSocketError(std::strerror(errno), errno);
    }
    Done += static_cast<size_t>(N);
  }
  return TqmEncoder::EncodeString(std::string(reinterpret_cast<char*>(Bytes), sizeof Bytes), cmBase64);
}

// "x=value" with the expected letter, or npos-like failure.
bool Attribute(std::string_view APart, char AName, std::string_view& AValue) {
  if (APart.size() < 2 || APart[0] != AName || APart[1] != '=') return false;
  AValue = APart.substr(2);
  return true;
}

std::vector<std::string_view> SplitCommas(std::string_view AText) {
  std::vector<std::string_view> Parts;
  size_t Start = 0;
  for (;;) {
    const size_t Comma = AText.find(',', Start);
    Parts.push_back(AText.substr(Start, Comma == std::string_view::npos ? std::string_view::npos : Comma - Start));
    if (Comma == std::string_view::npos) return Parts;
    Start = Comma + 1;
  }
}

std::string Base64(const std::string& ABytes) { return TqmEncoder::EncodeString(ABytes, cmBase64); }

// Strict base64 for the values of SCRAM attributes: the lenient decoder
// would skip junk and hand back other bytes.
bool DecodeBase64(std::string_view AText, std::string& ABytes) {
  if (AText.empty() || AText.size() % 4 != 0) return false;
  for (size_t I = 0; I < AText.size(); ++I) {
    const char C = AText[I];
    const bool Alpha = (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') || C == '+' ||
                       C == '/';
    const bool Pad = C == '=' && I + 2 >= AText.size() && (I + 1 == AText.size() || AText[I + 1] == '=');
    if (!Alpha && !Pad) return false;
  }
  ABytes = TqmEncoder::DecodeString(std::string(AText), cmBase64);
  return true;
}

}  // namespace

std::string SaslPrep(std::string_view AText) {
  bool Plain = true;
  for (char C : AText)
    if (static_cast<unsigned char>(C) < 0x20 || static_cast<unsigned char>(C) > 0x7E) Plain = false;
  if (Plain) return std::string(AText);
  std::string Out;
  Out.reserve(AText.size());
  for (size_t I = 0; I < AText.size();) {
    const long Cp = NextCodePoint(AText, I);
    if (Cp < 0) Prohibited();
    if (IsNonAsciiSpace(Cp)) {
      Out += ' ';
      continue;
    }
    if (IsMappedToNothing(Cp)) continue;
    if (IsProhibited(Cp)) Prohibited();
    AppendUtf8(Out, Cp);
  }
  return Out;
}

TqmSaslScram::TqmSaslScram(bool ASha256, std::string AUserName, std::string APassword, std::string AClientNonce)
    : FSha256(ASha256),
      FUserName(std::move(AUserName)),
      FPassword(SaslPrep(APassword)),
      FClientNonce(AClientNonce.empty() ? RandomNonce() : std::move(AClientNonce)) {}

std::optional<std::string> TqmSaslScram::InitialResponse() {
  std::string Name;
  for (char C : FUserName) {
    if (C == '=')
      Name += "=3D";
    else if (C == ',')
      Name += "=2C";
    else
      Name += C;
  }
  FClientFirstBare = "n=" + Name + ",r=" + FClientNonce;
  FStep = 1;
  return "n,," + FClientFirstBare;
}

std::string TqmSaslScram::Step(std::string_view AChallenge) {
  if (FStep == 1) {
    FStep = 2;
    return ClientFinal(AChallenge);
  }
  if (FStep == 2) {
    FStep = 3;
    CheckServerFinal(AChallenge);
    return std::string();
  }
  BadMessage(FStep == 0 ? "a challenge before the client's first message" : "a challenge after the last message");
}

void TqmSaslScram::Finish() {
  if (!FVerified) throw EqmTcpClientError(qmSaslServerNotVerified, qmSaslServerNotVerifiedCode);
}

std::string TqmSaslScram::Hmac(const std::string& AKey, const std::string& AText) const {
  unsigned char Out[EVP_MAX_MD_SIZE];
  unsigned int Length = 0;
  HMAC(FSha256 ? EVP_sha256() : EVP_sha1(), AKey.data(), static_cast<int>(AKey.size()),
       reinterpret_cast<const unsigned char*>(AText.data()), AText.size(), Out, &Length);
  return std::string(reinterpret_cast<char*>(Out), Length);
}

std::string TqmSaslScram::Hash(const std::string& AText) const {
  unsigned char Out[EVP_MAX_MD_SIZE];
  unsigned int Length = 0;
  EVP_Digest(AText.data(), AText.size(), Out, &Length, FSha256 ? EVP_sha256() : EVP_sha1(), nullptr);
  return std::string(reinterpret_cast<char*>(Out), Length);
}

std::string TqmSaslScram::ClientFinal(std::string_view AServerFirst) {
  const std::vector<std::string_view> Parts = SplitCommas(AServerFirst);
  std::string_view Value;
  if (Attribute(Parts[0], 'e', Value))
    throw EqmTcpClientError(Format(qmSaslServerError, std::string(Value).c_str()), qmSaslServerErrorCode);
  if (Attribute(Parts[0], 'm', Value)) BadMessage("a mandatory extension the client does not know");
  std::string_view Nonce, Salt64, Count;
  if (Parts.size() < 3 || !Attribute(Parts[0], 'r', Nonce) || !Attribute(Parts[1], 's', Salt64) ||
      !Attribute(Parts[2], 'i', Count))
    BadMessage("no nonce, salt and iteration count");
  // The server's part of the nonce must follow ours: a replayed or foreign
  // exchange fails here.
  if (Nonce.size() <= FClientNonce.size() || Nonce.substr(0, FClientNonce.size()) != FClientNonce)
    BadMessage("a nonce that does not extend the client's");
  for (char C : Nonce)
    if (C < 0x21 || C > 0x7E) BadMessage("a nonce with characters outside printable ASCII");
  std::string Salt;
  if (!DecodeBase64(Salt64, Salt)) BadMessage("a salt that is not base64");
  unsigned long long Iterations = 0;
  if (Count.empty() || Count.size() > 10) BadMessage("an iteration count out of range");
  for (char C : Count) {
    if (C < '0' || C > '9') BadMessage("an iteration count that is not a number");
    Iterations = Iterations * 10 + static_cast<unsigned>(C - '0');
  }
  if (Iterations == 0 || Iterations > qmScramMaxIterations) BadMessage("an iteration count out of range");

  const EVP_MD* Md = FSha256 ? EVP_sha256() : EVP_sha1();
  std::string Salted(static_cast<size_t>(EVP_MD_get_size(Md)), '\0');
  if (PKCS5_PBKDF2_HMAC(FPassword.data(), static_cast<int>(FPassword.size()),
                        reinterpret_cast<const unsigned char*>(Salt.data()), static_cast<int>(Salt.size()),
                        static_cast<int>(Iterations), Md, static_cast<int>(Salted.size()),
                        reinterpret_cast<unsigned char*>(Salted.data())) != 1)
    throw EqmTcpClientError("PBKDF2 failed", qmSaslBadServerMessageCode);
  const std::string ClientKey = Hmac(Salted, "Client Key");
  const std::string StoredKey = Hash(ClientKey);
  // "biws" is base64 of the GS2 header "n,,": no channel binding.
  const std::string WithoutProof = "c=biws,r=" + std::string(Nonce);
  const std::string AuthMessage = FClientFirstBare + "," + std::string(AServerFirst) + "," + WithoutProof;
  std::string Proof = Hmac(StoredKey, AuthMessage);
  for (size_t I = 0; I < Proof.size(); ++I) Proof[I] = static_cast<char>(Proof[I] ^ ClientKey[I]);
  FServerSignature = Hmac(Hmac(Salted, "Server Key"), AuthMessage);
  OPENSSL_cleanse(Salted.data(), Salted.size());
  return WithoutProof + ",p=" + Base64(Proof);
}

void TqmSaslScram::CheckServerFinal(std::string_view AServerFinal) {
  const std::vector<std::string_view> Parts = SplitCommas(AServerFinal);
  std::string_view Value;
  if (Attribute(Parts[0], 'e', Value))
    throw EqmTcpClientError(Format(qmSaslServerError, std::string(Value).c_str()), qmSaslServerErrorCode);
  std::string Signature;
  if (!Attribute(Parts[0], 'v', Value) || !DecodeBase64(Value, Signature))
    throw EqmTcpClientError(qmSaslServerNotVerified, qmSaslServerNotVerifiedCode);
  if (Signature.size() != FServerSignature.size() ||
      CRYPTO_memcmp(Signature.data(), FServerSignature.data(), Signature.size()) != 0)
    throw EqmTcpClientError(qmSaslServerNotVerified, qmSaslServerNotVerifiedCode);
  FVerified = true;
}

}  // namespace qm
