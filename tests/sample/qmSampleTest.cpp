// The sample's windows driven as a user would, on the offscreen platform,
// against dovecot and postfix started by tests/servers/. Widgets are found
// by their object names; modal windows (the message window, message boxes)
// are handled by a driver that answers each one as it comes up.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>

#include <gtest/gtest.h>

#include "mail/qmPop3.h"
#include "mail/qmSmtp.h"
#include "message/qmMailMessage.h"
#include "sample/main.h"
#include "sample/msgfrm.h"
#include "sample/qmMessageListDelegate.h"
#include "sample/qmSampleApplication.h"
#include "tests/integration/qmTestServers.h"

// Readable QStrings in GoogleTest's failure messages.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& AText, std::ostream* AOut) { *AOut << '"' << AText.toStdString() << '"'; }
QT_END_NAMESPACE

namespace qm::test {
namespace {

namespace fs = std::filesystem;

// Answers modal windows one after another: each handler gets the next
// modal window that is shown. A modal window with no handler left is
// recorded and closed, so a test never hangs on an unexpected box.
class ModalDriver : public QObject {
 public:
  using Handler = std::function<void(QWidget*)>;
  struct Seen {
    QString ObjectName;
    QString Text;  // a message box's text
  };

  ModalDriver() { qApp->installEventFilter(this); }
  ~ModalDriver() override { qApp->removeEventFilter(this); }

  void Then(Handler AHandler) { FHandlers.push_back(std::move(AHandler)); }
  // Presses OK on the next message box.
  void ThenOk() {
    Then([](QWidget* AWidget) {
      auto* Box = qobject_cast<QMessageBox*>(AWidget);
      ASSERT_NE(Box, nullptr) << "expected a message box, got " << AWidget->metaObject()->className();
      Box->button(QMessageBox::Ok)->click();
    });
  }

  const std::vector<Seen>& SeenWindows() const { return FSeen; }
  int Unexpected() const { return FUnexpected; }
  bool AllHandled() const { return FHandlers.empty(); }

 protected:
  bool eventFilter(QObject* AObject, QEvent* AEvent) override {
    auto* Widget = qobject_cast<QWidget*>(AObject);
    if (AEvent->type() == QEvent::Show && Widget && Widget->isWindow() && Widget->isModal()) {
      // Answered once its own event loop runs.
      QPointer<QWidget> Modal(Widget);
      QTimer::singleShot(10, this, [this, Modal] {
        if (Modal && Modal->isVisible()) Answer(Modal);
      });
    }
    return false;
  }

 private:
  void Answer(QWidget* AModal) {
    auto* Box = qobject_cast<QMessageBox*>(AModal);
    FSeen.push_back({AModal->objectName(), Box ? Box->text() : QString()});
    if (FHandlers.empty()) {
      ++FUnexpected;
      if (auto* Dialog = qobject_cast<QDialog*>(AModal)) Dialog->reject();
      return;
    }
    Handler Next = std::move(FHandlers.front());
    FHandlers.pop_front();
    Next(AModal);
  }

  std::deque<Handler> FHandlers;
  std::vector<Seen> FSeen;
  int FUnexpected = 0;
};

// A loopback listener that only counts who connects: the address given to
// a workflow that must not connect anywhere.
class ConnectionCounter {
 public:
  ConnectionCounter() {
    FFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in Addr{};
    Addr.sin_family = AF_INET;
    Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Len = sizeof Addr;
    if (FFd < 0 || bind(FFd, reinterpret_cast<sockaddr*>(&Addr), Len) != 0 || listen(FFd, 8) != 0 ||
        getsockname(FFd, reinterpret_cast<sockaddr*>(&Addr), &Len) != 0)
      throw std::runtime_error("cannot listen on loopback");
    FPort = ntohs(Addr.sin_port);
  }
  ~ConnectionCounter() { close(FFd); }
  ConnectionCounter(const ConnectionCounter&) = delete;
  ConnectionCounter& operator=(const ConnectionCounter&) = delete;
  int Port() const { return FPort; }
  int Accepted() {
    int Fd;
    while ((Fd = accept(FFd, nullptr, nullptr)) >= 0) {
      close(Fd);
      ++FAccepted;
    }
    return FAccepted;
  }

 private:
  int FFd = -1;
  int FPort = 0;
  int FAccepted = 0;
};

template <class T>
T* Find(QWidget* AParent, const char* AName) {
  T* Widget = AParent->findChild<T*>(AName);
  if (!Widget) throw std::runtime_error(std::string("no widget named ") + AName);
  return Widget;
}

QStringList ListTexts(QListWidget* AList) {
  QStringList Texts;
  for (int I = 0; I < AList->count(); ++I) Texts << AList->item(I)->text();
  return Texts;
}

// Writes a picture of AWidget when QM_SAMPLE_SHOTS names a folder (run the
// tests under Xvfb with QT_QPA_PLATFORM=xcb to look at the real thing).
void Shoot(QWidget* AWidget, const QString& AName) {
  const QString Dir = qEnvironmentVariable("QM_SAMPLE_SHOTS");
  if (Dir.isEmpty()) return;
  QDir().mkpath(Dir);
  AWidget->grab().save(Dir + "/" + AName + ".png");
}

fs::path DemoMail(const std::string& AName) { return fs::path(QM_SOURCE_DIR) / "sample" / "demo-mail" / AName; }

// ---- windows, without servers ----

class SampleWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    Form = std::make_unique<TForm1>();
    Form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  }
  std::unique_ptr<TForm1> Form;
};

TEST_F(SampleWindows, MainWindowCaptionsFieldsLabelsAndTabOrder) {
  EXPECT_EQ(Form->windowTitle(), "SMTP / POP3 client - Sample");
  struct Field {
    const char* Name;
    const char* Label;
    const char* Initial;
  };
  for (const Field& F : {Field{"edtPop3Server", "POP server", "pop.example.com"},
                         Field{"edtSmtpServer", "SMTP server", "smtp.example.com"},
                         Field{"edtUser", "User", "user@example.com"},
                         Field{"edtPassword", "Password", "password"}}) {
    auto* Edit = Find<QLineEdit>(Form.get(), F.Name);
    EXPECT_EQ(Edit->text(), F.Initial) << F.Name;
    EXPECT_FALSE(Edit->isReadOnly()) << F.Name;
    // The label belongs to its field.
    bool Labelled = false;
    for (QLabel* Label : Form->findChildren<QLabel*>())
      Labelled |= Label->buddy() == Edit && Label->text() == F.Label;
    EXPECT_TRUE(Labelled) << F.Name << " has no label \"" << F.Label << "\"";
  }
  EXPECT_EQ(Find<QLineEdit>(Form.get(), "edtPassword")->echoMode(), QLineEdit::Password);
  auto* List = Find<QListWidget>(Form.get(), "lbMessages");
  EXPECT_EQ(List->count(), 0);
  EXPECT_EQ(Form->lblMessages->text(), "Messages. Double click to view");

  auto* Check = Find<QPushButton>(Form.get(), "btnCheckMail");
  auto* Compose = Find<QPushButton>(Form.get(), "btnComposeMail");
  EXPECT_EQ(Check->text(), "Check Mail");
  EXPECT_EQ(Compose->text(), "Compose Mail");
  EXPECT_LT(Check->mapTo(Form.get(), QPoint()).x(), Compose->mapTo(Form.get(), QPoint()).x());
  EXPECT_EQ(Check->mapTo(Form.get(), QPoint()).y(), Compose->mapTo(Form.get(), QPoint()).y());

  // Tab order: the workflow controls first, the connection settings after them.
  QStringList Order;
  QWidget* W = Find<QLineEdit>(Form.get(), "edtPop3Server");
  for (int I = 0; I < 40 && !Order.contains(W->objectName()); ++I) {
    // Qt's own parts (a spin box's line edit) have names beginning "qt_".
    if ((W->focusPolicy() & Qt::TabFocus) && !W->objectName().isEmpty() && !W->objectName().startsWith("qt_"))
      Order << W->objectName();
    W = W->nextInFocusChain();
  }
  EXPECT_EQ(Order.mid(0, 12), QStringList({"edtPop3Server", "edtSmtpServer", "edtUser", "edtPassword",
                                           "btnComposeMail", "btnCheckMail", "lbMessages", "edtPop3Port",
                                           "cbPop3Security", "edtSmtpPort", "cbSmtpSecurity", "edtCaFile"}));

  // The connection settings default to the protocols' ports without TLS.
  EXPECT_EQ(Find<QSpinBox>(Form.get(), "edtPop3Port")->value(), 110);
  EXPECT_EQ(Find<QSpinBox>(Form.get(), "edtSmtpPort")->value(), 25);
  for (const char* Name : {"cbPop3Security", "cbSmtpSecurity"}) {
    auto* Box = Find<QComboBox>(Form.get(), Name);
    EXPECT_EQ(Box->currentText(), "None");
    EXPECT_EQ(Box->count(), 4);
    EXPECT_EQ(Box->itemText(2), "Implicit TLS");
  }
  Shoot(Form.get(), "main-window");
}

// Receives what the desktop would be asked to open.
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> Opened;
 public slots:
  void Open(const QUrl& AUrl) { Opened << AUrl; }
};

TEST_F(SampleWindows, LogoStripOpensTheShippedHelpPage) {
  auto* Logo = Find<QWidget>(Form.get(), "pnlLogo");
  EXPECT_EQ(Logo->height(), 78);
  UrlCatcher Catcher;
  QDesktopServices::setUrlHandler("file", &Catcher, "Open");
  for (const char* Name : {"imLogoLeft", "imLogoMiggle", "imLogoRight"}) {
    auto* Image = Find<QWidget>(Form.get(), Name);
    EXPECT_EQ(Image->cursor().shape(), Qt::PointingHandCursor) << Name;
    QTest::mouseClick(Image, Qt::LeftButton);
  }
  QDesktopServices::unsetUrlHandler("file");
  ASSERT_EQ(Catcher.Opened.size(), 3);
  for (const QUrl& Url : Catcher.Opened) {
    ASSERT_TRUE(Url.isLocalFile());
    QFile Page(Url.toLocalFile());
    ASSERT_TRUE(Page.open(QIODevice::ReadOnly)) << Url.toString().toStdString();
    EXPECT_TRUE(Page.readAll().contains("Quillmark sample mail client"));
  }
  // The middle picture fills what the outer two leave.
  auto* Middle = Find<QWidget>(Form.get(), "imLogoMiggle");
  Form->resize(Form->width() + 100, Form->height());
  QTest::qWait(50);
  const int Wider = Middle->width();
  Form->resize(Form->width() - 100, Form->height());
  QTest::qWait(50);
  EXPECT_EQ(Wider - Middle->width(), 100);
}

TEST_F(SampleWindows, MessageWindowDefaultsAndModalResults) {
  TMessageForm Message;
  EXPECT_EQ(Message.windowTitle(), "Message Form");
  EXPECT_EQ(Find<QLineEdit>(&Message, "edtSubject")->text(), "Sample");
  EXPECT_FALSE(Find<QLineEdit>(&Message, "edtFrom")->text().isEmpty());
  EXPECT_FALSE(Find<QLineEdit>(&Message, "edtTo")->text().isEmpty());
  auto* Body = Find<QTextEdit>(&Message, "memBody");
  EXPECT_FALSE(Body->toPlainText().isEmpty());
  EXPECT_EQ(Body->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(Body->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(Message.minimumSize(), Message.maximumSize()) << "the message window has a fixed size";
  EXPECT_TRUE(Find<QPushButton>(&Message, "btnSend")->isEnabled());
  for (const char* Name : {"edtFrom", "edtTo", "edtSubject"})
    EXPECT_FALSE(Find<QLineEdit>(&Message, Name)->isReadOnly());

  ModalDriver Driver;
  Driver.Then([](QWidget* W) { QTest::mouseClick(Find<QPushButton>(W, "btnSend"), Qt::LeftButton); });
  EXPECT_EQ(Message.exec(), QDialog::Accepted);
  Driver.Then([](QWidget* W) { QTest::mouseClick(Find<QPushButton>(W, "btnClose"), Qt::LeftButton); });
  EXPECT_EQ(Message.exec(), QDialog::Rejected);
  Driver.Then([](QWidget* W) { W->close(); });
  EXPECT_EQ(Message.exec(), QDialog::Rejected);
  EXPECT_EQ(Driver.Unexpected(), 0);
  Shoot(&Message, "message-window-compose");
}

TEST_F(SampleWindows, FieldsComeFromEnvironmentThenCommandLine) {
  qputenv("QM_SAMPLE_POP3_SERVER", "env-pop.qm.test");
  qputenv("QM_SAMPLE_USER", "env-user@qm.test");
  TqmSampleOptions Options;
  Options.Load({"qmsample", "--user", "cli-user@qm.test", "--pop3-port", "995", "--pop3-security", "Implicit",
                "--smtp-security", "explicit", "--ca-file", "/tmp/qm-ca.pem"});
  qunsetenv("QM_SAMPLE_POP3_SERVER");
  qunsetenv("QM_SAMPLE_USER");
  Form->ApplyOptions(Options);
  EXPECT_EQ(Form->edtPop3Server->text(), "env-pop.qm.test");
  EXPECT_EQ(Form->edtUser->text(), "cli-user@qm.test");
  EXPECT_EQ(Form->edtSmtpServer->text(), "smtp.example.com");
  EXPECT_EQ(Form->edtPop3Port->value(), 995);
  EXPECT_EQ(Form->cbPop3Security->currentText(), "Implicit TLS");
  EXPECT_EQ(Form->cbSmtpSecurity->currentText(), "Explicit TLS");
  EXPECT_EQ(Form->edtSmtpPort->value(), 25);
  EXPECT_EQ(Form->edtCaFile->text(), "/tmp/qm-ca.pem");

  TqmSampleOptions Bad;
  EXPECT_THROW(Bad.Load({"qmsample", "--smtp-port", "70000"}), Exception);
  EXPECT_THROW(Bad.Load({"qmsample", "--pop3-security", "tls"}), Exception);
}

// The sample builds with the default charset; text beyond it is written
// as UTF-8 by the message itself.
TEST_F(SampleWindows, ComposedTextBeyondLatin1IsBuiltAsUtf8) {
  for (const auto& [Text, CharSet] : std::vector<std::pair<std::string, std::string>>{
           {"Grüße, Ça va", "iso-8859-1"}, {"12,50 €", "utf-8"}, {"Привет", "utf-8"}}) {
    TqmMailMessage Message;
    Message.BuildMessage(Text, "");
    Message.SetSubject(Text);
    const std::string Source = Message.MessageSource().Text();
    EXPECT_NE(Source.find("charset=\"" + CharSet + "\""), std::string::npos) << Source;
  }
}

// ---- the workflows against dovecot and postfix ----

class SampleWorkflows : public ::testing::Test {
 protected:
  void SetUp() override {
    Servers = std::make_unique<TestServers>();
    ASSERT_NO_THROW(Servers->Start("postfix"));
    Pop3 = Servers->Env("dovecot");
    Smtp = Servers->Env("postfix");
    Maildir = Value(Pop3, "POP3_MAILDIR");
    Form = std::make_unique<TForm1>();
    Form->edtPop3Server->setText(QString::fromStdString(Value(Pop3, "POP3_HOST")));
    Form->edtPop3Port->setValue(Port(Pop3, "POP3_PORT"));
    Form->edtSmtpServer->setText(QString::fromStdString(Value(Smtp, "SMTP_HOST")));
    Form->edtSmtpPort->setValue(Port(Smtp, "SMTP_PORT"));
    Form->edtUser->setText(QString::fromStdString(Value(Pop3, "POP3_USER")));
    Form->edtPassword->setText(QString::fromStdString(Value(Pop3, "POP3_PASSWORD")));
    Form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  }
  void TearDown() override {
    Form.reset();
    Servers.reset();
  }

  void Fill(const std::vector<std::string>& ANames) {
    std::vector<std::string> Files;
    for (const auto& Name : ANames) Files.push_back(DemoMail(Name).string());
    Servers->RunScript("fill-maildir.sh", Files);
  }
  int MailboxFiles() {
    int N = 0;
    for (const char* Sub : {"new", "cur"})
      for ([[maybe_unused]] const auto& E : fs::directory_iterator(fs::path(Maildir) / Sub)) ++N;
    return N;
  }
  // Postfix delivers in the background.
  bool WaitForMailboxFiles(int ACount) {
    for (int I = 0; I < 300 && MailboxFiles() < ACount; ++I) QTest::qWait(50);
    return MailboxFiles() >= ACount;
  }

  void CheckMail(ModalDriver& ADriver) {
    ADriver.ThenOk();
    QTest::mouseClick(Form->btnCheckMail, Qt::LeftButton);
  }
  void DoubleClickRow(int ARow) {
    QListWidgetItem* Item = Form->lbMessages->item(ARow);
    Form->lbMessages->setCurrentItem(Item);
    const QPoint At = Form->lbMessages->visualItemRect(Item).center();
    // A double click is a click and then the second press.
    QTest::mouseClick(Form->lbMessages->viewport(), Qt::LeftButton, {}, At);
    QTest::mouseDClick(Form->lbMessages->viewport(), Qt::LeftButton, {}, At);
  }

  std::unique_ptr<TestServers> Servers;
  ServerEnv Pop3, Smtp;
  std::string Maildir;
  std::unique_ptr<TForm1> Form;
};

TEST_F(SampleWorkflows, CheckMailListsSubjectsOrSendersAndReportsTheCount) {
  // An empty mailbox: the list is cleared and the count is 0.
  Form->lbMessages->addItem("left over");
  ModalDriver Driver;
  CheckMail(Driver);
  ASSERT_EQ(Driver.SeenWindows().size(), 1u);
  EXPECT_EQ(Driver.SeenWindows()[0].Text, "Collecting completed, 0 messages in the mailbox");
  EXPECT_EQ(Form->lbMessages->count(), 0);
  EXPECT_FALSE(Form->qmPOP31->Active());

  Fill({"01-plain.eml", "02-html.eml", "03-attachment.eml", "04-nonascii.eml", "05-nosubject.eml"});
  CheckMail(Driver);
  ASSERT_EQ(Driver.SeenWindows().size(), 2u);
  EXPECT_EQ(Driver.SeenWindows()[1].Text, "Collecting completed, 5 messages in the mailbox");
  const QStringList Listed = ListTexts(Form->lbMessages);
  ASSERT_EQ(Listed.size(), 5);
  EXPECT_EQ(Listed[0], "Welcome to Quillmark");
  EXPECT_EQ(Listed[1], "December newsletter (HTML)");
  EXPECT_EQ(Listed[2], "Engine report, with attachment");
  EXPECT_EQ(Listed[3], QString::fromUtf8("Grüße aus Zürich – der Käse ist fertig ✓"));
  // No subject: the sender's full address.
  EXPECT_TRUE(Listed[4].contains("Grace Hopper") && Listed[4].contains("<grace@qm.test>")) << Listed[4].toStdString();
  EXPECT_FALSE(Form->qmPOP31->Active());
  EXPECT_EQ(Driver.Unexpected(), 0);

  // Each entry shows sender, subject, date and size; the size is the
  // server's (LIST), so CR LF line ends count twice.
  std::vector<fs::path> Files;
  for (const char* Sub : {"new", "cur"})
    for (const auto& E : fs::directory_iterator(fs::path(Maildir) / Sub)) Files.push_back(E.path());
  std::sort(Files.begin(), Files.end());
  ASSERT_EQ(Files.size(), 5u);
  using TDelegate = TqmMessageListDelegate;
  for (int Row = 0; Row < 5; ++Row) {
    SCOPED_TRACE(Row);
    const QModelIndex Index = Form->lbMessages->model()->index(Row, 0);
    std::ifstream In(Files[Row], std::ios::binary);
    const std::string Text((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    const qint64 Lines = std::count(Text.begin(), Text.end(), '\n') + (Text.empty() || Text.back() == '\n' ? 0 : 1);
    EXPECT_EQ(Index.data(TDelegate::rlSize).toLongLong(), static_cast<qint64>(Text.size()) + Lines);
    EXPECT_FALSE(Index.data(TDelegate::rlSender).toString().isEmpty());
    EXPECT_TRUE(Index.data(TDelegate::rlDate).toDateTime().isValid());
  }
  const QModelIndex First = Form->lbMessages->model()->index(0, 0);
  const QModelIndex Last = Form->lbMessages->model()->index(4, 0);
  EXPECT_EQ(TDelegate::SubjectLine(First), "Welcome to Quillmark");
  EXPECT_EQ(TDelegate::SubjectLine(Last), "(no subject)");
  // The date is the message's Date field (01-plain.eml: 09:15 UTC), shown in local time.
  EXPECT_EQ(First.data(TDelegate::rlDate).toDateTime().toUTC(),
            QDateTime(QDate(2026, 12, 7), QTime(9, 15), Qt::UTC));

  // The picture of the list, kept in the build tree.
  const QString Shot = QStringLiteral(QM_SAMPLE_SCREENSHOT_DIR "/message-list.png");
  QDir().mkpath(QStringLiteral(QM_SAMPLE_SCREENSHOT_DIR));
  Form->resize(640, 620);
  QTest::qWait(50);
  EXPECT_TRUE(Form->grab().save(Shot, "PNG")) << Shot.toStdString();
  Shoot(Form.get(), "main-window-listed");
}

TEST_F(SampleWorkflows, DoubleClickShowsTheMessageReadOnlyWhileConnected) {
  Fill({"01-plain.eml", "02-html.eml", "04-nonascii.eml"});
  ModalDriver Driver;
  CheckMail(Driver);
  ASSERT_EQ(Form->lbMessages->count(), 3);

  // Nothing selected: no window and no connection.
  ConnectionCounter Nobody;
  Form->edtPop3Port->setValue(Nobody.Port());
  Form->lbMessages->clearSelection();
  Form->lbMessagesDblClick();
  Form->lbMessages->setCurrentRow(-1);
  Form->lbMessagesDblClick();
  QTest::qWait(100);
  EXPECT_EQ(Nobody.Accepted(), 0);
  EXPECT_EQ(Driver.SeenWindows().size(), 1u);
  Form->edtPop3Port->setValue(Port(Pop3, "POP3_PORT"));

  // Non-ASCII sender and subject, plain text. The connection stays open
  // while the window is shown, and the library's keep-alive timer runs from
  // the Qt event loop meanwhile.
  bool WasActive = false;
  int Noops = 0;
  Form->qmPOP31->SetKeepAlive(100);
  Form->qmPOP31->OnSendCommand = [&](TObject*, const std::string& ALine) {
    Noops += ALine.rfind("NOOP", 0) == 0;
  };
  Driver.Then([&](QWidget* W) {
    auto* Message = qobject_cast<TMessageForm*>(W);
    ASSERT_NE(Message, nullptr);
    WasActive = Form->qmPOP31->Active();
    QTest::qWait(700);
    EXPECT_GE(Noops, 2) << "no keep-alive while the message window was shown";
    const QString From = Find<QLineEdit>(W, "edtFrom")->text();
    EXPECT_TRUE(From.contains(QString::fromUtf8("Jürgen Müller")) && From.contains("<juergen@qm.test>"))
        << From.toStdString();
    EXPECT_EQ(Find<QLineEdit>(W, "edtTo")->text(), "qmuser@qm.test");
    EXPECT_EQ(Find<QLineEdit>(W, "edtSubject")->text(), QString::fromUtf8("Grüße aus Zürich – der Käse ist fertig ✓"));
    EXPECT_EQ(Message->memBody->toPlainText(),
              QString::fromUtf8("Grüße aus Zürich! Der Käse ist fertig ✓\n€ 12,50 pro Kilo."));
    for (const char* Name : {"edtFrom", "edtTo", "edtSubject"}) EXPECT_TRUE(Find<QLineEdit>(W, Name)->isReadOnly());
    EXPECT_TRUE(Message->memBody->isReadOnly());
    EXPECT_FALSE(Find<QPushButton>(W, "btnSend")->isEnabled());
    Shoot(W, "message-window-view");
    QTest::mouseClick(Find<QPushButton>(W, "btnClose"), Qt::LeftButton);
  });
  DoubleClickRow(2);
  EXPECT_TRUE(Driver.AllHandled());
  EXPECT_TRUE(WasActive) << "the POP3 connection stays open while the message is shown";
  Form->qmPOP31->SetKeepAlive(0);
  Form->qmPOP31->OnSendCommand = nullptr;
  EXPECT_FALSE(Form->qmPOP31->Active());
  EXPECT_FALSE(Form->pbProgress->isVisible());

  // HTML is rendered, and the remote picture it names is not fetched.
  Driver.Then([&](QWidget* W) {
    auto* Message = qobject_cast<TMessageForm*>(W);
    ASSERT_NE(Message, nullptr);
    const QString Shown = Message->memBody->toPlainText();
    EXPECT_TRUE(Shown.contains("December newsletter")) << Shown.toStdString();
    EXPECT_TRUE(Shown.contains("This text is bold, this is italic"));
    EXPECT_FALSE(Shown.contains("<h2")) << "HTML shown as source";
    EXPECT_GE(Message->memBody->RefusedResources(), 1);
    Shoot(W, "message-window-html");
    W->close();
  });
  DoubleClickRow(1);
  EXPECT_TRUE(Driver.AllHandled());

  // Plain text stays plain.
  Driver.Then([&](QWidget* W) {
    auto* Message = qobject_cast<TMessageForm*>(W);
    ASSERT_NE(Message, nullptr);
    EXPECT_TRUE(Message->memBody->toPlainText().contains("\"Compose Mail\" sends a new one"));
    W->close();
  });
  DoubleClickRow(0);
  EXPECT_TRUE(Driver.AllHandled());
  EXPECT_EQ(Driver.Unexpected(), 0);
  EXPECT_FALSE(Form->qmPOP31->Active());
}

TEST_F(SampleWorkflows, ProgressIsShownWhileAMessageIsRetrieved) {
  Servers->RunScript("fill-maildir.sh", {"--count", "1", "--size", "3000000"});
  ModalDriver Driver;
  CheckMail(Driver);
  ASSERT_EQ(Form->lbMessages->count(), 1);
  std::vector<int> Values;
  bool ShownWhileRetrieving = false;
  QObject::connect(Form->pbProgress, &QProgressBar::valueChanged, [&](int AValue) {
    Values.push_back(AValue);
    ShownWhileRetrieving |= Form->pbProgress->isVisible();
  });
  Driver.Then([&](QWidget* W) {
    EXPECT_FALSE(Form->pbProgress->isVisible()) << "the bar stays after the download";
    EXPECT_TRUE(Find<QTextEdit>(W, "memBody")->toPlainText().startsWith("Message number 1."));
    W->close();
  });
  DoubleClickRow(0);
  EXPECT_TRUE(Driver.AllHandled());
  EXPECT_TRUE(ShownWhileRetrieving);
  ASSERT_FALSE(Values.empty());
  EXPECT_EQ(Values.back(), Form->pbProgress->maximum());
  EXPECT_TRUE(std::is_sorted(Values.begin(), Values.end()));
}

TEST_F(SampleWorkflows, ComposeAndSendDeliversAndCloseSendsNothing) {
  const QString Subject = QString::fromUtf8("Price list – 12,50 € ✓ ") + QString::number(getpid());
  const QString Body = QString::fromUtf8("Grüße!\nThe price is 12,50 €.");
  const std::string Rcpt = Value(Smtp, "SMTP_RCPT");
  ModalDriver Driver;
  Driver.Then([&](QWidget* W) {
    // The sender starts as the main window's user.
    EXPECT_EQ(Find<QLineEdit>(W, "edtFrom")->text(), Form->edtUser->text());
    Find<QLineEdit>(W, "edtFrom")->setText("Sample Sender <" + QString::fromStdString(Rcpt) + ">");
    Find<QLineEdit>(W, "edtTo")->setText(QString::fromStdString(Rcpt));
    Find<QLineEdit>(W, "edtSubject")->setText(Subject);
    Find<QTextEdit>(W, "memBody")->setPlainText(Body);
    QTest::mouseClick(Find<QPushButton>(W, "btnSend"), Qt::LeftButton);
  });
  Driver.ThenOk();
  QTest::mouseClick(Form->btnComposeMail, Qt::LeftButton);
  ASSERT_EQ(Driver.SeenWindows().size(), 2u);
  EXPECT_EQ(Driver.SeenWindows()[1].Text, "The message was sent successfully");
  EXPECT_FALSE(Form->qmSMTP1->Active());

  ASSERT_TRUE(WaitForMailboxFiles(1)) << "postfix did not deliver the message";
  CheckMail(Driver);
  ASSERT_EQ(Form->lbMessages->count(), 1);
  EXPECT_EQ(Form->lbMessages->item(0)->text(), Subject);
  Driver.Then([&](QWidget* W) {
    EXPECT_EQ(Find<QTextEdit>(W, "memBody")->toPlainText().trimmed(), Body);
    W->close();
  });
  DoubleClickRow(0);
  EXPECT_TRUE(Driver.AllHandled());
  // Text that iso-8859-1 cannot hold went out as utf-8, not as "?".
  EXPECT_EQ(QString::fromStdString(Form->qmMailMessage1->CharSet()).toLower(), "utf-8");

  // "Close" after composing: nothing is sent and nothing connects.
  ConnectionCounter Nobody;
  Form->edtSmtpPort->setValue(Nobody.Port());
  Driver.Then([&](QWidget* W) { QTest::mouseClick(Find<QPushButton>(W, "btnClose"), Qt::LeftButton); });
  QTest::mouseClick(Form->btnComposeMail, Qt::LeftButton);
  Driver.Then([&](QWidget* W) { W->close(); });
  QTest::mouseClick(Form->btnComposeMail, Qt::LeftButton);
  QTest::qWait(100);
  EXPECT_TRUE(Driver.AllHandled());
  EXPECT_EQ(Nobody.Accepted(), 0);
  EXPECT_EQ(Driver.Unexpected(), 0);
}

TEST_F(SampleWorkflows, SecurityChoicesReachTlsServers) {
  // The servers' certificate is for "localhost", signed by the test CA,
  // which the CA field makes both clients trust.
  Fill({"01-plain.eml"});
  Form->edtCaFile->setText(QString::fromStdString(Value(Pop3, "CA_CERT")));
  Form->edtPop3Server->setText("localhost");
  Form->edtSmtpServer->setText("localhost");
  std::vector<std::string> Pop3Lines, SmtpLines;
  Form->qmPOP31->OnSendCommand = [&](TObject*, const std::string& ALine) { Pop3Lines.push_back(ALine); };
  Form->qmSMTP1->OnSendCommand = [&](TObject*, const std::string& ALine) { SmtpLines.push_back(ALine); };

  // Implicit TLS on the POP3S port.
  ModalDriver Driver;
  Form->edtPop3Port->setValue(Port(Pop3, "POP3S_PORT"));
  Form->cbPop3Security->setCurrentIndex(Form->cbPop3Security->findText("Implicit TLS"));
  CheckMail(Driver);
  ASSERT_EQ(Driver.SeenWindows().size(), 1u);
  EXPECT_EQ(Driver.SeenWindows()[0].Text, "Collecting completed, 1 messages in the mailbox");
  EXPECT_EQ(Form->qmPOP31->UseTLS(), ctImplicit);

  // Explicit TLS: STLS on the plain POP3 port.
  Pop3Lines.clear();
  Form->edtPop3Port->setValue(Port(Pop3, "POP3_PORT"));
  Form->cbPop3Security->setCurrentIndex(Form->cbPop3Security->findText("Explicit TLS"));
  CheckMail(Driver);
  ASSERT_EQ(Driver.SeenWindows().size(), 2u);
  EXPECT_EQ(Driver.SeenWindows()[1].Text, "Collecting completed, 1 messages in the mailbox");
  EXPECT_NE(std::find_if(Pop3Lines.begin(), Pop3Lines.end(), [](const std::string& L) { return L.rfind("STLS", 0) == 0; }),
            Pop3Lines.end());

  // Explicit TLS on the submission port, which refuses mail without it.
  Form->edtSmtpPort->setValue(Port(Smtp, "SUBMISSION_PORT"));
  Form->cbSmtpSecurity->setCurrentIndex(Form->cbSmtpSecurity->findText("Explicit TLS"));
  Driver.Then([&](QWidget* W) {
    Find<QLineEdit>(W, "edtTo")->setText(QString::fromStdString(Value(Smtp, "SMTP_RCPT")));
    QTest::mouseClick(Find<QPushButton>(W, "btnSend"), Qt::LeftButton);
  });
  Driver.ThenOk();
  QTest::mouseClick(Form->btnComposeMail, Qt::LeftButton);
  ASSERT_EQ(Driver.SeenWindows().size(), 4u);
  EXPECT_EQ(Driver.SeenWindows()[3].Text, "The message was sent successfully");
  EXPECT_NE(std::find_if(SmtpLines.begin(), SmtpLines.end(),
                         [](const std::string& L) { return L.rfind("STARTTLS", 0) == 0; }),
            SmtpLines.end());
  EXPECT_EQ(Driver.Unexpected(), 0);
  EXPECT_EQ(Form->qmSMTP1->CaFile(), Value(Pop3, "CA_CERT"));
}

TEST_F(SampleWorkflows, ServerRefusalsAreShownAndTheConnectionIsClosed) {
  // A recipient postfix does not know: the error, no success box, SMTP closed.
  ModalDriver Driver;
  Driver.Then([&](QWidget* W) {
    Find<QLineEdit>(W, "edtTo")->setText("nobody@" + QString::fromStdString(Value(Smtp, "SMTP_DOMAIN")));
    QTest::mouseClick(Find<QPushButton>(W, "btnSend"), Qt::LeftButton);
  });
  Driver.ThenOk();
  QTest::mouseClick(Form->btnComposeMail, Qt::LeftButton);
  ASSERT_EQ(Driver.SeenWindows().size(), 2u);
  EXPECT_EQ(Driver.SeenWindows()[1].ObjectName, "qmExceptionBox");
  EXPECT_TRUE(Driver.SeenWindows()[1].Text.contains("nobody@")) << Driver.SeenWindows()[1].Text.toStdString();
  EXPECT_TRUE(Driver.SeenWindows()[1].Text.contains("550")) << Driver.SeenWindows()[1].Text.toStdString();
  EXPECT_FALSE(Form->qmSMTP1->Active());

  // A wrong password: dovecot's answer is shown; the application goes on.
  Fill({"01-plain.eml"});
  Form->edtPassword->setText("not-the-password");
  Driver.ThenOk();
  QTest::mouseClick(Form->btnCheckMail, Qt::LeftButton);
  ASSERT_EQ(Driver.SeenWindows().size(), 3u);
  EXPECT_EQ(Driver.SeenWindows()[2].ObjectName, "qmExceptionBox");
  EXPECT_TRUE(Driver.SeenWindows()[2].Text.contains("Authentication failed"))
      << Driver.SeenWindows()[2].Text.toStdString();
  EXPECT_FALSE(Form->qmPOP31->Active());

  // Nothing was left half-open: the next check succeeds.
  Form->edtPassword->setText(QString::fromStdString(Value(Pop3, "POP3_PASSWORD")));
  CheckMail(Driver);
  ASSERT_EQ(Driver.SeenWindows().size(), 4u);
  EXPECT_EQ(Driver.SeenWindows()[3].Text, "Collecting completed, 1 messages in the mailbox");
  EXPECT_EQ(Driver.Unexpected(), 0);
}

// ---- the login path against servers that offer only NTLM ----

// The sample's own clients with SASL switched on (the sample leaves them at
// their defaults, which log in with USER/PASS and LOGIN), against the
// scripted servers whose NTLM acceptor is gss-ntlmssp.
TEST(SampleNtlm, CheckMailAndSendLogInWithNtlm) {
  TestServers Servers;
  const ServerEnv Ntlm = Servers.Start("ntlm");
  auto Form = std::make_unique<TForm1>();
  Form->edtPop3Server->setText(QString::fromStdString(Value(Ntlm, "NTLM_HOST")));
  Form->edtPop3Port->setValue(Port(Ntlm, "NTLM_POP3_PORT"));
  Form->edtSmtpServer->setText(QString::fromStdString(Value(Ntlm, "NTLM_HOST")));
  Form->edtSmtpPort->setValue(Port(Ntlm, "NTLM_SMTP_PORT"));
  Form->edtUser->setText(QString::fromStdString(Value(Ntlm, "NTLM_DOMAIN") + "\\" + Value(Ntlm, "NTLM_USER")));
  Form->edtPassword->setText(QString::fromStdString(Value(Ntlm, "NTLM_PASSWORD")));
  Form->qmPOP31->SetUseSasl(true);
  Form->qmSMTP1->SetUseSasl(true);
  Form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));

  ModalDriver Driver;
  Driver.ThenOk();
  QTest::mouseClick(Form->btnCheckMail, Qt::LeftButton);
  ASSERT_EQ(Driver.SeenWindows().size(), 1u);
  EXPECT_EQ(Driver.SeenWindows()[0].Text, "Collecting completed, 2 messages in the mailbox");
  EXPECT_EQ(ListTexts(Form->lbMessages), QStringList({"First", "Second"}));

  Driver.Then([&](QWidget* W) {
    Find<QLineEdit>(W, "edtFrom")->setText("ntlm@qm.test");
    Find<QLineEdit>(W, "edtTo")->setText("rcpt@qm.test");
    Find<QLineEdit>(W, "edtSubject")->setText("Sent after an NTLM login");
    QTest::mouseClick(Find<QPushButton>(W, "btnSend"), Qt::LeftButton);
  });
  Driver.ThenOk();
  QTest::mouseClick(Form->btnComposeMail, Qt::LeftButton);
  ASSERT_EQ(Driver.SeenWindows().size(), 3u);
  EXPECT_EQ(Driver.SeenWindows()[2].Text, "The message was sent successfully");
  EXPECT_EQ(Driver.Unexpected(), 0);
  Form.reset();

  // Each server saw an NTLM login as the user typed in, and the session's
  // work after it.
  const std::string Initiator =
      "\"initiator\": \"" + Value(Ntlm, "NTLM_DOMAIN") + "\\\\" + Value(Ntlm, "NTLM_USER") + "\"";
  for (const char* Key : {"NTLM_POP3_SESSIONS", "NTLM_SMTP_SESSIONS"}) {
    std::string Sessions;
    for (int I = 0; I < 200 && std::count(Sessions.begin(), Sessions.end(), '\n') < 1; ++I) {
      QTest::qWait(10);
      std::ifstream In(Value(Ntlm, Key));
      Sessions.assign(std::istreambuf_iterator<char>(In), {});
    }
    EXPECT_NE(Sessions.find(Initiator), std::string::npos) << Sessions;
    EXPECT_NE(Sessions.find("\"quit\": true"), std::string::npos) << Sessions;
  }
}

}  // namespace
}  // namespace qm::test

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  qm::TqmSampleApplication App(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

#include "qmSampleTest.moc"
