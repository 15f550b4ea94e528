#include "message/qmMessageLines.h"

#include <cstring>
#include <limits>

#include "core/qmException.h"

namespace qm {

TqmMessageLines::TqmMessageLines(std::string_view AText)
    : FInBuffer(AText.size() < std::numeric_limits<uint32_t>::max()), FText(AText) {
  const char* const Base = AText.data();
  const auto AddLine = [&](const char* AStart, const char* AEnd) {
    if (FInBuffer)
      FStarts.push_back(static_cast<uint32_t>(AStart - Base));
    else
      FViews.emplace_back(AStart, static_cast<size_t>(AEnd - AStart));
  };
  // Mail lines are rarely shorter than this: one allocation for most.
  if (FInBuffer)
    FStarts.reserve(AText.size() / 48 + 2);
  else
    FViews.reserve(AText.size() / 48 + 1);
  const char* P = Base;
  const char* const End = P + AText.size();
  // LF is found with memchr; a CR before it is either the CR of CR LF or a
  // line break of its own (old Mac text).
  while (P < End) {
    const void* Found = std::memchr(P, '\n', static_cast<size_t>(End - P));
    const char* const Lf = Found ? static_cast<const char*>(Found) : End;
    for (;;) {
      const void* CrFound = std::memchr(P, '\r', static_cast<size_t>(Lf - P));
      if (!CrFound) break;
      const char* const Cr = static_cast<const char*>(CrFound);
      AddLine(P, Cr);
      P = Cr + 1;
      if (P == Lf && Lf < End) ++P;  // CR LF: one break
      if (P > Lf) break;
    }
    if (P > Lf) continue;
    if (Lf < End || P < End) AddLine(P, Lf);
    P = Lf + 1;
  }
  if (FInBuffer) {
    const bool Terminated = !AText.empty() && (AText.back() == '\n' || AText.back() == '\r');
    FStarts.push_back(static_cast<uint32_t>(Terminated ? AText.size() : AText.size() + 1));
  }
}

TqmMessageLines::TqmMessageLines(const TStrings& ALines) : FSource(&ALines) {
  if (const auto* Other = dynamic_cast<const TqmMessageLines*>(&ALines)) {
    FInBuffer = Other->FInBuffer;
    FText = Other->FText;
    FStarts = Other->FStarts;
    FViews = Other->FViews;
    FSource = Other->FSource;
    return;
  }
  FViews.reserve(static_cast<size_t>(ALines.Count()));
  if (const std::vector<std::string>* Vector = ALines.LineVector()) {
    for (const std::string& Line : *Vector) FViews.emplace_back(Line);
  } else {
    for (int I = 0; I < ALines.Count(); ++I) FViews.emplace_back(ALines.Get(I));
  }
}

const std::string& TqmMessageLines::Get(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count())
    throw EListError("List index out of bounds (" + std::to_string(AIndex) + ")");
  if (FSource) return FSource->Get(AIndex);
  auto [It, Added] = FCopies.try_emplace(AIndex);
  if (Added) It->second.assign(Line(AIndex));
  return It->second;
}

void TqmMessageLines::ReadOnly() { throw EListError("The lines of a message read are read-only"); }

void TqmMessageLines::Put(int, const std::string&) { ReadOnly(); }
void TqmMessageLines::Insert(int, const std::string&) { ReadOnly(); }
void TqmMessageLines::Delete(int) { ReadOnly(); }
void TqmMessageLines::Clear() { ReadOnly(); }

}  // namespace qm
