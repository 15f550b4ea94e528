#include "qm/qmCliSend.h"

#include <fstream>
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

// The header lines of a message file (up to its empty line), for its
// envelope; the rest is not read.
void ReadHeaderLines(const std::string& AFileName, TStringList& ALines) {
  std::ifstream In(AFileName, std::ios::binary);
  size_t Total = 0;
  for (std::string Line; static_cast<int64_t>(Total) < qmSmtpMaxStreamHeader && std::getline(In, Line);
       Total += Line.size()) {
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    if (Line.empty()) break;
    ALines.Add(Line);
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
  std::unique_ptr<TFileStream> Stream;
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
  } else if (AOptions.Eml != "-") {
    // A file is streamed: only its header is read here, for the envelope.
    Stream = std::make_unique<TFileStream>(AOptions.Eml, fmOpenRead);
    if (Stream->Size() == 0) throw TUsageError("the message in " + AOptions.Eml + " is empty");
    TStringList Header;
    ReadHeaderLines(AOptions.Eml, Header);
    TakeEnvelope(AOptions, Header, Smtp);
  } else {
    TStringList Lines;
    Lines.SetText(ReadInput(AOptions.Eml));
    if (Lines.Count() == 0) throw TUsageError("the message in " + AOptions.Eml + " is empty");
    TakeEnvelope(AOptions, Lines, Smtp);
    Smtp.SetMailData(Lines);
  }

  TCliSession Session(Smtp, AOptions.Connection, 25, 465);
  Session.SetProgressLabel("sending");
  Session.Open();
  bool Refused = false, Sent = true;
  Session.Run("sending the message through", [&] {
    try {
      if (Composed)
        Smtp.Send(&Message);
      else if (Stream)
        Smtp.SendStream(*Stream);
      else
        Smtp.Send();
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
      "The password comes from --password-file, --password-env, QM_PASSWORD or a prompt.\n");
  AddConnectionOptions(*App, Options->Connection, 25, 465);
  App->add_option("-f,--from", Options->From, "Sender address (for --eml: the envelope sender)");
  App->add_option("-t,--to", Options->To, "Recipient (repeatable)");
  App->add_option("--cc", Options->Cc, "Copy recipient (repeatable)");
  App->add_option("--bcc", Options->Bcc, "Blind copy recipient (repeatable; not shown in the message)");
  auto* Eml = App->add_option("--eml", Options->Eml, "Send this ready message (a file, or - for stdin)")
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
