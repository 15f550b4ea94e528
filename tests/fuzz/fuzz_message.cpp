// Reads arbitrary bytes as a mail message, as header text with encoded
// words and as a parameter list; nothing may crash, hang or leak.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/qmException.h"
#include "core/qmStream.h"
#include "core/qmStrings.h"
#include "message/qmMailHeader.h"
#include "message/qmMailMessage.h"

using namespace qm;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0) return 0;
  const std::string Input(reinterpret_cast<const char*>(Data + 1), Size - 1);
  switch (Data[0] % 4) {
    case 0:
    case 1: {
      TqmMailMessage Message;
      Message.SetErrorProcessing(Data[0] & 0x10 ? meIgnore : meExtractMaximumData);
      Message.OnSaveAttachment = [](TObject*, TqmAttachmentBody*, std::string&,
                                    std::unique_ptr<TStream>& AData, bool& Handled) {
        AData = std::make_unique<TMemoryStream>();
        Handled = true;
      };
      // Read from lines, or from the text where it lies.
      TStringList Lines;
      const bool FromText = Data[0] & 0x20;
      if (!FromText) Lines.SetText(Input);
      if (Data[0] % 4 == 1) {
        if (FromText)
          Message.ParseHeaderOnly(std::string_view(Input));
        else
          Message.ParseHeaderOnly(Lines);
      } else {
        if (FromText)
          Message.ParseMessage(std::string_view(Input));
        else
          Message.ParseMessage(Lines);
        Message.GetMessageText();
      }
      // What was read can be written again.
      Message.OnLoadAttachment = [](TObject*, TqmAttachmentBody*, std::string&,
                                    std::unique_ptr<TStream>& AData, bool& Handled) {
        AData = std::make_unique<TStringStream>("data");
        Handled = true;
      };
      // A header value that came with a NUL is refused with a clear error
      // when written back; nothing else may go wrong.
      try {
        if (Size < 4096) Message.MessageSource();
      } catch (const EqmHeaderFieldError&) {
      }
      break;
    }
    case 2:
      TqmMailHeaderFieldList::DecodeText(Input, Data[0] & 0x10 ? "utf-8" : "koi8-r");
      TqmMailHeaderFieldList::DecodeAddress(Input, "iso-8859-1");
      break;
    case 3: {
      TqmMailHeaderFieldList List("utf-8", cmNone, 76);
      List.GetDecodedItemValue(Input, "filename*");
      List.GetDecodedItemValue(Input, "name");
      if (Size < 2048) TqmMailHeaderFieldList::EncodeText(Input, "utf-8", 30, cmNone);
      break;
    }
  }
  return 0;
}
