// The message window: shows a downloaded message read-only, or takes a
// new message to send ("Send" closes it with Accepted, "Close" and the
// close box with Rejected).
#pragma once

#include <QDialog>
#include <QTextEdit>

class QLabel;
class QLineEdit;
class QPushButton;

namespace qm {

// The message text. HTML is laid out as rich text but never loads anything
// it refers to: no remote content, and no local files named by a message.
class TqmMessageTextEdit : public QTextEdit {
  Q_OBJECT
 public:
  explicit TqmMessageTextEdit(QWidget* AParent = nullptr);
  QVariant loadResource(int AType, const QUrl& AName) override;
  // How many resources the text asked for (all of them refused).
  int RefusedResources() const { return FRefused; }

 private:
  int FRefused = 0;
};

class TMessageForm : public QDialog {
  Q_OBJECT
 public:
  explicit TMessageForm(QWidget* AParent = nullptr);

  QLabel* lblFrom;
  QLabel* lblTo;
  QLabel* lblSubject;
  QLineEdit* edtFrom;
  QLineEdit* edtTo;
  QLineEdit* edtSubject;
  TqmMessageTextEdit* memBody;
  QPushButton* btnSend;
  QPushButton* btnClose;

  // The body text as typed (plain text).
  QString BodyText() const;
  // Shows a message's display text: rendered when it is HTML, as typed
  // otherwise.
  void SetBodyText(const QString& AText, bool AHtml);
  // Viewing: every field read-only and "Send" disabled.
  void SetViewOnly();

 protected:
  void showEvent(QShowEvent* AEvent) override;
};

}  // namespace qm
