// Parsing and composing mail messages: this library against GMime 3 (a small
// C harness below) and Python's email package, on the same inputs in one run.
//   - a corpus of real messages (the test corpus, repeated to 2,000
//     messages): parse each and decode every part;
//   - one generated message of about 50 MB with base64 attachments: parse
//     and decode every part;
//   - composing and rendering a message of about 50 MB;
//   - a corpus of typical modern mail generated here (2,000 messages:
//     multipart/alternative text and HTML in quoted-printable, one to three
//     base64 attachments of a few KB to 100 KB, encoded-word subjects and
//     names);
//   - multiparts nested 1, 10 and 100 levels deep around an 8 MB attachment
//     (memory and time must not grow with the depth);
//   - 10,000 smaller modern messages in one mbox file (GMime's mbox
//     parser) and in a maildir of 10,000 files.
// The modern corpus is measured twice: all LF, then all CR LF.
// Arguments choose the cases: corpus, big, compose, modern, nested, mailbox
// (none: all of them).
// Ours reads each message from its text (ParseMessage(std::string_view)),
// as GMime reads it from a buffer; the "(lines)" rows read the same text
// split into a TStringList first, as from a POP3 client.
// Each measurement runs in a child process, so that its peak memory (above
// the child's start) is its own; the 50 MB ones are repeated in three
// children per library and the best kept. They are timed twice: "cold" is
// the first run in a fresh process, which also pays for every page of memory
// it touches for the first time (costly on this VM, about 2 GB/s), "warm" is
// the best of three further runs in the same process, as in an application
// that handles one message after another. Prints MB/s, messages/s, peak
// memory and the ratios to the peers.
#include <fcntl.h>
#include <gmime/gmime.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/qmStream.h"
#include "core/qmStrings.h"
#include "message/qmMailMessage.h"
#include "message/qmMaildirReader.h"
#include "message/qmMboxReader.h"

using namespace qm;

namespace {

struct TResult {
  double Seconds = 0;      // the first (cold) run, or the whole corpus
  double WarmSeconds = 0;  // best of the runs after the first; 0: not measured
  double Bytes = 0;
  double Messages = 0;
  double PeakKb = 0;
  bool Ok = false;
};

long MaxRssKb() {
  rusage U{};
  getrusage(RUSAGE_SELF, &U);
  return U.ru_maxrss;
}

// A line of /proc/self/status in KB ("VmRSS:", "VmHWM:"); -1: not there.
long StatusKb(const char* AName) {
  FILE* F = std::fopen("/proc/self/status", "r");
  if (!F) return -1;
  char Line[256];
  long Kb = -1;
  const size_t Len = std::strlen(AName);
  while (std::fgets(Line, sizeof Line, F))
    if (std::strncmp(Line, AName, Len) == 0) Kb = std::atol(Line + Len);
  std::fclose(F);
  return Kb;
}

// Resets the peak resident size to the current one; false if not allowed.
bool ResetPeakResident() {
  FILE* F = std::fopen("/proc/self/clear_refs", "w");
  if (!F) return false;
  const bool Ok = std::fputs("5", F) >= 0;
  return std::fclose(F) == 0 && Ok;
}

// Straight into the string: a stream and a copy of it would put the file
// in memory twice and count in the peak.
std::string ReadFile(const std::string& APath) {
  TFileStream F(APath, fmOpenRead);
  std::string Data(static_cast<size_t>(F.Size()), '\0');
  if (!Data.empty()) F.ReadBuffer(Data.data(), static_cast<int64_t>(Data.size()));
  return Data;
}

std::vector<std::string> ReadList(const std::string& AListFile) {
  std::vector<std::string> Paths;
  TStringList L;
  L.SetText(ReadFile(AListFile));
  for (int I = 0; I < L.Count(); ++I)
    if (!L[I].empty()) Paths.push_back(L[I]);
  return Paths;
}

// Runs AWork in a child; AWork fills seconds, bytes and messages.
TResult InChild(const std::function<void(TResult&)>& AWork) {
  int Fds[2];
  if (pipe(Fds) != 0) return {};
  const pid_t Pid = fork();
  if (Pid == 0) {
    close(Fds[0]);
    // The child starts with the parent's memory: heap the parent freed but
    // kept resident would be reused without showing in the peak (earlier
    // cases would hide the memory of later ones), so it goes back to the
    // system first and the peak is counted from what is resident then.
    malloc_trim(0);
    const bool Reset = ResetPeakResident();
    const long Start = Reset ? StatusKb("VmRSS:") : MaxRssKb();
    TResult R;
    AWork(R);
    R.PeakKb = static_cast<double>((Reset ? StatusKb("VmHWM:") : MaxRssKb()) - Start);
    R.Ok = true;
    (void)!write(Fds[1], &R, sizeof R);
    _exit(0);
  }
  close(Fds[1]);
  TResult R;
  if (read(Fds[0], &R, sizeof R) != sizeof R) R = {};
  close(Fds[0]);
  waitpid(Pid, nullptr, 0);
  return R;
}

TResult RunPython(const std::string& AArgs) {
  TResult R;
  const std::string Command = "python3 " QM_SOURCE_DIR "/bench/bench_message_peer.py " + AArgs;
  FILE* Pipe = popen(Command.c_str(), "r");
  if (!Pipe) return R;
  if (fscanf(Pipe, "%lf %lf %lf %lf %lf", &R.Seconds, &R.WarmSeconds, &R.Bytes, &R.Messages,
             &R.PeakKb) == 5)
    R.Ok = true;
  pclose(Pipe);
  return R;
}

// The 50 MB measurements are noisy on a shared VM: each is taken in three
// fresh processes, taking turns between the libraries, and the best times
// (and the highest peak) are kept.
constexpr int kRounds = 3;

void KeepBest(TResult& ABest, const TResult& ANew) {
  if (!ANew.Ok) return;
  if (!ABest.Ok) {
    ABest = ANew;
    return;
  }
  ABest.Seconds = std::min(ABest.Seconds, ANew.Seconds);
  ABest.WarmSeconds = std::min(ABest.WarmSeconds, ANew.WarmSeconds);
  ABest.PeakKb = std::max(ABest.PeakKb, ANew.PeakKb);
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Runs ARun (which returns its seconds) once cold and three times warm.
void ColdAndWarm(TResult& R, const std::function<double()>& ARun) {
  R.Seconds = ARun();
  R.WarmSeconds = 1e30;
  for (int I = 0; I < 3; ++I) R.WarmSeconds = std::min(R.WarmSeconds, ARun());
}

// Attachment data handed to the composers without a copy, as an application
// that keeps its attachments in memory would: a read-only stream over it.
class TBlobStream : public TStream {
 public:
  explicit TBlobStream(const std::string& AData) : FData(AData) {}
  int64_t Read(void* ABuffer, int64_t ACount) override {
    const int64_t N = std::clamp<int64_t>(Size() - FPosition, 0, ACount);
    if (N > 0) std::memcpy(ABuffer, FData.data() + FPosition, static_cast<size_t>(N));
    FPosition += N;
    return N;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override {
    const int64_t Base = AOrigin == TSeekOrigin::soBeginning ? 0
                         : AOrigin == TSeekOrigin::soCurrent ? FPosition
                                                             : Size();
    FPosition = std::max<int64_t>(Base + AOffset, 0);
    return FPosition;
  }
  int64_t Size() override { return static_cast<int64_t>(FData.size()); }
  void SetSize(int64_t) override {}

 private:
  const std::string& FData;
  int64_t FPosition = 0;
};

// --- This library -----------------------------------------------------------

// Attachments decoded into memory, as GMime keeps them, not into files.
void KeepAttachmentsInMemory(TqmMailMessage& M) {
  M.OnSaveAttachment = [](TObject*, TqmAttachmentBody*, std::string&, std::unique_ptr<TStream>& AData,
                          bool& Handled) {
    AData = std::make_unique<TMemoryStream>();
    Handled = true;
  };
}

// AFromLines: each message is split into a TStringList and read from it
// (as from TqmPop3::Retrieve) instead of being read from its text.
void OursParse(const std::vector<std::string>& AFiles, int ARepeat, bool AColdAndWarm, TResult& R,
               bool AFromLines = false) {
  std::vector<std::string> Datas;
  for (const auto& F : AFiles) Datas.push_back(ReadFile(F));
  TqmMailMessage M;
  KeepAttachmentsInMemory(M);
  const auto Run = [&] {
    R.Bytes = R.Messages = 0;
    const double T = Now();
    for (int I = 0; I < ARepeat; ++I) {
      for (const std::string& D : Datas) {
        if (AFromLines) {
          TStringList Lines;
          Lines.SetText(D);
          M.ParseMessage(Lines);
        } else {
          M.ParseMessage(std::string_view(D));
        }
        R.Bytes += static_cast<double>(D.size());
        R.Messages += 1;
      }
    }
    return Now() - T;
  };
  if (AColdAndWarm) ColdAndWarm(R, Run);
  else R.Seconds = Run();
}

constexpr int kMailboxMessages = 10000;

// Every message of an mbox file, read in place from the mapped file.
void OursMbox(const std::string& AFile, TResult& R) {
  TqmMailMessage M;
  KeepAttachmentsInMemory(M);
  ColdAndWarm(R, [&] {
    R.Bytes = R.Messages = 0;
    const double T = Now();
    TqmMboxReader Reader;
    Reader.Open(AFile);
    TqmMboxMessage Message;
    while (Reader.Next(Message)) {
      Reader.Parse(Message, M);
      R.Messages += 1;
    }
    R.Bytes = static_cast<double>(Reader.Data().size());
    return Now() - T;
  });
}

// Every file of a maildir (listed, read and parsed).
void OursMaildir(const std::string& ADir, TResult& R) {
  TqmMailMessage M;
  KeepAttachmentsInMemory(M);
  ColdAndWarm(R, [&] {
    R.Bytes = R.Messages = 0;
    const double T = Now();
    TqmMaildirReader Reader;
    Reader.Open(ADir);
    TqmMaildirMessage Message;
    while (Reader.Next(Message)) {
      M.ParseMessage(Message.Text);
      R.Bytes += static_cast<double>(Message.Text.size());
      R.Messages += 1;
    }
    return Now() - T;
  });
}

std::string Blob(size_t ASize) {
  std::string B(ASize, '\0');
  for (size_t I = 0; I < ASize; ++I) B[I] = static_cast<char>((I * 7919) % 251);
  return B;
}

// One composition and rendering; returns its seconds.
double OursComposeOnce(const std::string& AData, int ACount, TResult& R, std::string* AOut) {
  const double T = Now();
  TqmMailMessage M;
  M.OnLoadAttachment = [&](TObject*, TqmAttachmentBody*, std::string&,
                           std::unique_ptr<TStream>& AStream, bool& Handled) {
    AStream = std::make_unique<TBlobStream>(AData);
    Handled = true;
  };
  std::vector<std::string> Names;
  for (int I = 0; I < ACount; ++I) Names.push_back("file" + std::to_string(I) + ".bin");
  M.BuildMessage("text", "", Names, {});
  M.SetSubject("big");
  M.From().SetFullAddress("a@example.com");
  M.ToList().AddAddress("b@example.com");
  TMemoryStream Out;
  M.MessageSource().SaveToStream(Out);
  const double Seconds = Now() - T;
  R.Bytes = static_cast<double>(Out.Size());
  R.Messages = 1;
  if (AOut) *AOut = Out.DataString();
  return Seconds;
}

void OursCompose(size_t AAttachmentSize, int ACount, TResult& R, std::string* AOut = nullptr) {
  const std::string Data = Blob(AAttachmentSize);
  if (AOut) {
    R.Seconds = OursComposeOnce(Data, ACount, R, AOut);
    return;
  }
  ColdAndWarm(R, [&] { return OursComposeOnce(Data, ACount, R, nullptr); });
}


// --- Generated inputs -------------------------------------------------------

// A small deterministic generator, so that every run reads the same mail.
class TRandom {
 public:
  explicit TRandom(uint64_t ASeed) : FState(ASeed) {}
  uint32_t Next() {
    FState = FState * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<uint32_t>(FState >> 33);
  }
  size_t Below(size_t AMax) { return AMax ? Next() % AMax : 0; }

 private:
  uint64_t FState;
};

std::string Base64Lines(const std::string& AData, const char* AEol) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string Out;
  Out.reserve(AData.size() * 4 / 3 + AData.size() / 38 + 8);
  size_t Column = 0;
  for (size_t I = 0; I < AData.size(); I += 3) {
    const size_t N = std::min<size_t>(3, AData.size() - I);
    uint32_t V = static_cast<uint8_t>(AData[I]) << 16;
    if (N > 1) V |= static_cast<uint8_t>(AData[I + 1]) << 8;
    if (N > 2) V |= static_cast<uint8_t>(AData[I + 2]);
    Out += kAlphabet[(V >> 18) & 63];
    Out += kAlphabet[(V >> 12) & 63];
    Out += N > 1 ? kAlphabet[(V >> 6) & 63] : '=';
    Out += N > 2 ? kAlphabet[V & 63] : '=';
    Column += 4;
    if (Column == 76) {
      Out += AEol;
      Column = 0;
    }
  }
  if (Column) Out += AEol;
  return Out;
}

// Quoted-printable with soft breaks at 76 columns; the text's own line
// breaks are AEol.
std::string QuotedPrintableLines(const std::string& AText, const char* AEol) {
  std::string Out;
  size_t Column = 0;
  auto Put = [&](const std::string& APiece) {
    if (Column + APiece.size() > 75) {
      Out += "=";
      Out += AEol;
      Column = 0;
    }
    Out += APiece;
    Column += APiece.size();
  };
  for (size_t I = 0; I < AText.size(); ++I) {
    const unsigned char C = static_cast<unsigned char>(AText[I]);
    if (C == '\n') {
      Out += AEol;
      Column = 0;
    } else if (C == '=' || C >= 0x7F || (C == ' ' && (I + 1 == AText.size() || AText[I + 1] == '\n'))) {
      char Hex[4];
      std::snprintf(Hex, sizeof Hex, "=%02X", C);
      Put(Hex);
    } else {
      Put(std::string(1, static_cast<char>(C)));
    }
  }
  if (Column) Out += AEol;
  return Out;
}

std::string EncodedWord(const std::string& AText) {
  return "=?utf-8?B?" + Base64Lines(AText, "") + "?=";
}

const char* const kWords[] = {"meeting", "réunion", "budget", "Übersicht", "planning",
                              "équipe",  "report",  "naïve",  "résumé",    "quarterly",
                              "Straße",  "draft",   "review", "données",   "schedule"};

std::string Sentence(TRandom& ARandom, size_t AWords) {
  std::string S;
  for (size_t I = 0; I < AWords; ++I) {
    if (I) S += ' ';
    S += kWords[ARandom.Below(std::size(kWords))];
  }
  return S;
}

// One typical message of today's mailers, with AEol line ends and one to
// AMaxAttachments attachments (none when 0) of 2 KB up to AAttachmentMax;
// with AFromLines, one in ten has a text line starting with "From ".
std::string ModernMessage(int AIndex, const char* AEol, size_t AMaxAttachments = 3,
                          size_t AAttachmentMax = 100000, bool AFromLines = false) {
  TRandom R(static_cast<uint64_t>(AIndex) * 2654435761ULL + 17);
  const char* Eol = AEol;
  const std::string Outer = "=_outer_" + std::to_string(AIndex);
  const std::string Alt = "=_alt_" + std::to_string(AIndex);
  std::string M;
  auto H = [&](const std::string& ALine) { M += ALine + Eol; };
  H("Return-Path: <sender" + std::to_string(AIndex) + "@example.com>");
  H("Received: from mx.example.com (mx.example.com [192.0.2.1])");
  H("\tby mail.example.org with ESMTPS id abc" + std::to_string(AIndex) + ";");
  H("\tMon, 7 Dec 2026 10:0" + std::to_string(AIndex % 10) + ":00 +0100");
  H("From: " + EncodedWord("Zoë " + std::string(kWords[R.Below(15)])) + " <sender" +
    std::to_string(AIndex) + "@example.com>");
  H("To: " + EncodedWord("Jürgen Müller") + " <jm@example.org>, " + EncodedWord("Ana Núñez") +
    " <an@example.org>");
  H("Subject: " + EncodedWord("Re: " + Sentence(R, 6)));
  H("Date: Mon, 7 Dec 2026 10:00:00 +0100");
  H("Message-ID: <m" + std::to_string(AIndex) + "@example.com>");
  H("MIME-Version: 1.0");
  H("Content-Type: multipart/mixed; boundary=\"" + Outer + "\"");
  H("");
  H("--" + Outer);
  H("Content-Type: multipart/alternative; boundary=\"" + Alt + "\"");
  H("");
  std::string Text;
  const size_t Paragraphs = 3 + R.Below(10);
  for (size_t P = 0; P < Paragraphs; ++P) Text += Sentence(R, 10 + R.Below(40)) + "\n\n";
  // Some mail has a line starting with "From " (quoted in an mbox).
  if (AFromLines && AIndex % 10 == 3) Text += "From the desk of " + Sentence(R, 3) + "\n\n";
  H("--" + Alt);
  H("Content-Type: text/plain; charset=\"utf-8\"");
  H("Content-Transfer-Encoding: quoted-printable");
  H("");
  M += QuotedPrintableLines(Text, Eol);
  H("--" + Alt);
  H("Content-Type: text/html; charset=\"utf-8\"");
  H("Content-Transfer-Encoding: quoted-printable");
  H("");
  std::string Html = "<html><head><meta charset=\"utf-8\"></head><body>\n";
  size_t From = 0;
  for (size_t P = Text.find("\n\n"); P != std::string::npos; From = P + 2, P = Text.find("\n\n", From))
    Html += "<p style=\"font-family: Arial, sans-serif; margin: 0 0 1em 0\">" +
            Text.substr(From, P - From) + "</p>\n";
  Html += "</body></html>\n";
  M += QuotedPrintableLines(Html, Eol);
  H("--" + Alt + "--");
  H("");
  const size_t Count = AMaxAttachments ? 1 + R.Below(AMaxAttachments) : 0;
  for (size_t A = 0; A < Count; ++A) {
    // Mostly small, some up to AAttachmentMax.
    const double U = static_cast<double>(R.Below(1000)) / 1000.0;
    const size_t Size = 2000 + static_cast<size_t>(U * U * static_cast<double>(AAttachmentMax - 2000));
    std::string Data(Size, '\0');
    for (char& C : Data) C = static_cast<char>(R.Next());
    const std::string Name = std::string(kWords[R.Below(15)]) + "_" + std::to_string(A) + ".pdf";
    H("--" + Outer);
    H("Content-Type: application/pdf; name=\"" + EncodedWord(Name) + "\"");
    H("Content-Disposition: attachment; filename*=utf-8''" + [&] {
      std::string E;
      for (unsigned char C : Name) {
        if (std::isalnum(C) || C == '.' || C == '_') {
          E += static_cast<char>(C);
        } else {
          char Hex[4];
          std::snprintf(Hex, sizeof Hex, "%%%02X", C);
          E += Hex;
        }
      }
      return E;
    }());
    H("Content-Transfer-Encoding: base64");
    H("");
    M += Base64Lines(Data, Eol);
  }
  H("--" + Outer + "--");
  return M;
}

// ADepth multiparts, one inside the other, around one base64 attachment.
std::string NestedMessage(int ADepth, size_t APayload) {
  std::string M =
      "From: a@example.com\r\nTo: b@example.com\r\nSubject: nested\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"n0\"\r\n\r\n";
  for (int I = 1; I < ADepth; ++I)
    M += "--n" + std::to_string(I - 1) + "\r\nContent-Type: multipart/mixed; boundary=\"n" +
         std::to_string(I) + "\"\r\n\r\n";
  M += "--n" + std::to_string(ADepth - 1) +
       "\r\nContent-Type: application/octet-stream; name=\"payload.bin\"\r\n"
       "Content-Transfer-Encoding: base64\r\n\r\n";
  M += Base64Lines(Blob(APayload), "\r\n");
  for (int I = ADepth - 1; I >= 0; --I) M += "--n" + std::to_string(I) + "--\r\n";
  return M;
}

void SaveText(const std::string& APath, const std::string& AText) {
  TStringStream S(AText);
  S.SaveToFile(APath);
}

// --- GMime ------------------------------------------------------------------

void GMimeDecodePart(GMimeObject*, GMimeObject* APart, gpointer) {
  if (!GMIME_IS_PART(APart)) return;
  GMimeDataWrapper* Content = g_mime_part_get_content(GMIME_PART(APart));
  if (!Content) return;
  GMimeStream* Out = g_mime_stream_mem_new();
  g_mime_data_wrapper_write_to_stream(Content, Out);
  g_object_unref(Out);
}

void GMimeParse(const std::vector<std::string>& AFiles, int ARepeat, bool AColdAndWarm, TResult& R) {
  g_mime_init();
  std::vector<std::string> Datas;
  for (const auto& F : AFiles) Datas.push_back(ReadFile(F));
  const auto Run = [&] {
    R.Bytes = R.Messages = 0;
    const double T = Now();
    for (int I = 0; I < ARepeat; ++I) {
      for (const std::string& D : Datas) {
        GMimeStream* Stream = g_mime_stream_mem_new_with_buffer(D.data(), D.size());
        GMimeParser* Parser = g_mime_parser_new_with_stream(Stream);
        GMimeMessage* Message = g_mime_parser_construct_message(Parser, nullptr);
        if (Message) {
          g_mime_message_foreach(Message, GMimeDecodePart, nullptr);
          g_object_unref(Message);
        }
        g_object_unref(Parser);
        g_object_unref(Stream);
        R.Bytes += static_cast<double>(D.size());
        R.Messages += 1;
      }
    }
    return Now() - T;
  };
  if (AColdAndWarm) ColdAndWarm(R, Run);
  else R.Seconds = Run();
}

// GMime's mbox parser over the mapped file.
void GMimeMbox(const std::string& AFile, TResult& R) {
  g_mime_init();
  ColdAndWarm(R, [&] {
    R.Bytes = R.Messages = 0;
    const double T = Now();
    const int Fd = open(AFile.c_str(), O_RDONLY);
    GMimeStream* Stream = g_mime_stream_mmap_new(Fd, PROT_READ, MAP_PRIVATE);
    GMimeParser* Parser = g_mime_parser_new_with_stream(Stream);
    g_mime_parser_set_format(Parser, GMIME_FORMAT_MBOX);
    while (!g_mime_parser_eos(Parser)) {
      GMimeMessage* Message = g_mime_parser_construct_message(Parser, nullptr);
      if (!Message) break;
      g_mime_message_foreach(Message, GMimeDecodePart, nullptr);
      g_object_unref(Message);
      R.Messages += 1;
    }
    R.Bytes = static_cast<double>(g_mime_stream_length(Stream));
    g_object_unref(Parser);
    g_object_unref(Stream);  // closes the file
    return Now() - T;
  });
}

// Every file of a maildir through GMime: listed and sorted as ours does,
// each read by a file stream and parsed.
void GMimeMaildir(const std::string& ADir, TResult& R) {
  g_mime_init();
  ColdAndWarm(R, [&] {
    R.Bytes = R.Messages = 0;
    const double T = Now();
    std::vector<std::string> Names;
    for (const char* Sub : {"/cur", "/new"})
      for (const auto& E : std::filesystem::directory_iterator(ADir + Sub))
        if (E.is_regular_file()) Names.push_back(E.path().string());
    std::sort(Names.begin(), Names.end());
    for (const std::string& Name : Names) {
      const int Fd = open(Name.c_str(), O_RDONLY);
      if (Fd < 0) continue;
      GMimeStream* Stream = g_mime_stream_fs_new(Fd);
      GMimeParser* Parser = g_mime_parser_new_with_stream(Stream);
      GMimeMessage* Message = g_mime_parser_construct_message(Parser, nullptr);
      if (Message) {
        g_mime_message_foreach(Message, GMimeDecodePart, nullptr);
        g_object_unref(Message);
      }
      R.Bytes += static_cast<double>(g_mime_stream_length(Stream));
      g_object_unref(Parser);
      g_object_unref(Stream);
      R.Messages += 1;
    }
    return Now() - T;
  });
}

double GMimeComposeOnce(GByteArray* AData, int ACount, TResult& R) {
  const double T = Now();
  GMimeMessage* Message = g_mime_message_new(TRUE);
  g_mime_message_set_subject(Message, "big", nullptr);
  g_mime_message_add_mailbox(Message, GMIME_ADDRESS_TYPE_FROM, nullptr, "a@example.com");
  g_mime_message_add_mailbox(Message, GMIME_ADDRESS_TYPE_TO, nullptr, "b@example.com");
  GMimeMultipart* Mixed = g_mime_multipart_new_with_subtype("mixed");
  GMimeTextPart* Text = g_mime_text_part_new_with_subtype("plain");
  g_mime_text_part_set_text(Text, "text\n");
  g_mime_multipart_add(Mixed, GMIME_OBJECT(Text));
  g_object_unref(Text);
  for (int I = 0; I < ACount; ++I) {
    GMimePart* Part = g_mime_part_new_with_type("application", "octet-stream");
    const std::string Name = "file" + std::to_string(I) + ".bin";
    g_mime_part_set_filename(Part, Name.c_str());
    // Over the shared data, not a copy of it (the stream does not own it).
    GMimeStream* Stream = g_mime_stream_mem_new_with_byte_array(AData);
    g_mime_stream_mem_set_owner(GMIME_STREAM_MEM(Stream), FALSE);
    GMimeDataWrapper* Content = g_mime_data_wrapper_new_with_stream(Stream, GMIME_CONTENT_ENCODING_DEFAULT);
    g_mime_part_set_content(Part, Content);
    g_mime_part_set_content_encoding(Part, GMIME_CONTENT_ENCODING_BASE64);
    g_object_unref(Content);
    g_object_unref(Stream);
    g_mime_multipart_add(Mixed, GMIME_OBJECT(Part));
    g_object_unref(Part);
  }
  g_mime_message_set_mime_part(Message, GMIME_OBJECT(Mixed));
  g_object_unref(Mixed);
  GMimeStream* Out = g_mime_stream_mem_new();
  g_mime_object_write_to_stream(GMIME_OBJECT(Message), nullptr, Out);
  const double Seconds = Now() - T;
  R.Bytes = static_cast<double>(g_mime_stream_length(Out));
  g_object_unref(Out);
  g_object_unref(Message);
  R.Messages = 1;
  return Seconds;
}

void GMimeCompose(size_t AAttachmentSize, int ACount, TResult& R) {
  g_mime_init();
  const std::string Data = Blob(AAttachmentSize);
  GByteArray* Array = g_byte_array_sized_new(static_cast<guint>(Data.size()));
  g_byte_array_append(Array, reinterpret_cast<const guint8*>(Data.data()), static_cast<guint>(Data.size()));
  ColdAndWarm(R, [&] { return GMimeComposeOnce(Array, ACount, R); });
  g_byte_array_unref(Array);
}

// --- Report -----------------------------------------------------------------

void Line(const char* AName, const TResult& R, const TResult& AOurs) {
  if (!R.Ok) {
    std::printf("  %-8s failed or not run\n", AName);
    return;
  }
  const double Mbs = R.Bytes / 1e6 / R.Seconds;
  const double OurMbs = AOurs.Bytes / 1e6 / AOurs.Seconds;
  if (R.WarmSeconds > 0) {
    const double WarmMbs = R.Bytes / 1e6 / R.WarmSeconds;
    const double OurWarmMbs = AOurs.Bytes / 1e6 / AOurs.WarmSeconds;
    std::printf("  %-8s cold %7.1f MB/s  warm %7.1f MB/s %9.1f MB peak   ours/this cold %.2fx warm %.2fx\n",
                AName, Mbs, WarmMbs, R.PeakKb / 1024.0, OurMbs / Mbs, OurWarmMbs / WarmMbs);
    return;
  }
  std::printf("  %-8s %9.1f MB/s %10.0f msg/s %9.1f MB peak   ours/this %.2fx\n", AName, Mbs,
              R.Messages / R.Seconds, R.PeakKb / 1024.0, OurMbs / Mbs);
}

// AOurs reads each message from its text; AOursLines (when run) from a
// list of lines.
void Report(const char* ATitle, const TResult& AOurs, const TResult& AGMime,
            const TResult& APython, double AInputBytes, const TResult& AOursLines = {}) {
  std::printf("%s\n", ATitle);
  Line("ours", AOurs, AOurs);
  if (AOursLines.Ok) Line("(lines)", AOursLines, AOurs);
  Line("GMime", AGMime, AOurs);
  Line("Python", APython, AOurs);
  if (AInputBytes > 0 && AOurs.Ok)
    std::printf("  ours: peak memory %.2f times the message size\n",
                AOurs.PeakKb * 1024.0 / AInputBytes);
  if (AInputBytes > 0 && AOursLines.Ok)
    std::printf("  ours from lines: peak memory %.2f times the message size\n",
                AOursLines.PeakKb * 1024.0 / AInputBytes);
}

}  // namespace

int main(int argc, char** argv) {
  auto Wanted = [&](const char* ACase) {
    if (argc < 2) return true;
    for (int I = 1; I < argc; ++I)
      if (std::strcmp(argv[I], ACase) == 0) return true;
    return false;
  };
  if (Wanted("corpus")) {
  const std::string CorpusDir = "/tmp/qm_bench_corpus";
  const std::string ListFile = "/tmp/qm_bench_corpus.list";
  const std::string Collect = "python3 " QM_SOURCE_DIR "/tests/message/corpus_collect.py " +
                              CorpusDir + " > " + ListFile;
  if (system(Collect.c_str()) != 0) {
    std::fprintf(stderr, "cannot collect the corpus (scripts/packages/msg.txt)\n");
    return 1;
  }
  const std::vector<std::string> Corpus = ReadList(ListFile);
  const int Repeat = static_cast<int>((2000 + Corpus.size() - 1) / Corpus.size());
  std::printf("corpus: %zu messages, read %d times\n", Corpus.size(), Repeat);
  {
    const TResult Ours = InChild([&](TResult& R) { OursParse(Corpus, Repeat, false, R); });
    const TResult Lines = InChild([&](TResult& R) { OursParse(Corpus, Repeat, false, R, true); });
    const TResult GMime = InChild([&](TResult& R) { GMimeParse(Corpus, Repeat, false, R); });
    TResult Python = RunPython("parse " + ListFile + " " + std::to_string(Repeat) + " 1");
    Python.WarmSeconds = 0;
    Report("parse corpus (parse + decode every part)", Ours, GMime, Python, 0, Lines);
  }
  }

  if (Wanted("modern")) {
    // The same 2,000 messages with LF line ends (as stored in files) and
    // with CR LF (as they come off the wire), measured apart.
    for (const char* Eol : {"\n", "\r\n"}) {
      const std::string Form = Eol[0] == '\n' ? "lf" : "crlf";
      const std::string Dir = "/tmp/qm_bench_modern_" + Form;
      const std::string ListFile = Dir + ".list";
      (void)!system(("mkdir -p " + Dir).c_str());
      std::string List;
      double Total = 0;
      for (int I = 0; I < 2000; ++I) {
        const std::string Path = Dir + "/m" + std::to_string(I) + ".eml";
        const std::string Message = ModernMessage(I, Eol);
        Total += static_cast<double>(Message.size());
        SaveText(Path, Message);
        List += Path + "\n";
      }
      SaveText(ListFile, List);
      std::printf("modern corpus (%s): 2000 messages, %.1f MB\n", Form == "lf" ? "LF" : "CR LF", Total / 1e6);
      const std::vector<std::string> Files = ReadList(ListFile);
      TResult Ours, Lines, GMime, Python;
      for (int Round = 0; Round < kRounds; ++Round) {
        KeepBest(Ours, InChild([&](TResult& R) { OursParse(Files, 1, true, R); }));
        KeepBest(Lines, InChild([&](TResult& R) { OursParse(Files, 1, true, R, true); }));
        KeepBest(GMime, InChild([&](TResult& R) { GMimeParse(Files, 1, true, R); }));
        if (Round == 0) Python = RunPython("parse " + ListFile + " 1 2");
      }
      const std::string Title = "parse modern corpus, " + std::string(Form == "lf" ? "LF" : "CR LF") +
                                " (parse + decode every part)";
      Report(Title.c_str(), Ours, GMime, Python, 0, Lines);
    }
  }

  if (Wanted("mailbox")) {
    // 10,000 smaller modern messages (LF, as mail programs store them; one
    // attachment of up to 20 KB in two of three) in one mboxrd file and in
    // a maildir of as many files.
    const std::string MboxFile = "/tmp/qm_bench_mailbox.mbox";
    const std::string Maildir = "/tmp/qm_bench_maildir";
    (void)!system(("rm -rf " + Maildir + " && mkdir -p " + Maildir + "/cur " + Maildir + "/new " + Maildir +
                   "/tmp").c_str());
    std::string Mbox;
    for (int I = 0; I < kMailboxMessages; ++I) {
      const std::string Message = ModernMessage(I, "\n", I % 3 ? 1 : 0, 20000, true);
      char Name[64];
      std::snprintf(Name, sizeof Name, "/cur/%d.M%dP1.bench:2,S", 1700000000 + I, I);
      SaveText(Maildir + Name, Message);
      Mbox += "From sender" + std::to_string(I) + "@example.com Mon Dec  7 10:00:00 2026\n";
      for (size_t P = 0; P < Message.size();) {
        size_t E = Message.find('\n', P);
        E = E == std::string::npos ? Message.size() : E + 1;
        const size_t Quotes = Message.find_first_not_of('>', P);
        if (Quotes < E && Message.compare(Quotes, 5, "From ") == 0) Mbox += '>';
        Mbox.append(Message, P, E - P);
        P = E;
      }
      Mbox += '\n';
    }
    SaveText(MboxFile, Mbox);
    std::printf("mailbox: %d messages, %.1f MB\n", kMailboxMessages, static_cast<double>(Mbox.size()) / 1e6);
    Mbox = std::string();
    TResult Ours, GMime, OursDir, GMimeDir;
    for (int Round = 0; Round < kRounds; ++Round) {
      KeepBest(Ours, InChild([&](TResult& R) { OursMbox(MboxFile, R); }));
      KeepBest(GMime, InChild([&](TResult& R) { GMimeMbox(MboxFile, R); }));
      KeepBest(OursDir, InChild([&](TResult& R) { OursMaildir(Maildir, R); }));
      KeepBest(GMimeDir, InChild([&](TResult& R) { GMimeMaildir(Maildir, R); }));
    }
    Report("read an mbox of 10,000 messages (parse + decode every part)", Ours, GMime, TResult{}, 0);
    Report("read a maildir of 10,000 files (parse + decode every part)", OursDir, GMimeDir, TResult{}, 0);
  }

  if (Wanted("nested")) {
    for (const int Depth : {1, 10, 100}) {
      const std::string File = "/tmp/qm_bench_nested" + std::to_string(Depth) + ".eml";
      const std::string Message = NestedMessage(Depth, 8000000);
      SaveText(File, Message);
      const std::vector<std::string> Files{File};
      TResult Ours, Lines, GMime;
      for (int Round = 0; Round < kRounds; ++Round) {
        KeepBest(Ours, InChild([&](TResult& R) { OursParse(Files, 1, true, R); }));
        KeepBest(Lines, InChild([&](TResult& R) { OursParse(Files, 1, true, R, true); }));
        KeepBest(GMime, InChild([&](TResult& R) { GMimeParse(Files, 1, true, R); }));
      }
      const std::string Title = "parse " + std::to_string(Depth) + " nested levels around 8 MB (" +
                                std::to_string(Message.size() / 1000000) + " MB message)";
      Report(Title.c_str(), Ours, GMime, TResult{}, static_cast<double>(Message.size()), Lines);
    }
  }

  if (!Wanted("big") && !Wanted("compose")) return 0;
  // One message of about 50 MB: 7 attachments of 5.3 MB in base64.
  const size_t AttachmentSize = 5300000;
  const int Attachments = 7;
  const std::string BigFile = "/tmp/qm_bench_big.eml";
  const std::string BigList = "/tmp/qm_bench_big.list";
  {
    std::string Big;
    TResult Unused;
    OursCompose(AttachmentSize, Attachments, Unused, &Big);
    TStringStream S(Big);
    S.SaveToFile(BigFile);
    TStringStream L(BigFile + "\n");
    L.SaveToFile(BigList);
    std::printf("big message: %.1f MB\n", static_cast<double>(Big.size()) / 1e6);
  }
  const double BigSize = static_cast<double>(ReadFile(BigFile).size());
  if (Wanted("big")) {
    const std::vector<std::string> Files{BigFile};
    TResult Ours, Lines, GMime, Python;
    for (int Round = 0; Round < kRounds; ++Round) {
      KeepBest(Ours, InChild([&](TResult& R) { OursParse(Files, 1, true, R); }));
      KeepBest(Lines, InChild([&](TResult& R) { OursParse(Files, 1, true, R, true); }));
      KeepBest(GMime, InChild([&](TResult& R) { GMimeParse(Files, 1, true, R); }));
      KeepBest(Python, RunPython("parse " + BigList + " 1 4"));
    }
    Report("parse 50 MB message (parse + decode every part)", Ours, GMime, Python, BigSize, Lines);
  }
  if (Wanted("compose")) {
    TResult Ours, GMime, Python;
    for (int Round = 0; Round < kRounds; ++Round) {
      KeepBest(Ours, InChild([&](TResult& R) { OursCompose(AttachmentSize, Attachments, R); }));
      KeepBest(GMime, InChild([&](TResult& R) { GMimeCompose(AttachmentSize, Attachments, R); }));
      KeepBest(Python, RunPython("compose " + std::to_string(AttachmentSize) + " " +
                                 std::to_string(Attachments) + " 4"));
    }
    Report("compose and render 50 MB message", Ours, GMime, Python, Ours.Bytes);
  }
  return 0;
}
