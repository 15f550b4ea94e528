// The sample's main window: the server and login fields, and the three
// workflows (Check Mail, view a message, Compose Mail).
#pragma once

#include <memory>

#include "sample/DemoBaseFormUnit.h"
#include "sample/qmSampleOptions.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QProgressBar;
class QPushButton;
class QSpinBox;

namespace qm {

class TqmPop3;
class TqmSmtp;
class TqmMailMessage;

class TForm1 : public TqmDemoBaseForm {
  Q_OBJECT
 public:
  explicit TForm1(QWidget* AParent = nullptr);
  ~TForm1() override;

  // Fills the fields (server, login, ports, security).
  void ApplyOptions(const TqmSampleOptions& AOptions);

  // Owned for the whole run.
  std::unique_ptr<TqmPop3> qmPOP31;
  std::unique_ptr<TqmSmtp> qmSMTP1;
  std::unique_ptr<TqmMailMessage> qmMailMessage1;

  QLabel* lblPop3Server;
  QLineEdit* edtPop3Server;
  QLabel* lblSmtpServer;
  QLineEdit* edtSmtpServer;
  QLabel* lblUser;
  QLineEdit* edtUser;
  QLabel* lblPassword;
  QLineEdit* edtPassword;
  QPushButton* btnComposeMail;
  QPushButton* btnCheckMail;
  QLabel* lblMessages;
  QListWidget* lbMessages;
  // Connection settings, so that servers requiring TLS can be reached.
  QSpinBox* edtPop3Port;
  QComboBox* cbPop3Security;
  QSpinBox* edtSmtpPort;
  QComboBox* cbSmtpSecurity;
  // The CA file both clients trust (empty: the system's trust store).
  QLineEdit* edtCaFile;
  // Shown while a message is downloaded.
  QProgressBar* pbProgress;

  // True while a workflow runs (a second one does not start meanwhile).
  bool Busy() const { return FBusy; }

 public slots:
  void btnCheckMailClick();
  void lbMessagesDblClick();
  void btnComposeMailClick();

 protected:
  void closeEvent(QCloseEvent* AEvent) override;

 private:
  void ApplyPop3Settings();
  void ApplySmtpSettings();
  void ShowInfo(const QString& AText);
  void Pop3Progress(int64_t ABytesProceed, int64_t ATotalBytes);
  void KeepWindowsResponsive();

  bool FBusy = false;
};

}  // namespace qm
