// Parsing and composing mail messages: this library against GMime 3 (a small
// C harness below) and Python's email package, on the same inputs in one run.
//   - a corpus of real messages (the test corpus, repeated to 2,000
//     messages): parse each and decode every part;
//   - one generated message of about 50 MB with base64 attachments: parse
//     and decode every part;
//   - composing and rendering a message of about 50 MB.
// Each measurement runs in a child process, so that its peak memory (above
// the child's start) is its own; the 50 MB ones are repeated in three
// children per library and the best kept. They are timed twice: "cold" is
// the first run in a fresh process, which also pays for every page of memory
// it touches for the first time (costly on this VM, about 2 GB/s), "warm" is
// the best of three further runs in the same process, as in an application
// that handles one message after another. Prints MB/s, messages/s, peak
// memory and the ratios to the peers.
#include <gmime/gmime.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/qmStream.h"
#include "core/qmStrings.h"
#include "message/qmMailMessage.h"

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

std::string ReadFile(const std::string& APath) {
  TMemoryStream S;
  S.LoadFromFile(APath);
  return S.DataString();
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
    const long Start = MaxRssKb();
    TResult R;
    AWork(R);
    R.PeakKb = static_cast<double>(MaxRssKb() - Start);
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

void OursParse(const std::vector<std::string>& AFiles, int ARepeat, bool AColdAndWarm, TResult& R) {
  std::vector<std::string> Datas;
  for (const auto& F : AFiles) Datas.push_back(ReadFile(F));
  TqmMailMessage M;
  M.OnSaveAttachment = [](TObject*, TqmAttachmentBody*, std::string&,
                          std::unique_ptr<TStream>& AData, bool& Handled) {
    AData = std::make_unique<TMemoryStream>();
    Handled = true;
  };
  const auto Run = [&] {
    R.Bytes = R.Messages = 0;
    const double T = Now();
    for (int I = 0; I < ARepeat; ++I) {
      for (const std::string& D : Datas) {
        TStringList Lines;
        Lines.SetText(D);
        M.ParseMessage(Lines);
        R.Bytes += static_cast<double>(D.size());
        R.Messages += 1;
      }
    }
    return Now() - T;
  };
  if (AColdAndWarm) ColdAndWarm(R, Run);
  else R.Seconds = Run();
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
    std::printf("  %-8s failed\n", AName);
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

void Report(const char* ATitle, const TResult& AOurs, const TResult& AGMime,
            const TResult& APython, double AInputBytes) {
  std::printf("%s\n", ATitle);
  Line("ours", AOurs, AOurs);
  Line("GMime", AGMime, AOurs);
  Line("Python", APython, AOurs);
  if (AInputBytes > 0 && AOurs.Ok)
    std::printf("  ours: peak memory %.2f times the message size\n",
                AOurs.PeakKb * 1024.0 / AInputBytes);
}

}  // namespace

int main() {
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
    const TResult GMime = InChild([&](TResult& R) { GMimeParse(Corpus, Repeat, false, R); });
    TResult Python = RunPython("parse " + ListFile + " " + std::to_string(Repeat) + " 1");
    Python.WarmSeconds = 0;
    Report("parse corpus (parse + decode every part)", Ours, GMime, Python, 0);
  }

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
  {
    const std::vector<std::string> Files{BigFile};
    TResult Ours, GMime, Python;
    for (int Round = 0; Round < kRounds; ++Round) {
      KeepBest(Ours, InChild([&](TResult& R) { OursParse(Files, 1, true, R); }));
      KeepBest(GMime, InChild([&](TResult& R) { GMimeParse(Files, 1, true, R); }));
      KeepBest(Python, RunPython("parse " + BigList + " 1 4"));
    }
    Report("parse 50 MB message (parse + decode every part)", Ours, GMime, Python, BigSize);
  }
  {
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
