#include "sample/DemoBaseFormUnit.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QVBoxLayout>

namespace qm {

namespace {

constexpr int kLogoHeight = 78;

const QColor kInk(0x1f, 0x3a, 0x5f);
const QColor kPaper(0xf4, 0xf7, 0xfb);
const QColor kAccent(0xc2, 0x5b, 0x2a);

QPixmap NewPicture(int AWidth) {
  QPixmap Picture(AWidth, kLogoHeight);
  Picture.fill(kPaper);
  return Picture;
}

}  // namespace

// ---- TqmLogoImage ----

TqmLogoImage::TqmLogoImage(const QPixmap& APicture, bool AStretch, QWidget* AParent)
    : QWidget(AParent), FPicture(APicture), FStretch(AStretch) {
  setCursor(Qt::PointingHandCursor);
  setFixedHeight(APicture.height());
  if (!AStretch) setFixedWidth(APicture.width());
  setSizePolicy(AStretch ? QSizePolicy::Expanding : QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize TqmLogoImage::sizeHint() const { return FPicture.size(); }

void TqmLogoImage::paintEvent(QPaintEvent*) {
  QPainter P(this);
  if (FStretch) {
    P.drawPixmap(rect(), FPicture);
  } else {
    P.drawPixmap(0, 0, FPicture);
  }
}

void TqmLogoImage::mouseReleaseEvent(QMouseEvent* AEvent) {
  if (AEvent->button() == Qt::LeftButton && rect().contains(AEvent->position().toPoint())) emit Clicked();
}

// ---- the pictures ----

QPixmap TqmDemoBaseForm::DrawLogoLeft() {
  QPixmap Picture = NewPicture(120);
  QPainter P(&Picture);
  P.setRenderHint(QPainter::Antialiasing);
  // An envelope...
  QRectF Env(18, 24, 64, 40);
  P.setPen(QPen(kInk, 2.5));
  P.setBrush(Qt::white);
  P.drawRoundedRect(Env, 3, 3);
  QPainterPath Flap;
  Flap.moveTo(Env.topLeft());
  Flap.lineTo(Env.center().x(), Env.top() + 22);
  Flap.lineTo(Env.topRight());
  P.setBrush(Qt::NoBrush);
  P.drawPath(Flap);
  // ...and a quill writing on it.
  QPainterPath Quill;
  Quill.moveTo(70, 58);
  Quill.cubicTo(78, 40, 92, 18, 108, 8);
  Quill.cubicTo(104, 24, 92, 44, 70, 58);
  P.setPen(QPen(kAccent.darker(130), 1.5));
  P.setBrush(kAccent);
  P.drawPath(Quill);
  P.setPen(QPen(kAccent.darker(150), 1.5));
  P.drawLine(QPointF(70, 58), QPointF(98, 20));
  return Picture;
}

QPixmap TqmDemoBaseForm::DrawLogoMiddle() {
  QPixmap Picture = NewPicture(64);
  QPainter P(&Picture);
  // A band that stretches with the window.
  QLinearGradient Band(0, 0, 0, kLogoHeight);
  Band.setColorAt(0.0, kPaper);
  Band.setColorAt(0.55, QColor(0xdd, 0xe6, 0xf1));
  Band.setColorAt(1.0, kPaper);
  P.fillRect(Picture.rect(), Band);
  P.setPen(QPen(kInk, 2));
  P.drawLine(0, kLogoHeight - 2, Picture.width(), kLogoHeight - 2);
  return Picture;
}

QPixmap TqmDemoBaseForm::DrawLogoRight() {
  QPixmap Picture = NewPicture(180);
  QPainter P(&Picture);
  P.setRenderHint(QPainter::Antialiasing);
  P.setRenderHint(QPainter::TextAntialiasing);
  QFont Title("Tahoma", 20, QFont::Bold);
  Title.setPixelSize(26);
  P.setFont(Title);
  P.setPen(kInk);
  P.drawText(QRect(0, 8, 170, 40), Qt::AlignRight | Qt::AlignVCenter, "Quillmark");
  QFont Small("Tahoma");
  Small.setPixelSize(12);
  P.setFont(Small);
  P.setPen(kAccent.darker(120));
  P.drawText(QRect(0, 46, 170, 20), Qt::AlignRight | Qt::AlignVCenter, "mail components");
  P.setPen(QPen(kInk, 2));
  P.drawLine(0, kLogoHeight - 2, Picture.width(), kLogoHeight - 2);
  return Picture;
}

// ---- TqmDemoBaseForm ----

TqmDemoBaseForm::TqmDemoBaseForm(QWidget* AParent) : QWidget(AParent) {
  QFont Font("Tahoma");
  Font.setPointSize(9);
  setFont(Font);

  auto* Layout = new QVBoxLayout(this);
  Layout->setContentsMargins(0, 0, 0, 0);
  Layout->setSpacing(0);

  pnlLogo = new QWidget(this);
  pnlLogo->setObjectName("pnlLogo");
  pnlLogo->setFixedHeight(kLogoHeight);
  auto* LogoLayout = new QHBoxLayout(pnlLogo);
  LogoLayout->setContentsMargins(0, 0, 0, 0);
  LogoLayout->setSpacing(0);
  imLogoLeft = new TqmLogoImage(DrawLogoLeft(), false, pnlLogo);
  imLogoLeft->setObjectName("imLogoLeft");
  imLogoMiggle = new TqmLogoImage(DrawLogoMiddle(), true, pnlLogo);
  imLogoMiggle->setObjectName("imLogoMiggle");
  imLogoRight = new TqmLogoImage(DrawLogoRight(), false, pnlLogo);
  imLogoRight->setObjectName("imLogoRight");
  LogoLayout->addWidget(imLogoLeft);
  LogoLayout->addWidget(imLogoMiggle, 1);
  LogoLayout->addWidget(imLogoRight);
  for (TqmLogoImage* Image : {imLogoLeft, imLogoMiggle, imLogoRight})
    connect(Image, &TqmLogoImage::Clicked, this, &TqmDemoBaseForm::imLogoLeftClick);

  pnlMain = new QWidget(this);
  pnlMain->setObjectName("pnlMain");
  Layout->addWidget(pnlLogo);
  Layout->addWidget(pnlMain, 1);
}

QUrl TqmDemoBaseForm::SupportPageUrl() const {
  const QString Next = QCoreApplication::applicationDirPath() + "/help/index.html";
  if (QFileInfo::exists(Next)) return QUrl::fromLocalFile(Next);
#ifdef QM_SAMPLE_HELP_INSTALLED
  const QString Installed = QStringLiteral(QM_SAMPLE_HELP_INSTALLED) + "/index.html";
  if (QFileInfo::exists(Installed)) return QUrl::fromLocalFile(Installed);
#endif
  return QUrl::fromLocalFile(Next);
}

void TqmDemoBaseForm::imLogoLeftClick() { QDesktopServices::openUrl(SupportPageUrl()); }

void TqmDemoBaseForm::showEvent(QShowEvent* AEvent) {
  QWidget::showEvent(AEvent);
  if (!FCentred && isWindow()) {
    FCentred = true;
    CentreOnScreen(this);
  }
}

void CentreOnScreen(QWidget* AWindow) {
  QScreen* Screen = AWindow->screen();
  if (!Screen) return;
  QRect Frame = AWindow->frameGeometry();
  Frame.moveCenter(Screen->availableGeometry().center());
  AWindow->move(Frame.topLeft());
}

}  // namespace qm
