#include "sample/msgfrm.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextDocument>

#include "sample/DemoBaseFormUnit.h"

namespace qm {

// ---- TqmMessageTextEdit ----

TqmMessageTextEdit::TqmMessageTextEdit(QWidget* AParent) : QTextEdit(AParent) {}

QVariant TqmMessageTextEdit::loadResource(int AType, const QUrl&) {
  ++FRefused;
  // An empty but valid answer: the document must not fall back to reading
  // the named file itself.
  if (AType == QTextDocument::ImageResource) {
    QImage Blank(1, 1, QImage::Format_ARGB32);
    Blank.fill(Qt::transparent);
    return Blank;
  }
  return QString();
}

// ---- TMessageForm ----

TMessageForm::TMessageForm(QWidget* AParent) : QDialog(AParent) {
  setObjectName("MessageForm");
  setWindowTitle("Message Form");
  QFont Font("Tahoma");
  Font.setPointSize(9);
  setFont(Font);

  lblFrom = new QLabel("From", this);
  lblTo = new QLabel("To", this);
  lblSubject = new QLabel("Subject", this);
  edtFrom = new QLineEdit("sender@example.com", this);
  edtFrom->setObjectName("edtFrom");
  edtTo = new QLineEdit("recipient@example.com", this);
  edtTo->setObjectName("edtTo");
  edtSubject = new QLineEdit("Sample", this);
  edtSubject->setObjectName("edtSubject");
  lblFrom->setBuddy(edtFrom);
  lblTo->setBuddy(edtTo);
  lblSubject->setBuddy(edtSubject);

  memBody = new TqmMessageTextEdit(this);
  memBody->setObjectName("memBody");
  memBody->setAcceptRichText(false);
  memBody->setLineWrapMode(QTextEdit::NoWrap);
  memBody->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memBody->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memBody->setPlainText("Hello! This is a sample message.");

  btnSend = new QPushButton("Send", this);
  btnSend->setObjectName("btnSend");
  btnSend->setDefault(false);
  btnSend->setAutoDefault(false);
  btnClose = new QPushButton("Close", this);
  btnClose->setObjectName("btnClose");
  btnClose->setAutoDefault(false);
  connect(btnSend, &QPushButton::clicked, this, &QDialog::accept);
  connect(btnClose, &QPushButton::clicked, this, &QDialog::reject);

  auto* Grid = new QGridLayout(this);
  Grid->setContentsMargins(10, 10, 10, 10);
  Grid->addWidget(lblFrom, 0, 0);
  Grid->addWidget(edtFrom, 0, 1);
  Grid->addWidget(lblTo, 1, 0);
  Grid->addWidget(edtTo, 1, 1);
  Grid->addWidget(lblSubject, 2, 0);
  Grid->addWidget(edtSubject, 2, 1);
  Grid->addWidget(memBody, 3, 0, 1, 2);
  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch(1);
  Buttons->addWidget(btnSend);
  Buttons->addWidget(btnClose);
  Grid->addLayout(Buttons, 4, 0, 1, 2);
  Grid->setRowStretch(3, 1);

  setTabOrder(edtFrom, edtTo);
  setTabOrder(edtTo, edtSubject);
  setTabOrder(edtSubject, memBody);
  setTabOrder(memBody, btnSend);
  setTabOrder(btnSend, btnClose);
  memBody->setTabChangesFocus(true);

  setFixedSize(520, 420);
}

QString TMessageForm::BodyText() const { return memBody->toPlainText(); }

void TMessageForm::SetBodyText(const QString& AText, bool AHtml) {
  if (AHtml) {
    // Rendered HTML wraps to the window; plain text keeps its lines.
    memBody->setLineWrapMode(QTextEdit::WidgetWidth);
    memBody->setHtml(AText);
  } else {
    memBody->setPlainText(AText);
  }
}

void TMessageForm::SetViewOnly() {
  edtFrom->setReadOnly(true);
  edtTo->setReadOnly(true);
  edtSubject->setReadOnly(true);
  memBody->setReadOnly(true);
  btnSend->setEnabled(false);
}

}  // namespace qm

namespace qm {

void TMessageForm::showEvent(QShowEvent* AEvent) {
  QDialog::showEvent(AEvent);
  CentreOnScreen(this);
}

}  // namespace qm
