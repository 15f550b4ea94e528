#include "core/qmIdnTranslator.h"

#include <idn2.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

const char* const qmIdnInvalidUtf8 = "Invalid UTF-8 in an IDN name";
const char* const qmIdnLabelTooLong = "An IDN label is longer than 63 characters once encoded";
const char* const qmIdnLongLabel = "An IDN label is longer than 255 characters once encoded";
const char* const qmIdnDomainTooLong = "The IDN domain name is longer than 253 characters once encoded";
const char* const qmIdnEmptyLabel = "The IDN domain name has an empty label";
const char* const qmIdnControlCharacter = "The IDN domain name holds a control character";
const char* const qmIdnNotAllowed = "The IDN domain name holds what domain names do not allow";

namespace {

constexpr uint32_t kBase = 36;
constexpr uint32_t kTMin = 1;
constexpr uint32_t kTMax = 26;
constexpr uint32_t kSkew = 38;
constexpr uint32_t kDamp = 700;
constexpr uint32_t kInitialBias = 72;
constexpr uint32_t kInitialN = 128;
constexpr int64_t kMaxInt = 2147483647;
constexpr char kDelimiter = '-';
constexpr char kPrefix[] = "xn--";
constexpr size_t kMaxLabel = 63;        // octets of an encoded DNS label
constexpr size_t kMaxLoneLabel = 255;   // octets of anything encoded as one label
constexpr size_t kMaxDomain = 253;  // octets of an encoded name, without a final "."
constexpr size_t kCachedLabels = 64;  // mapped labels kept per thread

const char* const kOverflow = "Input value needs wider integers to translate";
const char* const kBadInput = "Bad input value for the IDN translator";

// Decodes UTF-8 into code points. Anything that is not a well-formed,
// shortest-form sequence of a scalar value (a surrogate, a cut sequence, a
// stray byte) is refused: a replacement character would turn a wrong name
// into a valid-looking other one.
std::vector<uint32_t> DecodeUtf8(std::string_view S) {
  std::vector<uint32_t> Out;
  Out.reserve(S.size());
  const auto* P = reinterpret_cast<const unsigned char*>(S.data());
  const size_t N = S.size();
  size_t I = 0;
  while (I < N) {
    const unsigned char C = P[I];
    if (C < 0x80) {
      Out.push_back(C);
      ++I;
      continue;
    }
    int Len = 0;
    uint32_t Cp = 0, Min = 0;
    if (C >= 0xC2 && C <= 0xDF) {
      Len = 2; Cp = C & 0x1F; Min = 0x80;
    } else if (C >= 0xE0 && C <= 0xEF) {
      Len = 3; Cp = C & 0x0F; Min = 0x800;
    } else if (C >= 0xF0 && C <= 0xF4) {
      Len = 4; Cp = C & 0x07; Min = 0x10000;
    }
    bool Ok = Len > 0 && I + Len <= N;
    for (int K = 1; Ok && K < Len; ++K) {
      const unsigned char D = P[I + K];
      if ((D & 0xC0) != 0x80) Ok = false;
      else Cp = (Cp << 6) | (D & 0x3F);
    }
    if (Ok && (Cp < Min || Cp > 0x10FFFF || (Cp >= 0xD800 && Cp <= 0xDFFF))) Ok = false;
    if (!Ok) throw EqmIdnError(qmIdnInvalidUtf8);
    Out.push_back(Cp);
    I += Len;
  }
  return Out;
}

// The label separators of RFC 3490 section 3.1 other than ".": U+3002,
// U+FF0E and U+FF61 in UTF-8. Returns the length of the one at APos, or 0.
size_t WideFullStopAt(std::string_view S, size_t APos) {
  if (APos + 3 > S.size()) return 0;
  const std::string_view Three = S.substr(APos, 3);
  return Three == "\xE3\x80\x82" || Three == "\xEF\xBC\x8E" || Three == "\xEF\xBD\xA1" ? 3 : 0;
}

bool IsControl(char C) { return static_cast<unsigned char>(C) < 0x20 || C == 0x7F; }

char EncodeDigit(uint32_t D) {
  if (D < 26) return static_cast<char>('a' + D);
  if (D < 36) return static_cast<char>('0' + (D - 26));
  throw EqmIdnError(kBadInput);
}

uint32_t Adapt(int64_t Delta, int64_t NumPoints, bool FirstTime) {
  Delta = FirstTime ? Delta / kDamp : Delta / 2;
  Delta += Delta / NumPoints;
  uint32_t K = 0;
  while (Delta > ((kBase - kTMin) * kTMax) / 2) {
    Delta /= kBase - kTMin;
    K += kBase;
  }
  return static_cast<uint32_t>(K + ((kBase - kTMin + 1) * Delta) / (Delta + kSkew));
}

}  // namespace

bool TqmIdnTranslator::IsAscii(std::string_view AText) {
  for (char C : AText)
    if (static_cast<unsigned char>(C) >= 0x80) return false;
  return true;
}

std::string TqmIdnTranslator::EncodeLabel(std::string_view ALabel) {
  return EncodeLabel(ALabel, kMaxLoneLabel, qmIdnLongLabel);
}

std::string TqmIdnTranslator::EncodeLabel(std::string_view ALabel, size_t AMaxLength, const char* ATooLong) {
  if (IsAscii(ALabel)) return std::string(ALabel);
  const std::vector<uint32_t> Input = DecodeUtf8(ALabel);
  // Every code point takes at least one character after "xn--": a label
  // that cannot fit is refused before the encoding loop, whose time grows
  // with the square of the length.
  if (Input.size() + 4 > AMaxLength) throw EqmIdnError(ATooLong);
  const int64_t Length = static_cast<int64_t>(Input.size());

  std::string Out = kPrefix;
  int64_t B = 0;
  for (uint32_t C : Input)
    if (C < 0x80) {
      Out.push_back(static_cast<char>(C));
      ++B;
    }
  if (B > 0) Out.push_back(kDelimiter);

  // Delta stays within 0..kMaxInt: every step that could pass it is checked.
  int64_t N = kInitialN, Delta = 0, H = B;
  uint32_t Bias = kInitialBias;
  while (H < Length) {
    int64_t M = INT64_MAX;
    for (uint32_t C : Input)
      if (C >= N && C < M) M = C;
    if ((kMaxInt - Delta) / (H + 1) < M - N) throw EqmIdnError(kOverflow);
    Delta += (M - N) * (H + 1);
    N = M;
    for (uint32_t C : Input) {
      if (C < N) {
        if (++Delta > kMaxInt) throw EqmIdnError(kOverflow);
      } else if (C == N) {
        int64_t Q = Delta;
        for (uint32_t K = kBase;; K += kBase) {
          const uint32_t T = K <= Bias ? kTMin : (K >= Bias + kTMax ? kTMax : K - Bias);
          if (Q < T) break;
          Out.push_back(EncodeDigit(static_cast<uint32_t>(T + (Q - T) % (kBase - T))));
          Q = (Q - T) / (kBase - T);
        }
        Out.push_back(EncodeDigit(static_cast<uint32_t>(Q)));
        Bias = Adapt(Delta, H + 1, H == B);
        Delta = 0;
        ++H;
      }
    }
    if (++Delta > kMaxInt) throw EqmIdnError(kOverflow);
    ++N;
  }
  if (Out.size() > AMaxLength) throw EqmIdnError(ATooLong);
  return Out;
}

namespace {

// A name of ASCII without control characters, the usual case, is returned
// as it is once its labels and length are checked, with the errors (and
// their order) of the general path below.
bool CheckPlainDomain(const std::string& AName) {
  for (char C : AName)
    if (static_cast<unsigned char>(C) >= 0x80 || IsControl(C)) return false;
  size_t LabelStart = 0;
  for (size_t I = 0; I < AName.size(); ++I) {
    if (AName[I] != '.') continue;
    if (I == LabelStart) throw EqmIdnError(qmIdnEmptyLabel);
    if (I - LabelStart > kMaxLabel) throw EqmIdnError(qmIdnLabelTooLong);
    LabelStart = I + 1;
    // The output so far holds this label's "." as well.
    if (I + 1 > kMaxDomain + 1) throw EqmIdnError(qmIdnDomainTooLong);
  }
  if (AName.size() - LabelStart > kMaxLabel) throw EqmIdnError(qmIdnLabelTooLong);
  const size_t Length = !AName.empty() && AName.back() == '.' ? AName.size() - 1 : AName.size();
  if (Length > kMaxDomain) throw EqmIdnError(qmIdnDomainTooLong);
  return true;
}

struct TIdn2Free {
  void operator()(char* AText) const { idn2_free(AText); }
};

// One label of an international name, as a browser would look it up
// (UTS #46 non-transitional: case folding, NFC, width and compatibility
// mapping, then the IDNA2008 checks and Punycode), through libidn2, which
// follows Unicode's own tables. ALabel is valid UTF-8 without control
// characters and not empty.
std::string MapLabel(const std::string& ALabel) {
  // An ASCII label (beside non-ASCII ones) maps to its lower case, unless
  // the hyphen rules or an "xn--" prefix need libidn2's checks. Most labels
  // of an international name are such ("www", "com"), and libidn2 costs
  // some microseconds a call.
  if (TqmIdnTranslator::IsAscii(ALabel) && ALabel.front() != '-' && ALabel.back() != '-' &&
      !(ALabel.size() >= 4 && ALabel[2] == '-' && ALabel[3] == '-')) {
    if (ALabel.size() > kMaxLabel) throw EqmIdnError(qmIdnLabelTooLong);
    std::string Lower = ALabel;
    for (char& C : Lower)
      if (C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
    return Lower;
  }
  // The mapping rarely makes a label longer than its code points; anything
  // this long cannot become a 63-character label, and is refused before
  // any work grows with its length.
  if (ALabel.size() > kMaxLoneLabel * 4) throw EqmIdnError(qmIdnLabelTooLong);
  // Labels mapped lately, per thread: mail goes to and comes from the same
  // domains again and again, and libidn2 costs microseconds a label. One
  // slot per hash value keeps a look-up to one comparison and the memory
  // bounded; only labels that mapped are kept (refusals are rare).
  struct TMapped {
    std::string Label;
    std::string Ascii;
  };
  thread_local std::array<TMapped, kCachedLabels> Cache;
  TMapped& Slot = Cache[std::hash<std::string>{}(ALabel) % kCachedLabels];
  if (Slot.Label == ALabel) return Slot.Ascii;
  char* Raw = nullptr;
  const int Result = idn2_to_ascii_8z(ALabel.c_str(), &Raw, IDN2_NONTRANSITIONAL);
  const std::unique_ptr<char, TIdn2Free> Output(Raw);
  switch (Result) {
    case IDN2_OK:
      break;
    case IDN2_TOO_BIG_LABEL:
    case IDN2_TOO_BIG_DOMAIN:
    case IDN2_PUNYCODE_BIG_OUTPUT:
    case IDN2_PUNYCODE_OVERFLOW:
      throw EqmIdnError(qmIdnLabelTooLong);
    case IDN2_ENCODING_ERROR:
      throw EqmIdnError(qmIdnInvalidUtf8);
    default:
      throw EqmIdnError(std::string(qmIdnNotAllowed) + " (" + idn2_strerror(Result) + ")");
  }
  std::string Label(Output.get());
  // A character that maps to a full stop (U+2488 "1.") would smuggle a
  // label boundary in.
  if (Label.find('.') != std::string::npos) throw EqmIdnError(std::string(qmIdnNotAllowed) + " (\".\")");
  Slot.Label = ALabel;
  Slot.Ascii = Label;
  return Label;
}

}  // namespace

std::string TqmIdnTranslator::EncodeDomain(const std::string& AName) {
  if (CheckPlainDomain(AName)) return AName;
  // A control character (NUL and tab included) is refused, not dropped:
  // dropping it would turn a wrong name into a valid-looking other one.
  for (char C : AName)
    if (IsControl(C)) throw EqmIdnError(qmIdnControlCharacter);
  // Plain ASCII with a control character was refused above: what remains
  // has characters to map. Invalid UTF-8 is refused before anything else.
  DecodeUtf8(AName);
  // Labels end at "." and at the ideographic and full-width full stops;
  // only the final label may be empty (a name ending in "."). Every label,
  // ASCII ones too, is mapped: "MÜNCHEN.DE" is münchen.de.
  std::string Out;
  Out.reserve(AName.size() + 16);
  std::string Label;
  auto EndLabel = [&](bool ASeparator) {
    if (Label.empty()) {
      // Without a separator: the end after a final ".".
      if (ASeparator) throw EqmIdnError(qmIdnEmptyLabel);
      return;
    }
    const std::string Encoded = MapLabel(Label);
    if (Encoded.empty()) throw EqmIdnError(qmIdnEmptyLabel);
    if (Encoded.size() > kMaxLabel) throw EqmIdnError(qmIdnLabelTooLong);
    Out += Encoded;
    if (ASeparator) Out.push_back('.');
    Label.clear();
  };
  for (size_t I = 0; I < AName.size();) {
    if (AName[I] == '.') {
      EndLabel(true);
      ++I;
    } else if (const size_t Wide = WideFullStopAt(AName, I)) {
      EndLabel(true);
      I += Wide;
    } else {
      Label.push_back(AName[I]);
      ++I;
    }
    // Long input fails early instead of being encoded first.
    if (Out.size() > kMaxDomain + 1) throw EqmIdnError(qmIdnDomainTooLong);
  }
  EndLabel(false);
  const size_t Length = !Out.empty() && Out.back() == '.' ? Out.size() - 1 : Out.size();
  if (Length > kMaxDomain) throw EqmIdnError(qmIdnDomainTooLong);
  return Out;
}

std::string TqmIdnTranslator::EncodeMailbox(const std::string& AAddress) {
  const size_t At = AAddress.find('@');
  if (At == std::string::npos) return AAddress;
  return EncodeLabel(std::string_view(AAddress).substr(0, At)) + '@' +
         EncodeDomain(AAddress.substr(At + 1));
}

}  // namespace qm
