// Reads a stored message (.eml), prints its subject, sender and text, and
// saves its attachments into a folder.
//
//   save_attachments message.eml OUTDIR
#include <iostream>
#include <memory>

#include "core/qmStream.h"
#include "core/qmStrings.h"
#include "message/qmMailMessage.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: save_attachments MESSAGE OUTDIR\n";
    return 2;
  }
  const std::string OutDir = argv[2];
  qm::TqmMailMessage Message;
  // Attachment data never stays in the message: as each attachment is
  // decoded, the message asks for a stream to write it to. Here, a file
  // in OUTDIR. FileName arrives without any directory part, but may
  // still be empty or name a file that exists: check before you trust it.
  Message.OnSaveAttachment = [&](qm::TObject*, qm::TqmAttachmentBody*, std::string& AFileName,
                                 std::unique_ptr<qm::TStream>& AData, bool& Handled) {
    const std::string Name = AFileName.empty() ? "unnamed.bin" : AFileName;
    AData = std::make_unique<qm::TFileStream>(OutDir + "/" + Name, qm::fmCreate);
    AFileName = OutDir + "/" + Name;
    Handled = true;
  };
  Message.OnAttachmentSaved = [](qm::TObject*, qm::TqmAttachmentBody*, const std::string& AFileName,
                                 qm::TStream* AData) {
    std::cout << "saved " << AFileName << " (" << AData->Size() << " bytes)\n";
  };

  try {
    // Read from the file's text as it lies: no string per line.
    qm::TMemoryStream File;
    File.LoadFromFile(argv[1]);
    const std::string Text = File.DataString();
    Message.ParseMessage(std::string_view(Text));
  } catch (const qm::Exception& E) {
    std::cerr << "reading failed: " << E.Message() << '\n';
    return 1;
  }
  std::cout << "From: " << Message.From().FullAddress() << '\n';
  std::cout << "Subject: " << Message.Subject() << '\n';  // decoded, UTF-8
  // The HTML text if there is one, else the plain text.
  const qm::TStrings& Text = Message.GetMessageText();
  for (int I = 0; I < Text.Count(); ++I) std::cout << Text.Get(I) << '\n';
  return 0;
}
