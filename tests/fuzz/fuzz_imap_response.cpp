// Feeds arbitrary server bytes to the IMAP response reader, cut into
// pieces where the input says, with bounds small enough to be reached.
// Every input must end in responses or an EqmImapError; nothing may crash,
// hang or leak. Each response's values are walked to the leaves.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mail/qmImap.h"
#include "mail/qmImapResponse.h"

using namespace qm;

namespace {

// Takes the literals that follow "BODY[] ", as a fetch into a file does.
struct TSink : TqmImapLiteralSink {
  size_t Bytes = 0;
  bool Accept(std::string_view ALine, int64_t) override { return ALine.find("BODY[] {") != std::string_view::npos; }
  void Write(const char*, size_t ASize) override { Bytes += ASize; }
};

size_t Walk(const TqmImapValue& AValue) {
  size_t Bytes = AValue.Text.size();
  uint64_t N = 0;
  (void)AValue.ToNumber(N);
  for (const auto& Item : AValue.Items) Bytes += Walk(Item);
  return Bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 2 || Size > (256 << 10)) return 0;
  // The first byte: bounds; the second: the length of the pieces fed.
  const uint8_t Selector = Data[0];
  const size_t Piece = static_cast<size_t>(Data[1]) + 1;
  const std::string_view Input(reinterpret_cast<const char*>(Data) + 2, Size - 2);
  TqmImapLimits Limits;
  if (Selector & 1) {
    Limits.MaxLineLength = 128;
    Limits.MaxLiteralSize = 512;
    Limits.MaxResponseSize = 2048;
    Limits.MaxNestingDepth = 4;
  } else {
    Limits.MaxLiteralSize = 1 << 20;
  }
  TqmImapParser Parser(Limits);
  TSink Sink;
  if (Selector & 2) Parser.SetLiteralSink(&Sink);
  try {
    TqmImapResponse R;
    for (size_t I = 0; I < Input.size(); I += Piece) {
      Parser.Feed(Input.substr(I, Piece));
      while (Parser.Next(R)) {
        size_t Bytes = R.Tag.size() + R.Name.size() + R.Code.size() + R.Text.size();
        for (const auto& V : R.Values) Bytes += Walk(V);
        for (const auto& V : R.CodeArgs) Bytes += Walk(V);
        if (Bytes > R.Size + R.Storage->Raw.size() * 2 + 64) __builtin_trap();  // views stay inside the response
        (void)R.StatusText();
        // Any list may be read as a body structure.
        for (const auto& V : R.Values)
          for (const auto& Item : V.Items)
            if (Item.IsList()) (void)ImapBodyStructure(Item);
      }
    }
  } catch (const EqmImapError&) {
  }
  if (Sink.Bytes > Input.size()) __builtin_trap();
  return 0;
}
