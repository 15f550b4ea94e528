#include "sample/qmSampleOptions.h"

#include <QCommandLineParser>
#include <QProcessEnvironment>

#include "core/qmException.h"

namespace qm {

namespace {

int ParsePort(const QString& AText, const QString& AWhat) {
  bool Ok = false;
  int Port = AText.trimmed().toInt(&Ok);
  if (!Ok || Port < 1 || Port > 65535)
    throw Exception((AWhat + ": \"" + AText + "\" is not a port number (1-65535)").toStdString());
  return Port;
}

}  // namespace

TqmClientTlsMode ParseSecurity(const QString& AText) {
  const QString T = AText.trimmed().toLower();
  if (T == "none") return ctNone;
  if (T == "automatic") return ctAutomatic;
  if (T == "implicit") return ctImplicit;
  if (T == "explicit") return ctExplicit;
  throw Exception(("\"" + AText + "\" is not a connection security (none, automatic, implicit, explicit)")
                      .toStdString());
}

QString SecurityName(TqmClientTlsMode AMode) {
  switch (AMode) {
    case ctAutomatic:
      return QStringLiteral("automatic");
    case ctImplicit:
      return QStringLiteral("implicit");
    case ctExplicit:
      return QStringLiteral("explicit");
    case ctNone:
      break;
  }
  return QStringLiteral("none");
}

void TqmSampleOptions::Load(const QStringList& AArguments) {
  const auto Env = QProcessEnvironment::systemEnvironment();
  auto FromEnv = [&](const char* AName, QString& AValue) {
    if (Env.contains(AName)) AValue = Env.value(AName);
  };
  QString Pop3PortText, SmtpPortText, Pop3Sec, SmtpSec;
  FromEnv("QM_SAMPLE_POP3_SERVER", Pop3Server);
  FromEnv("QM_SAMPLE_POP3_PORT", Pop3PortText);
  FromEnv("QM_SAMPLE_POP3_SECURITY", Pop3Sec);
  FromEnv("QM_SAMPLE_SMTP_SERVER", SmtpServer);
  FromEnv("QM_SAMPLE_SMTP_PORT", SmtpPortText);
  FromEnv("QM_SAMPLE_SMTP_SECURITY", SmtpSec);
  FromEnv("QM_SAMPLE_USER", User);
  FromEnv("QM_SAMPLE_PASSWORD", Password);
  FromEnv("QM_SAMPLE_CA_FILE", CaFile);

  QCommandLineParser Parser;
  Parser.setApplicationDescription(
      "The Quillmark sample mail client.\n\n"
      "The environment variables QM_SAMPLE_POP3_SERVER, QM_SAMPLE_POP3_PORT, QM_SAMPLE_POP3_SECURITY,\n"
      "QM_SAMPLE_SMTP_SERVER, QM_SAMPLE_SMTP_PORT, QM_SAMPLE_SMTP_SECURITY, QM_SAMPLE_USER,\n"
      "QM_SAMPLE_PASSWORD and QM_SAMPLE_CA_FILE fill the same fields; the options below win over them.");
  Parser.addHelpOption();
  Parser.addVersionOption();
  const QCommandLineOption Pop3ServerOpt("pop3-server", "POP3 server host.", "host");
  const QCommandLineOption Pop3PortOpt("pop3-port", "POP3 port (110).", "port");
  const QCommandLineOption Pop3SecOpt("pop3-security", "none, automatic, implicit or explicit.", "mode");
  const QCommandLineOption SmtpServerOpt("smtp-server", "SMTP server host.", "host");
  const QCommandLineOption SmtpPortOpt("smtp-port", "SMTP port (25).", "port");
  const QCommandLineOption SmtpSecOpt("smtp-security", "none, automatic, implicit or explicit.", "mode");
  const QCommandLineOption UserOpt("user", "User name.", "user");
  const QCommandLineOption PasswordOpt("password", "Password.", "password");
  const QCommandLineOption CaFileOpt("ca-file", "CA certificates (PEM) to trust instead of the system's.",
                                     "file");
  const QCommandLineOption CheckOpt("check-mail", "Run Check Mail once the window is shown.");
  const QCommandLineOption ShotOpt("screenshot", "After Check Mail, write a PNG of the screen and quit.",
                                   "file");
  Parser.addOptions({Pop3ServerOpt, Pop3PortOpt, Pop3SecOpt, SmtpServerOpt, SmtpPortOpt, SmtpSecOpt,
                     UserOpt, PasswordOpt, CaFileOpt, CheckOpt, ShotOpt});
  Parser.process(AArguments);

  auto FromOpt = [&](const QCommandLineOption& AOpt, QString& AValue) {
    if (Parser.isSet(AOpt)) AValue = Parser.value(AOpt);
  };
  FromOpt(Pop3ServerOpt, Pop3Server);
  FromOpt(Pop3PortOpt, Pop3PortText);
  FromOpt(Pop3SecOpt, Pop3Sec);
  FromOpt(SmtpServerOpt, SmtpServer);
  FromOpt(SmtpPortOpt, SmtpPortText);
  FromOpt(SmtpSecOpt, SmtpSec);
  FromOpt(UserOpt, User);
  FromOpt(PasswordOpt, Password);
  FromOpt(CaFileOpt, CaFile);
  FromOpt(ShotOpt, Screenshot);
  CheckMail = Parser.isSet(CheckOpt) || !Screenshot.isEmpty();

  if (!Pop3PortText.isEmpty()) Pop3Port = ParsePort(Pop3PortText, "POP3 port");
  if (!SmtpPortText.isEmpty()) SmtpPort = ParsePort(SmtpPortText, "SMTP port");
  if (!Pop3Sec.isEmpty()) Pop3Security = ParseSecurity(Pop3Sec);
  if (!SmtpSec.isEmpty()) SmtpSecurity = ParseSecurity(SmtpSec);
}

}  // namespace qm
