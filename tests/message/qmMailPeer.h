// Reading messages here and with Python's email package, for comparing.
#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/qmStream.h"
#include "core/qmStrings.h"
#include "core/qmSysUtils.h"
#include "message/qmEmailAddress.h"
#include "message/qmMailMessage.h"

namespace qm::test {

struct TPart {
  std::string ContentType;
  std::string FileName;
  std::string Payload;  // decoded bytes (attachments) or text as UTF-8 (text bodies)
  std::string CharSet;
  bool Embedded = false;  // an embedded message that Python holds parsed
  TqmMessageBody* Body = nullptr;  // the body read here
};

struct TReadMessage {
  std::string Path;
  bool Error = false;
  std::string Subject;
  std::vector<std::pair<std::string, std::string>> From, To;  // name, address
  std::vector<TPart> Parts;
};

inline std::string FromHex(const std::string& AHex) {
  std::string R;
  if (AHex.empty() || AHex[0] != 'x') return R;
  for (size_t I = 1; I + 1 < AHex.size(); I += 2)
    R += static_cast<char>(std::stoi(AHex.substr(I, 2), nullptr, 16));
  return R;
}

inline std::string ReadFile(const std::string& APath) {
  TMemoryStream S;
  S.LoadFromFile(APath);
  return S.DataString();
}

inline void WriteFile(const std::string& APath, const std::string& AData) {
  TStringStream S(AData);
  S.SaveToFile(APath);
}

// Runs the peer script over the files; one result per file, in order.
inline std::vector<TReadMessage> ReadWithPython(const std::vector<std::string>& AFiles) {
  std::vector<TReadMessage> Result;
  std::string ListFile = "/tmp/qm_peer_list_" + std::to_string(getpid());
  std::string Command = "python3 " QM_TESTS_DIR "/message/msg_peer.py";
  // Passed through xargs so that long lists fit the command line.
  std::string Names;
  for (const auto& F : AFiles) Names += F + "\n";
  WriteFile(ListFile, Names);
  FILE* Pipe = popen(("xargs -d '\\n' " + Command + " < " + ListFile).c_str(), "r");
  if (!Pipe) return Result;
  std::string Out;
  char Buffer[65536];
  size_t N;
  while ((N = fread(Buffer, 1, sizeof Buffer, Pipe)) > 0) Out.append(Buffer, N);
  pclose(Pipe);
  std::remove(ListFile.c_str());
  std::istringstream In(Out);
  std::string Line;
  while (std::getline(In, Line)) {
    std::istringstream Words(Line);
    std::string Kind;
    Words >> Kind;
    std::vector<std::string> Args;
    for (std::string W; Words >> W;) Args.push_back(W);
    if (Kind == "message") {
      Result.emplace_back();
      Result.back().Path = FromHex(Args.at(0));
      continue;
    }
    if (Result.empty()) continue;
    TReadMessage& M = Result.back();
    if (Kind == "error") {
      M.Error = true;
    } else if (Kind == "subject") {
      M.Subject = Args.empty() ? "" : FromHex(Args[0]);
    } else if (Kind == "from" || Kind == "to") {
      auto& List = Kind == "from" ? M.From : M.To;
      for (size_t I = 0; I + 1 < Args.size(); I += 2)
        List.emplace_back(FromHex(Args[I]), FromHex(Args[I + 1]));
      if (Args.size() == 1) M.Error = true;
    } else if (Kind == "part") {
      Args.resize(4);
      M.Parts.push_back({FromHex(Args[0]), FromHex(Args[1]), FromHex(Args[2]), FromHex(Args[3]),
                         Args[2] == "embedded"});
    }
  }
  return Result;
}

// Reads a message with TqmMailMessage, keeping attachment bytes.
class TOurReader {
 public:
  TOurReader() {
    Message.OnSaveAttachment = [](TObject*, TqmAttachmentBody*, std::string&,
                                  std::unique_ptr<TStream>& AData, bool& Handled) {
      AData = std::make_unique<TMemoryStream>();
      Handled = true;
    };
    Message.OnAttachmentSaved = [this](TObject*, TqmAttachmentBody* ABody, const std::string&,
                                       TStream* AData) {
      TMemoryStream Copy;
      AData->Seek(0, TSeekOrigin::soBeginning);
      Copy.CopyFrom(*AData, 0);
      Saved[ABody] = Copy.DataString();
    };
  }

  // AFromText: the text is handed over whole instead of as lines.
  TReadMessage Read(const std::string& AData, bool AFromText = false) {
    Saved.clear();
    if (AFromText) {
      Message.ParseMessage(std::string_view(AData));
    } else {
      TStringList Lines;
      Lines.SetText(AData);
      Message.ParseMessage(Lines);
    }
    TReadMessage R;
    R.Subject = Message.Subject();
    if (!Message.From().Email().empty())
      R.From.emplace_back(Message.From().Name(), Message.From().Email());
    for (int I = 0; I < Message.ToList().Count(); ++I)
      R.To.emplace_back(Message.ToList().Items(I)->Name(), Message.ToList().Items(I)->Email());
    Collect(Message.Bodies(), R.Parts);
    return R;
  }

  TqmMailMessage Message;
  std::map<TqmMessageBody*, std::string> Saved;

 private:
  void Collect(TqmMessageBodies& ABodies, std::vector<TPart>& AParts) {
    for (int I = 0; I < ABodies.Count(); ++I) {
      TqmMessageBody* Body = ABodies.Items(I);
      if (auto* Multi = dynamic_cast<TqmMultipartBody*>(Body)) {
        Collect(Multi->Bodies(), AParts);
      } else if (auto* Text = dynamic_cast<TqmTextBody*>(Body)) {
        AParts.push_back({LowerCase(Text->ContentType()), "", Text->Strings().Text(),
                          Text->GetCharSet(), false, Text});
      } else if (auto* Att = dynamic_cast<TqmAttachmentBody*>(Body)) {
        AParts.push_back({LowerCase(Att->ContentType()), Att->FileName(), Saved[Att], "", false, Att});
      }
    }
  }
};

// Reads a message, writes it back (MessageSource, with the attachment
// bytes that were read) and reads the rendering again. ARendered gets the
// rendering.
inline std::pair<TReadMessage, TReadMessage> ReadWriteRead(const std::string& ASource,
                                                          std::string* ARendered = nullptr) {
  TOurReader First;
  TReadMessage Before = First.Read(ASource);
  // By body, not by file name: parts may share a name (the embedded
  // messages of a digest with one subject).
  std::map<const TqmAttachmentBody*, std::string> Files;
  for (auto& [Body, Data] : First.Saved)
    if (auto* A = dynamic_cast<TqmAttachmentBody*>(Body)) Files[A] = Data;
  First.Message.OnLoadAttachment = [Files](TObject*, TqmAttachmentBody* ABody, std::string&,
                                           std::unique_ptr<TStream>& AData, bool& Handled) {
    auto It = Files.find(ABody);
    if (It == Files.end()) return;
    AData = std::make_unique<TStringStream>(It->second);
    Handled = true;
  };
  const std::string Rendered = First.Message.MessageSource().Text();
  if (ARendered) *ARendered = Rendered;
  TOurReader Second;
  return {Before, Second.Read(Rendered)};
}

// Text as compared: LF line ends, no trailing line breaks or blanks.
inline std::string NormalText(std::string AText) {
  std::string R;
  for (size_t I = 0; I < AText.size(); ++I) {
    if (AText[I] == '\r') {
      R += '\n';
      if (I + 1 < AText.size() && AText[I + 1] == '\n') ++I;
    } else {
      R += AText[I];
    }
  }
  while (!R.empty() && (R.back() == '\n' || R.back() == ' ' || R.back() == '\t')) R.pop_back();
  return R;
}

}  // namespace qm::test
