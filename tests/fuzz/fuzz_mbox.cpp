// Reads arbitrary bytes as an mbox file in each quoting, with and without
// Content-Length, and parses every message found; nothing may crash, hang
// or leak, and every message must lie inside the data, in order.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "core/qmStream.h"
#include "message/qmMailMessage.h"
#include "message/qmMboxReader.h"

using namespace qm;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0) return 0;
  const std::string Input(reinterpret_cast<const char*>(Data + 1), Size - 1);
  TqmMboxReader Reader(Input);
  Reader.SetQuoting(static_cast<TqmMboxQuoting>(Data[0] % 3));
  Reader.SetUseContentLength(Data[0] & 0x10);
  const bool Parse = Data[0] & 0x20;
  TqmMailMessage Message;
  Message.OnSaveAttachment = [](TObject*, TqmAttachmentBody*, std::string&, std::unique_ptr<TStream>& AData,
                                bool& Handled) {
    AData = std::make_unique<TMemoryStream>();
    Handled = true;
  };
  const char* const Begin = Input.data();
  const char* Last = Begin;
  TqmMboxMessage M;
  int Count = 0;
  while (Reader.Next(M)) {
    // Each message lies after the one before, inside the data.
    if (M.Separator.data() < Last || M.Text.data() < M.Separator.data() ||
        M.Text.data() + M.Text.size() > Begin + Input.size() || M.Index != Count)
      std::abort();
    Last = M.Text.data() + M.Text.size();
    const std::string_view Text = Reader.Unquoted(M);
    if (Text.size() > M.Text.size()) std::abort();
    if (Parse) Reader.Parse(M, Message);
    if (++Count > static_cast<int>(Size)) std::abort();  // more messages than bytes: a loop
  }
  if (Reader.Skipped() < 0 || static_cast<size_t>(Reader.Skipped()) > Input.size()) std::abort();
  return 0;
}
