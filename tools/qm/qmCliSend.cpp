#include "qm/qmCliSend.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

#include "mail/qmSmtp.h"
#include "message/qmMailMessage.h"
#include "message/qmMessageBodies.h"
#include "message/qmMimeTypes.h"

namespace qm::cli {

namespace {

struct TSendOptions {
  TConnectionOptions Connection;
  std::string From;
  std::vector<std::string> To, Cc, Bcc;
  std::string Subject;
  std::string TextFile, HtmlFile;
  std::vector<std::string> Attachments;
  std::string Eml;
  std::string CharSet = "utf-8";
  std::string HostName;
  bool SkipFailedRecipients = false;
};

// Every address given on the command line, before anything connects.
void CheckAddresses(const TSendOptions& AOptions) {
  if (!AOptions.From.empty()) CheckEmailAddress("--from", AOptions.From);
  for (const auto& [Option, List] : {std::pair{"--to", &AOptions.To}, {"--cc", &AOptions.Cc}, {"--bcc", &AOptions.Bcc}})
    for (const std::string& Address : *List) CheckEmailAddress(Option, Address);
}

// Attachments go with the media type their file name says, as other mail
// programs send them (the library's default is application/octet-stream).
void TypeAttachments(TqmMessageBodies& ABodies) {
  for (int I = 0; I < ABodies.Count(); ++I) {
    TqmMessageBody* Body = ABodies.Items(I);
    if (auto* Attachment = dynamic_cast<TqmAttachmentBody*>(Body))
      Attachment->SetContentType(ContentTypeForFileName(Attachment->FileName()));
    else if (auto* Multipart = dynamic_cast<TqmMultipartBody*>(Body))
      TypeAttachments(Multipart->Bodies());
  }
}

// The refusals of a send with --skip-failed-recipients: one line each on
// stderr; exit status 3 when the message went to the others, 1 when it
// went to nobody.
[[noreturn]] void ReportRefused(TqmSmtp& ASmtp, const std::string& AWhere, bool ASent) {
  const TqmFailedRecipientList& Refused = ASmtp.FailedRecipients();
  for (int I = 0; I < Refused.Count(); ++I)
    std::cerr << "qm send: refused by " << AWhere << ": " << Refused.Items(I).Email << ": "
              << OneLine(Refused.Items(I).ErrorText) << '\n';
  const std::string Count = std::to_string(Refused.Count());
  if (ASent) throw TFailure("sent, but " + Count + " recipient(s) refused (listed above)", kExitPartial);
  throw TFailure("not sent: every recipient was refused (listed above)");
}

void AddAddresses(TqmEmailAddressList& AList, const std::vector<std::string>& AAddresses) {
  for (const std::string& Address : AAddresses) AList.AddAddress(Address);
}

// The envelope of a ready message: the options where given, else its
// own From, To, Cc and Bcc.
void TakeEnvelope(const TSendOptions& AOptions, const TStrings& ALines, TqmSmtp& ASmtp) {
  TqmMailMessage Header;
  Header.ParseHeaderOnly(ALines);
  ASmtp.SetMailFrom(AOptions.From.empty() ? Header.From().Email() : AOptions.From);
  TStringList Recipients;
  for (const auto* List : {&AOptions.To, &AOptions.Cc, &AOptions.Bcc})
    for (const std::string& Address : *List) Recipients.Add(Address);
  if (Recipients.Count() == 0)
    for (const TqmEmailAddressList* List : {&Header.ToList(), &Header.CCList(), &Header.BCCList()})
      for (int I = 0; I < List->Count(); ++I) Recipients.Add(List->Items(I)->Email());
  if (ASmtp.MailFrom().empty())
    throw TUsageError("the message has no From address: give --from");
  if (Recipients.Count() == 0) throw TUsageError("the message names no recipient: give --to");
  CheckEmailAddress("the message's sender", ASmtp.MailFrom());
  for (int I = 0; I < Recipients.Count(); ++I) CheckEmailAddress("the message's recipient", Recipients.Get(I));
  ASmtp.SetMailToList(Recipients);
}

// A read-only stream over a descriptor of the tool's own (stdin when it is
// a file, or the spool of a piped message); the descriptor is closed with
// the stream.
class TDescriptorStream : public TStream {
 public:
  TDescriptorStream(int AFd, std::string AName) : FFd(AFd), FName(std::move(AName)) {}
  ~TDescriptorStream() override { close(FFd); }
  TDescriptorStream(const TDescriptorStream&) = delete;
  TDescriptorStream& operator=(const TDescriptorStream&) = delete;
  int64_t Read(void* ABuffer, int64_t ACount) override {
    for (;;) {
      const ssize_t N = read(FFd, ABuffer, static_cast<size_t>(ACount));
      if (N >= 0) return N;
      if (errno != EINTR) throw TFailure("reading " + FName + ": " + std::strerror(errno));
    }
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override {
    const int Whence = AOrigin == TSeekOrigin::soBeginning ? SEEK_SET
                       : AOrigin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                           : SEEK_END;
    const off_t At = lseek(FFd, AOffset, Whence);
    if (At < 0) throw TFailure("seeking in " + FName + ": " + std::strerror(errno));
    return At;
  }
  void SetSize(int64_t) override { throw TFailure(FName + " is read-only"); }

 private:
  int FFd;
  std::string FName;
};

// A message piped in is copied to a file that has no name (it goes with
// the descriptor), as the library reads the message twice: once for its
// size and 8-bit parts, once to send it. Memory stays bounded whatever the
// message's size; a full disk is a failure, never a shortened message.
std::unique_ptr<TStream> SpoolStdin() {
  const char* Env = std::getenv("TMPDIR");
  const std::string Dir = Env && *Env ? Env : "/tmp";
  int Fd = open(Dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (Fd < 0) {  // a file system without O_TMPFILE: a named file, unlinked at once
    std::string Name = Dir + "/qm-send-XXXXXX";
    Fd = mkostemp(Name.data(), O_CLOEXEC);
    if (Fd >= 0) unlink(Name.c_str());
  }
  if (Fd < 0) throw TFailure("cannot make a spool file for stdin in " + Dir + ": " + std::strerror(errno));
  auto Spool = std::make_unique<TDescriptorStream>(Fd, "the spool of stdin in " + Dir);
  std::vector<char> Block(1 << 16);
  for (;;) {
    const ssize_t N = read(STDIN_FILENO, Block.data(), Block.size());
    if (N == 0) break;
    if (N < 0) {
      if (errno == EINTR) continue;
      throw TFailure(std::string("reading the message from stdin: ") + std::strerror(errno));
    }
    for (ssize_t Done = 0; Done < N;) {
      const ssize_t W = write(Fd, Block.data() + Done, static_cast<size_t>(N - Done));
      if (W < 0 && errno == EINTR) continue;
      if (W <= 0)
        throw TFailure("spooling the message from stdin to " + Dir + ": " +
                       std::strerror(W < 0 ? errno : ENOSPC) + " (not sent; set TMPDIR to a roomier place)");
      Done += W;
    }
  }
  Spool->Seek(0, TSeekOrigin::soBeginning);
  return Spool;
}

// The ready message of --eml: a file or stdin that is a file is read where
// it is, a pipe goes through a spool file.
std::unique_ptr<TStream> OpenMessage(const std::string& APath) {
  if (APath != "-") return std::make_unique<TFileStream>(APath, fmOpenRead);
  struct stat Info {};
  if (fstat(STDIN_FILENO, &Info) == 0 && S_ISREG(Info.st_mode)) {
    const int Fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    if (Fd < 0) throw TFailure(std::string("reading the message from stdin: ") + std::strerror(errno));
    return std::make_unique<TDescriptorStream>(Fd, "stdin");
  }
  return SpoolStdin();
}

// The header lines of a message stream (up to its empty line), for its
// envelope; the stream goes back to where it was.
void ReadHeaderLines(TStream& AStream, TStringList& ALines) {
  const int64_t Start = AStream.Position();
  std::string Text(static_cast<size_t>(qmSmtpMaxStreamHeader), '\0');
  size_t Got = 0;
  for (int64_t N = 1; N > 0 && Got < Text.size(); Got += static_cast<size_t>(N))
    N = AStream.Read(Text.data() + Got, static_cast<int64_t>(Text.size() - Got));
  Text.resize(Got);
  AStream.Seek(Start, TSeekOrigin::soBeginning);
  for (size_t At = 0; At < Text.size();) {
    size_t End = Text.find('\n', At);
    if (End == std::string::npos) {
      if (Got == static_cast<size_t>(qmSmtpMaxStreamHeader)) break;  // a line cut by the limit
      End = Text.size();
    }
    std::string Line = Text.substr(At, End - At);
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    if (Line.empty()) break;
    ALines.Add(Line);
    At = End + 1;
  }
}

void RunSend(const TSendOptions& AOptions) {
  const bool Composed = AOptions.Eml.empty();
  if (Composed) {
    if (AOptions.From.empty()) throw TUsageError("--from is required (or --eml with a ready message)");
    if (AOptions.To.empty() && AOptions.Cc.empty() && AOptions.Bcc.empty())
      throw TUsageError("no recipient: give --to, --cc or --bcc");
    if (AOptions.TextFile == "-" && AOptions.HtmlFile == "-")
      throw TUsageError("--text and --html cannot both read stdin");
  }
  CheckAddresses(AOptions);

  TCliClient<TqmSmtp> Smtp;
  if (!AOptions.HostName.empty()) Smtp.SetHostName(AOptions.HostName);
  Smtp.SetSkipFailedRecipients(AOptions.SkipFailedRecipients);
  TqmMailMessage Message;
  std::unique_ptr<TStream> Stream;
  if (Composed) {
    const std::string Text = AOptions.TextFile.empty() ? std::string() : ReadInput(AOptions.TextFile);
    const std::string Html = AOptions.HtmlFile.empty() ? std::string() : ReadInput(AOptions.HtmlFile);
    Message.SetCharSet(AOptions.CharSet);
    Message.BuildMessage(Text, Html, AOptions.Attachments, {});
    TypeAttachments(Message.Bodies());
    // BuildMessage starts a new message: subject and addresses come after.
    Message.SetSubject(AOptions.Subject);
    Message.From().SetFullAddress(AOptions.From);
    AddAddresses(Message.ToList(), AOptions.To);
    AddAddresses(Message.CCList(), AOptions.Cc);
    AddAddresses(Message.BCCList(), AOptions.Bcc);
  } else {
    // The message is streamed: only its header is read here, for the envelope.
    Stream = OpenMessage(AOptions.Eml);
    if (Stream->Remaining() == 0) throw TUsageError("the message in " + AOptions.Eml + " is empty");
    TStringList Header;
    ReadHeaderLines(*Stream, Header);
    TakeEnvelope(AOptions, Header, Smtp);
  }

  TCliSession Session(Smtp, AOptions.Connection, 25, 465);
  Session.SetProgressLabel("sending");
  Session.Open();
  bool Refused = false, Sent = true;
  Session.Run("sending the message through", [&] {
    try {
      if (Composed)
        Smtp.Send(&Message);
      else
        Smtp.SendStream(*Stream);
    } catch (const EqmSmtpError& E) {
      if (E.ErrorCode() != qmSmtpFailedRecipientsCode) throw;
      // Raised after the data when the others got it; before DATA (and
      // with the transaction still open) when nobody would have.
      Refused = true;
      const size_t Total = Composed ? AOptions.To.size() + AOptions.Cc.size() + AOptions.Bcc.size()
                                    : static_cast<size_t>(Smtp.MailToList().Count());
      Sent = static_cast<size_t>(Smtp.FailedRecipients().Count()) < Total;
    }
  });
  Session.Close();
  if (Refused) ReportRefused(Smtp, Session.Where(), Sent);
  if (AOptions.Connection.Verbose) std::cerr << "sent through " << Session.Where() << '\n';
}

}  // namespace

TSubcommand AddSendCommand(CLI::App& AParent) {
  auto Options = std::make_shared<TSendOptions>();
  CLI::App* App = AParent.add_subcommand("send", "Send a message through an SMTP server");
  App->footer(
      "Examples:\n"
      "  qm send -s smtp.example.org -u me --from me@example.org --to you@example.org \\\n"
      "          --subject Hello --text body.txt --attach report.pdf\n"
      "  qm send -s smtp.example.org --security implicit -u me --eml message.eml\n"
      "  make-report | qm send -s smtp.example.org -u me --eml -\n"
      "The password comes from --password-file, --password-env, QM_PASSWORD or a prompt.\n");
  AddConnectionOptions(*App, Options->Connection, 25, 465);
  App->add_option("-f,--from", Options->From, "Sender address (for --eml: the envelope sender)");
  App->add_option("-t,--to", Options->To, "Recipient (repeatable)");
  App->add_option("--cc", Options->Cc, "Copy recipient (repeatable)");
  App->add_option("--bcc", Options->Bcc, "Blind copy recipient (repeatable; not shown in the message)");
  auto* Eml = App->add_option("--eml", Options->Eml, "Send this ready message, read in blocks (a file, or - for stdin; "
                                          "piped in, it is first copied to a file in $TMPDIR or /tmp)")
                  ->check(FileOrStdin());
  auto* Subject = App->add_option("--subject", Options->Subject, "Subject");
  auto* Text = App->add_option("--text", Options->TextFile, "Plain text body from a file, or - for stdin")
                  ->check(FileOrStdin());
  auto* Html = App->add_option("--html", Options->HtmlFile, "HTML body from a file, or - for stdin")
                  ->check(FileOrStdin());
  auto* Attach = App->add_option("-a,--attach", Options->Attachments, "Attach a file (repeatable)")
                     ->check(CLI::ExistingFile);
  auto* CharSet = App->add_option("--charset", Options->CharSet, "Charset of the text and HTML files")
                      ->capture_default_str();
  App->add_option("--helo", Options->HostName, "Name to introduce the client with (default: this host's)");
  App->add_flag("--skip-failed-recipients", Options->SkipFailedRecipients,
                "Send to the recipients the server accepts; list the refused ones and exit with status 3");
  for (auto* Composing : {Subject, Text, Html, Attach, CharSet}) Eml->excludes(Composing);
  return {App, [Options] { RunSend(*Options); }};
}

}  // namespace qm::cli
