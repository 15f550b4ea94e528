// What the sample's fields start with: the placeholders, replaced by
// environment variables, replaced in turn by command-line options.
//
//   option             environment variable      default
//   --pop3-server H    QM_SAMPLE_POP3_SERVER     pop.example.com
//   --pop3-port N      QM_SAMPLE_POP3_PORT       110
//   --pop3-security S  QM_SAMPLE_POP3_SECURITY   none
//   --smtp-server H    QM_SAMPLE_SMTP_SERVER     smtp.example.com
//   --smtp-port N      QM_SAMPLE_SMTP_PORT       25
//   --smtp-security S  QM_SAMPLE_SMTP_SECURITY   none
//   --user U           QM_SAMPLE_USER            user@example.com
//   --password P       QM_SAMPLE_PASSWORD        password
//   --ca-file F        QM_SAMPLE_CA_FILE         (empty: the system's CAs)
// S is none, automatic, implicit or explicit. For unattended runs:
//   --check-mail       runs Check Mail once the window is shown
//   --screenshot FILE  after Check Mail, writes a PNG of the screen (window
//                      and the completion box) and quits
#pragma once

#include <QString>
#include <QStringList>

#include "net/qmTcpClientTls.h"

namespace qm {

struct TqmSampleOptions {
  QString Pop3Server = QStringLiteral("pop.example.com");
  int Pop3Port = 110;
  TqmClientTlsMode Pop3Security = ctNone;
  QString SmtpServer = QStringLiteral("smtp.example.com");
  int SmtpPort = 25;
  TqmClientTlsMode SmtpSecurity = ctNone;
  QString User = QStringLiteral("user@example.com");
  QString Password = QStringLiteral("password");
  // The CA certificates (PEM) both clients trust; empty: the system's.
  QString CaFile;
  bool CheckMail = false;
  QString Screenshot;

  // Reads the environment, then AArguments (argv, program name first).
  // Throws Exception with a readable text for a bad value.
  void Load(const QStringList& AArguments);
};

// "none", "automatic", "implicit", "explicit" (any case) and back.
TqmClientTlsMode ParseSecurity(const QString& AText);
QString SecurityName(TqmClientTlsMode AMode);

}  // namespace qm
