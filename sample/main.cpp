#include "sample/main.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "core/qmMessageQueue.h"
#include "mail/qmPop3.h"
#include "mail/qmSmtp.h"
#include "message/qmEmailAddress.h"
#include "message/qmMailMessage.h"
#include "sample/msgfrm.h"
#include "sample/qmMessageListDelegate.h"

namespace qm {

namespace {

// ABody, then ACleanup whether ABody succeeded or not. When ABody failed,
// its exception is the one that leaves (a failing clean-up does not hide
// it); otherwise a failing clean-up reports its own.
template <class TBody, class TCleanup>
void TryFinally(TBody&& ABody, TCleanup&& ACleanup) {
  try {
    ABody();
  } catch (...) {
    try {
      ACleanup();
    } catch (...) {
    }
    throw;
  }
  ACleanup();
}

// Sets a flag for the lifetime of a scope.
class TBusyScope {
 public:
  explicit TBusyScope(bool& AFlag) : FFlag(AFlag) { FFlag = true; }
  ~TBusyScope() { FFlag = false; }
  TBusyScope(const TBusyScope&) = delete;
  TBusyScope& operator=(const TBusyScope&) = delete;

 private:
  bool& FFlag;
};

QLabel* FieldLabel(const QString& AText, QWidget* ABuddy, QWidget* AParent) {
  auto* Label = new QLabel(AText, AParent);
  Label->setBuddy(ABuddy);
  return Label;
}

QComboBox* SecurityBox(const QString& AName, QWidget* AParent) {
  auto* Box = new QComboBox(AParent);
  Box->setObjectName(AName);
  Box->addItem("None", int(ctNone));
  Box->addItem("Automatic", int(ctAutomatic));
  Box->addItem("Implicit TLS", int(ctImplicit));
  Box->addItem("Explicit TLS", int(ctExplicit));
  return Box;
}

QSpinBox* PortBox(const QString& AName, int ADefault, QWidget* AParent) {
  auto* Box = new QSpinBox(AParent);
  Box->setObjectName(AName);
  Box->setRange(1, 65535);
  Box->setValue(ADefault);
  return Box;
}

void SelectSecurity(QComboBox* ABox, TqmClientTlsMode AMode) {
  ABox->setCurrentIndex(ABox->findData(int(AMode)));
}

TqmClientTlsMode SelectedSecurity(QComboBox* ABox) {
  return static_cast<TqmClientTlsMode>(ABox->currentData().toInt());
}

std::string Std(const QString& AText) { return AText.toStdString(); }

// A message date (days since 30 December 1899, local time; 0: none).
QDateTime LocalDateTime(double ADate) {
  if (ADate == 0) return {};
  const QDateTime Epoch(QDate(1899, 12, 30), QTime(0, 0));
  return Epoch.addMSecs(static_cast<qint64>(ADate * 86400000.0 + (ADate < 0 ? -0.5 : 0.5)));
}

// The text lines of a message joined as one text.
QString JoinLines(const TStrings& ALines) {
  QStringList Lines;
  for (int I = 0; I < ALines.Count(); ++I) Lines << QString::fromStdString(ALines[I]);
  return Lines.join('\n');
}

bool HasHtmlText(const TqmMessageBodies& ABodies) {
  for (int I = 0; I < ABodies.Count(); ++I) {
    TqmMessageBody* Body = ABodies.Items(I);
    if (auto* Text = dynamic_cast<TqmTextBody*>(Body)) {
      if (SameText(Text->ContentType(), "text/html")) return true;
    } else if (auto* Multi = dynamic_cast<TqmMultipartBody*>(Body)) {
      if (HasHtmlText(Multi->Bodies())) return true;
    }
  }
  return false;
}

}  // namespace

TForm1::TForm1(QWidget* AParent) : TqmDemoBaseForm(AParent) {
  setObjectName("Form1");
  setWindowTitle("SMTP / POP3 client - Sample");

  qmPOP31 = std::make_unique<TqmPop3>();
  qmPOP31->SetName("qmPOP31");
  qmPOP31->OnProgress = [this](TObject*, int64_t ABytes, int64_t ATotal) { Pop3Progress(ABytes, ATotal); };
  qmSMTP1 = std::make_unique<TqmSmtp>();
  qmSMTP1->SetName("qmSMTP1");
  qmSMTP1->SetMailAgent("Quillmark Internet Suite");
  qmMailMessage1 = std::make_unique<TqmMailMessage>();
  qmMailMessage1->SetName("qmMailMessage1");
  qmMailMessage1->SetCharSet("iso-8859-1");
  qmMailMessage1->SetContentType("text/plain");

  QWidget* Main = pnlMain;
  edtPop3Server = new QLineEdit("pop.example.com", Main);
  edtPop3Server->setObjectName("edtPop3Server");
  edtSmtpServer = new QLineEdit("smtp.example.com", Main);
  edtSmtpServer->setObjectName("edtSmtpServer");
  edtUser = new QLineEdit("user@example.com", Main);
  edtUser->setObjectName("edtUser");
  edtPassword = new QLineEdit("password", Main);
  edtPassword->setObjectName("edtPassword");
  edtPassword->setEchoMode(QLineEdit::Password);
  lblPop3Server = FieldLabel("POP server", edtPop3Server, Main);
  lblSmtpServer = FieldLabel("SMTP server", edtSmtpServer, Main);
  lblUser = FieldLabel("User", edtUser, Main);
  lblPassword = FieldLabel("Password", edtPassword, Main);

  btnComposeMail = new QPushButton("Compose Mail", Main);
  btnComposeMail->setObjectName("btnComposeMail");
  btnCheckMail = new QPushButton("Check Mail", Main);
  btnCheckMail->setObjectName("btnCheckMail");
  lbMessages = new QListWidget(Main);
  lbMessages->setObjectName("lbMessages");
  lbMessages->setItemDelegate(new TqmMessageListDelegate(lbMessages));
  lbMessages->setAlternatingRowColors(true);
  lblMessages = FieldLabel("Messages. Double click to view", lbMessages, Main);

  edtPop3Port = PortBox("edtPop3Port", 110, Main);
  cbPop3Security = SecurityBox("cbPop3Security", Main);
  edtSmtpPort = PortBox("edtSmtpPort", 25, Main);
  cbSmtpSecurity = SecurityBox("cbSmtpSecurity", Main);
  edtCaFile = new QLineEdit(Main);
  edtCaFile->setObjectName("edtCaFile");
  edtCaFile->setPlaceholderText("System trust store");
  pbProgress = new QProgressBar(Main);
  pbProgress->setObjectName("pbProgress");
  pbProgress->setRange(0, 1000);
  pbProgress->setFormat("Retrieving the message... %p%");
  pbProgress->setVisible(false);

  auto* Grid = new QGridLayout(Main);
  Grid->setContentsMargins(12, 10, 12, 10);
  Grid->setHorizontalSpacing(12);
  Grid->setVerticalSpacing(3);
  Grid->addWidget(lblPop3Server, 0, 0);
  Grid->addWidget(lblSmtpServer, 0, 1);
  Grid->addWidget(edtPop3Server, 1, 0);
  Grid->addWidget(edtSmtpServer, 1, 1);
  Grid->addWidget(lblUser, 2, 0);
  Grid->addWidget(lblPassword, 2, 1);
  Grid->addWidget(edtUser, 3, 0);
  Grid->addWidget(edtPassword, 3, 1);
  auto* Buttons = new QHBoxLayout;
  Buttons->setContentsMargins(0, 8, 0, 8);
  Buttons->setSpacing(8);
  btnCheckMail->setMinimumWidth(110);
  btnComposeMail->setMinimumWidth(110);
  Buttons->addWidget(btnCheckMail);
  Buttons->addWidget(btnComposeMail);
  Buttons->addStretch(1);
  Grid->addLayout(Buttons, 4, 0, 1, 2);
  Grid->addWidget(lblMessages, 5, 0, 1, 2);
  Grid->addWidget(lbMessages, 6, 0, 1, 2);
  Grid->setRowStretch(6, 1);

  auto* Connection = new QGridLayout;
  Connection->setContentsMargins(0, 8, 0, 0);
  Connection->setHorizontalSpacing(10);
  Connection->setColumnMinimumWidth(1, 80);
  Connection->addWidget(FieldLabel("POP port", edtPop3Port, Main), 0, 0);
  Connection->addWidget(edtPop3Port, 0, 1);
  Connection->addWidget(FieldLabel("POP security", cbPop3Security, Main), 0, 2);
  Connection->addWidget(cbPop3Security, 0, 3);
  Connection->addWidget(FieldLabel("SMTP port", edtSmtpPort, Main), 1, 0);
  Connection->addWidget(edtSmtpPort, 1, 1);
  Connection->addWidget(FieldLabel("SMTP security", cbSmtpSecurity, Main), 1, 2);
  Connection->addWidget(cbSmtpSecurity, 1, 3);
  Connection->addWidget(FieldLabel("CA file", edtCaFile, Main), 2, 0);
  Connection->addWidget(edtCaFile, 2, 1, 1, 3);
  Connection->setColumnStretch(3, 1);
  Grid->addLayout(Connection, 7, 0, 1, 2);
  Grid->addWidget(pbProgress, 8, 0, 1, 2);

  setTabOrder(edtPop3Server, edtSmtpServer);
  setTabOrder(edtSmtpServer, edtUser);
  setTabOrder(edtUser, edtPassword);
  setTabOrder(edtPassword, btnComposeMail);
  setTabOrder(btnComposeMail, btnCheckMail);
  setTabOrder(btnCheckMail, lbMessages);
  setTabOrder(lbMessages, edtPop3Port);
  setTabOrder(edtPop3Port, cbPop3Security);
  setTabOrder(cbPop3Security, edtSmtpPort);
  setTabOrder(edtSmtpPort, cbSmtpSecurity);
  setTabOrder(cbSmtpSecurity, edtCaFile);

  connect(btnCheckMail, &QPushButton::clicked, this, &TForm1::btnCheckMailClick);
  connect(btnComposeMail, &QPushButton::clicked, this, &TForm1::btnComposeMailClick);
  connect(lbMessages, &QListWidget::itemDoubleClicked, this, &TForm1::lbMessagesDblClick);

  resize(520, 560);
}

TForm1::~TForm1() = default;

void TForm1::ApplyOptions(const TqmSampleOptions& AOptions) {
  edtPop3Server->setText(AOptions.Pop3Server);
  edtSmtpServer->setText(AOptions.SmtpServer);
  edtUser->setText(AOptions.User);
  edtPassword->setText(AOptions.Password);
  edtPop3Port->setValue(AOptions.Pop3Port);
  edtSmtpPort->setValue(AOptions.SmtpPort);
  SelectSecurity(cbPop3Security, AOptions.Pop3Security);
  SelectSecurity(cbSmtpSecurity, AOptions.SmtpSecurity);
  edtCaFile->setText(AOptions.CaFile);
}

void TForm1::ApplyPop3Settings() {
  qmPOP31->SetServer(Std(edtPop3Server->text()));
  qmPOP31->SetUserName(Std(edtUser->text()));
  qmPOP31->SetPassword(Std(edtPassword->text()));
  qmPOP31->SetPort(edtPop3Port->value());
  qmPOP31->SetUseTLS(SelectedSecurity(cbPop3Security));
  qmPOP31->SetCaFile(Std(edtCaFile->text()));
}

void TForm1::ApplySmtpSettings() {
  qmSMTP1->SetServer(Std(edtSmtpServer->text()));
  qmSMTP1->SetUserName(Std(edtUser->text()));
  qmSMTP1->SetPassword(Std(edtPassword->text()));
  qmSMTP1->SetPort(edtSmtpPort->value());
  qmSMTP1->SetUseTLS(SelectedSecurity(cbSmtpSecurity));
  qmSMTP1->SetCaFile(Std(edtCaFile->text()));
}

void TForm1::ShowInfo(const QString& AText) {
  QMessageBox Box(QMessageBox::Information, windowTitle(), AText, QMessageBox::Ok, this);
  Box.setObjectName("qmInfoBox");
  Box.exec();
}

void TForm1::Pop3Progress(int64_t ABytesProceed, int64_t ATotalBytes) {
  if (!pbProgress->isVisible() || ATotalBytes <= 0) return;
  pbProgress->setValue(static_cast<int>(std::min<int64_t>(ABytesProceed, ATotalBytes) * 1000 / ATotalBytes));
  KeepWindowsResponsive();
}

void TForm1::KeepWindowsResponsive() {
  // The library's waits dispatch window events only when the socket is not
  // ready yet; a fast server keeps it ready, so a long listing or download
  // would not repaint. Only window events here: library timers (the
  // keep-alive) must not run in the middle of a reply.
  TqmGuiPump* Pump = TqmMessageQueue::Current().GuiPump();
  if (Pump && Pump->HasPending()) Pump->Dispatch();
}

void TForm1::btnCheckMailClick() {
  if (FBusy || qmPOP31->Active()) return;
  TBusyScope Busy(FBusy);
  ApplyPop3Settings();
  qmPOP31->Open();
  int Count = 0;
  TryFinally(
      [&] {
        lbMessages->clear();
        Count = qmPOP31->MessageCount();
        for (int I = 1; I <= Count; ++I) {
          qmPOP31->RetrieveHeader(I, qmMailMessage1.get());
          const QString Subject = QString::fromStdString(qmMailMessage1->Subject());
          const QString Sender = QString::fromStdString(qmMailMessage1->From().FullAddress());
          auto* Item = new QListWidgetItem(Subject.isEmpty() ? Sender : Subject);
          Item->setData(TqmMessageListDelegate::rlSender, Sender);
          Item->setData(TqmMessageListDelegate::rlSubject, Subject);
          Item->setData(TqmMessageListDelegate::rlDate, LocalDateTime(qmMailMessage1->Date()));
          Item->setData(TqmMessageListDelegate::rlSize, static_cast<qlonglong>(qmPOP31->GetMessageSize(I)));
          lbMessages->addItem(Item);
          KeepWindowsResponsive();
        }
      },
      [&] { qmPOP31->Close(); });
  ShowInfo(QString::asprintf("Collecting completed, %d messages in the mailbox", Count));
}

void TForm1::lbMessagesDblClick() {
  QListWidgetItem* Item = lbMessages->currentItem();
  if (FBusy || qmPOP31->Active() || !Item || !Item->isSelected()) return;
  const int Index = lbMessages->row(Item);
  TBusyScope Busy(FBusy);
  ApplyPop3Settings();
  qmPOP31->Open();
  auto Form = std::make_unique<TMessageForm>(this);
  TryFinally(
      [&] {
        pbProgress->setValue(0);
        pbProgress->setVisible(true);
        TryFinally([&] { qmPOP31->Retrieve(Index + 1, qmMailMessage1.get()); },
                   [&] { pbProgress->setVisible(false); });
        Form->edtFrom->setText(QString::fromStdString(qmMailMessage1->From().FullAddress()));
        Form->edtTo->setText(QString::fromStdString(qmMailMessage1->ToList().GetText()));
        Form->edtSubject->setText(QString::fromStdString(qmMailMessage1->Subject()));
        Form->SetBodyText(JoinLines(qmMailMessage1->GetMessageText()), HasHtmlText(qmMailMessage1->Bodies()));
        Form->SetViewOnly();
        Form->exec();
      },
      [&] {
        Form.reset();
        qmPOP31->Close();
      });
}

void TForm1::btnComposeMailClick() {
  if (FBusy || qmSMTP1->Active()) return;
  TBusyScope Busy(FBusy);
  auto Form = std::make_unique<TMessageForm>(this);
  Form->edtFrom->setText(edtUser->text());
  if (Form->exec() != QDialog::Accepted) return;

  const QString Body = Form->BodyText();
  qmMailMessage1->BuildMessage(Std(Body), "");
  qmMailMessage1->From().SetFullAddress(Std(Form->edtFrom->text()));
  qmMailMessage1->ToList().SetText(Std(Form->edtTo->text()));
  qmMailMessage1->SetSubject(Std(Form->edtSubject->text()));

  ApplySmtpSettings();
  qmSMTP1->Open();
  TryFinally([&] { qmSMTP1->Send(qmMailMessage1.get()); }, [&] { qmSMTP1->Close(); });
  ShowInfo("The message was sent successfully");
}

void TForm1::closeEvent(QCloseEvent* AEvent) {
  // The running workflow's stack still uses this window; it ends by itself
  // (done or timed out) and the window can be closed then.
  if (FBusy) {
    AEvent->ignore();
    return;
  }
  TqmDemoBaseForm::closeEvent(AEvent);
}

}  // namespace qm
