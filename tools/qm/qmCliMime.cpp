#include "qm/qmCliMime.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>

#include "core/qmStream.h"
#include "message/qmMailMessage.h"
#include "message/qmMboxReader.h"

namespace qm::cli {

namespace {

struct TMimeOptions {
  std::string Input;
  bool Tree = false;
  bool Text = false;
  bool Check = false;
  bool Mbox = false;
  std::string ExtractDir;
};

// The decoded data of every attachment, kept while the message is read.
using TAttachmentData = std::map<const TqmMessageBody*, std::string>;

int64_t TextSize(const TqmTextBody& ABody) {
  int64_t Size = 0;
  for (int I = 0; I < ABody.Strings().Count(); ++I) Size += static_cast<int64_t>(ABody.Strings().Get(I).size()) + 2;
  return Size;
}

void PrintTree(const TqmMessageBodies& ABodies, const TAttachmentData& AData, int ADepth) {
  for (int I = 0; I < ABodies.Count(); ++I) {
    TqmMessageBody* Body = ABodies.Items(I);
    std::cout << std::string(static_cast<size_t>(ADepth) * 2, ' ') << Body->ContentType();
    if (auto* Multipart = dynamic_cast<TqmMultipartBody*>(Body)) {
      std::cout << '\n';
      PrintTree(Multipart->Bodies(), AData, ADepth + 1);
      continue;
    }
    if (auto* Text = dynamic_cast<TqmTextBody*>(Body)) {
      if (!Text->GetCharSet().empty()) std::cout << "  charset=" << Text->GetCharSet();
    }
    const std::string Encoding = EncodingName(Body->Encoding());
    if (!Encoding.empty()) std::cout << "  " << Encoding;
    if (auto* Text = dynamic_cast<TqmTextBody*>(Body)) {
      std::cout << "  " << TextSize(*Text) << " bytes";
    } else if (auto* Attachment = dynamic_cast<TqmAttachmentBody*>(Body)) {
      const auto Found = AData.find(Body);
      std::cout << "  " << (Found == AData.end() ? 0 : Found->second.size()) << " bytes";
      std::cout << "  " << (Body->ContentDisposition().empty() ? "attachment" : Body->ContentDisposition());
      if (!Attachment->FileName().empty()) std::cout << "  \"" << Attachment->FileName() << '"';
      if (!Attachment->ContentID().empty()) std::cout << "  <" << Attachment->ContentID() << '>';
    }
    std::cout << '\n';
  }
}

// A name that is safe in the folder: no directory, no control
// characters, not hidden, not too long; "part-N" when nothing is left.
std::string SafeName(const std::string& AName, int AIndex) {
  std::string Name;
  for (unsigned char C : SafeReceivedFileName(AName)) Name += C < 0x20 || C == 0x7f ? '_' : static_cast<char>(C);
  const size_t Start = Name.find_first_not_of(". ");
  Name = Start == std::string::npos ? std::string() : Name.substr(Start);
  if (Name.size() > 200) {
    // Keep the extension; cut at a character boundary.
    const size_t Dot = Name.rfind('.');
    std::string Extension = Dot != std::string::npos && Name.size() - Dot <= 16 ? Name.substr(Dot) : std::string();
    size_t Cut = 200 - Extension.size();
    while (Cut > 0 && (static_cast<unsigned char>(Name[Cut]) & 0xC0) == 0x80) --Cut;
    Name = Name.substr(0, Cut) + Extension;
  }
  return Name.empty() ? "part-" + std::to_string(AIndex) : Name;
}

// Creates the file without replacing one: "name", "name-1.ext", ...
std::string SaveNew(const std::string& ADir, const std::string& AName, const std::string& AData) {
  const size_t Dot = AName.rfind('.');
  const std::string Stem = Dot == std::string::npos || Dot == 0 ? AName : AName.substr(0, Dot);
  const std::string Extension = Dot == std::string::npos || Dot == 0 ? std::string() : AName.substr(Dot);
  for (int Try = 0; Try < 10000; ++Try) {
    const std::string Path = ADir + "/" + (Try == 0 ? AName : Stem + "-" + std::to_string(Try) + Extension);
    const int Fd = open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (Fd < 0) {
      if (errno == EEXIST) continue;
      throw TFailure("writing " + Path + ": " + std::strerror(errno));
    }
    size_t Done = 0;
    while (Done < AData.size()) {
      const ssize_t N = write(Fd, AData.data() + Done, AData.size() - Done);
      if (N < 0 && errno == EINTR) continue;
      if (N <= 0) {
        const int Error = errno;
        close(Fd);
        throw TFailure("writing " + Path + ": " + std::strerror(Error));
      }
      Done += static_cast<size_t>(N);
    }
    if (close(Fd) != 0) throw TFailure("writing " + Path + ": " + std::strerror(errno));
    return Path;
  }
  throw TFailure("writing " + AName + " into " + ADir + ": too many files of that name");
}

void Extract(const TqmMessageBodies& ABodies, const TAttachmentData& AData, const std::string& ADir, int& AIndex) {
  for (int I = 0; I < ABodies.Count(); ++I) {
    TqmMessageBody* Body = ABodies.Items(I);
    if (auto* Multipart = dynamic_cast<TqmMultipartBody*>(Body)) {
      Extract(Multipart->Bodies(), AData, ADir, AIndex);
      continue;
    }
    auto* Attachment = dynamic_cast<TqmAttachmentBody*>(Body);
    if (!Attachment) continue;
    ++AIndex;
    const auto Found = AData.find(Body);
    const std::string Data = Found == AData.end() ? std::string() : Found->second;
    const std::string Path = SaveNew(ADir, SafeName(Attachment->FileName(), AIndex), Data);
    std::cout << Path << "  " << Data.size() << " bytes\n";
  }
}

// One line per defect: where (part, line), what, the text found.
void PrintDefects(const TqmMailMessage& AMessage, const std::string& APrefix) {
  for (const TqmMessageDefect& D : AMessage.Defects())
    std::cout << APrefix << (D.Part.empty() ? "message" : "part " + D.Part) << ", line "
              << (D.Line < 0 ? std::string("?") : std::to_string(D.Line + 1)) << ": " << DefectKindName(D.Kind)
              << (D.Text.empty() ? "" : ": " + OneLine(D.Text)) << '\n';
}

// Every message of an mbox file: one line each (sender, subject, size), or
// with --check the defects of each.
void RunMbox(const TMimeOptions& AOptions) {
  if (AOptions.Tree || AOptions.Text || !AOptions.ExtractDir.empty())
    throw TUsageError("--mbox lists or checks the messages; --tree, --text and --extract take one message");
  TqmMboxReader Reader;
  std::string Stdin;
  try {
    if (AOptions.Input == "-") {
      Stdin = ReadInput("-");
      Reader.SetData(Stdin);
    } else {
      Reader.Open(AOptions.Input);
    }
  } catch (const Exception& E) {
    throw TFailure("reading " + AOptions.Input + ": " + OneLine(E.Message()));
  }
  TqmMailMessage Message;
  Message.OnSaveAttachment = [](TObject*, TqmAttachmentBody*, std::string&, std::unique_ptr<TStream>& AStream,
                                bool& Handled) {
    AStream = std::make_unique<TMemoryStream>();
    Handled = true;
  };
  TqmMboxMessage M;
  int Count = 0, WithDefects = 0;
  size_t Defects = 0;
  while (Reader.Next(M)) {
    ++Count;
    const std::string Number = std::to_string(M.Index + 1);
    try {
      Reader.Parse(M, Message);
    } catch (const Exception& E) {
      throw TFailure("reading message " + Number + " in " + AOptions.Input + ": " + OneLine(E.Message()));
    }
    if (AOptions.Check) {
      PrintDefects(Message, Number + ": ");
      Defects += Message.Defects().size();
      if (!Message.Defects().empty()) ++WithDefects;
      continue;
    }
    std::cout << Number << "  " << OneLine(Message.From().FullAddress()) << "  " << OneLine(Message.Subject()) << "  "
              << M.Text.size() << " bytes\n";
  }
  if (Reader.Skipped() > 0)
    std::cout << Reader.Skipped() << " bytes before the first \"From \" line belong to no message\n";
  if (AOptions.Check && Defects > 0)
    throw TFailure(std::to_string(Defects) + " defect(s) in " + std::to_string(WithDefects) + " of " +
                   std::to_string(Count) + " messages in " + AOptions.Input);
  std::cout << Count << (Count == 1 ? " message in " : " messages in ") << AOptions.Input << '\n';
}

void RunMime(const TMimeOptions& AOptions) {
  if (AOptions.Mbox) {
    RunMbox(AOptions);
    return;
  }
  const std::string Text = ReadInput(AOptions.Input);
  TqmMailMessage Message;
  TAttachmentData Data;
  Message.OnSaveAttachment = [](TObject*, TqmAttachmentBody*, std::string&, std::unique_ptr<TStream>& AStream,
                                bool& Handled) {
    AStream = std::make_unique<TMemoryStream>();
    Handled = true;
  };
  Message.OnAttachmentSaved = [&Data](TObject*, TqmAttachmentBody* ABody, const std::string&, TStream* AStream) {
    if (auto* Memory = dynamic_cast<TMemoryStream*>(AStream)) Data[ABody] = Memory->DataString();
  };
  try {
    Message.ParseMessage(std::string_view(Text));
  } catch (const Exception& E) {
    throw TFailure("reading the message in " + AOptions.Input + ": " + OneLine(E.Message()));
  }

  if (AOptions.Check) {
    PrintDefects(Message, "");
    if (!AOptions.Tree && !AOptions.Text && AOptions.ExtractDir.empty()) {
      if (!Message.Defects().empty())
        throw TFailure(std::to_string(Message.Defects().size()) + " defect(s) in " + AOptions.Input);
      return;
    }
  }
  const bool Tree = AOptions.Tree || (!AOptions.Text && AOptions.ExtractDir.empty());
  if (Tree) {
    std::cout << "From: " << Message.From().FullAddress() << '\n';
    std::cout << "To: " << Message.ToList().GetText() << '\n';
    if (Message.CCList().Count() > 0) std::cout << "Cc: " << Message.CCList().GetText() << '\n';
    std::cout << "Subject: " << Message.Subject() << '\n';
    std::cout << Message.ContentType();
    if (!Message.IsMultipart() && !Message.CharSet().empty()) std::cout << "  charset=" << Message.CharSet();
    std::cout << '\n';
    PrintTree(Message.Bodies(), Data, 1);
  }
  if (AOptions.Text) {
    const TStrings& Text = Message.GetMessageText();
    for (int I = 0; I < Text.Count(); ++I) std::cout << Text.Get(I) << '\n';
  }
  if (!AOptions.ExtractDir.empty()) {
    if (mkdir(AOptions.ExtractDir.c_str(), 0700) != 0 && errno != EEXIST)
      throw TFailure("making " + AOptions.ExtractDir + ": " + std::strerror(errno));
    int Index = 0;
    Extract(Message.Bodies(), Data, AOptions.ExtractDir, Index);
  }
}

}  // namespace

TSubcommand AddMimeCommand(CLI::App& AParent) {
  auto Options = std::make_shared<TMimeOptions>();
  CLI::App* App = AParent.add_subcommand("mime", "Show the structure of a message, print its text, save its attachments");
  App->footer(
      "Without an action, --tree.\n"
      "Examples:\n"
      "  qm mime message.eml\n"
      "  qm mime --text message.eml\n"
      "  qm mime --check message.eml\n"
      "  qm mime --mbox --check inbox.mbox\n"
      "  qm fetch -s pop.example.org -u me -m 1 | qm mime --extract attachments -\n");
  App->add_option("message", Options->Input, "The message file (.eml), or - for stdin")
      ->required()
      ->check(FileOrStdin());
  App->add_flag("--tree", Options->Tree, "Show the parts: types, charsets, encodings, sizes, file names");
  App->add_flag("--text", Options->Text, "Print the text of the message (HTML if it has one, else plain text)");
  App->add_flag("--check", Options->Check,
                "List what the reader had to repair or pass over (bad header lines, missing boundaries, "
                "undecodable data, wrong charsets); alone, exits 1 when there is any");
  App->add_flag("--mbox", Options->Mbox,
                "The file is an mbox: list its messages (number, sender, subject, size), or with --check "
                "the defects of each");
  App->add_option("-x,--extract", Options->ExtractDir,
                  "Save the attachments into this folder (made if missing; existing files are kept)");
  return {App, [Options] { RunMime(*Options); }};
}

}  // namespace qm::cli
