// The base window of the sample: a logo strip across the top whose
// pictures open the help page, and the main area for the derived window.
#pragma once

#include <QPixmap>
#include <QUrl>
#include <QWidget>

class QMouseEvent;
class QPaintEvent;

namespace qm {

// One picture of the logo strip: drawn at its natural size, or stretched
// over the whole widget; a click emits Clicked.
class TqmLogoImage : public QWidget {
  Q_OBJECT
 public:
  TqmLogoImage(const QPixmap& APicture, bool AStretch, QWidget* AParent);
  const QPixmap& Picture() const { return FPicture; }
  QSize sizeHint() const override;

 signals:
  void Clicked();

 protected:
  void paintEvent(QPaintEvent* AEvent) override;
  void mouseReleaseEvent(QMouseEvent* AEvent) override;

 private:
  QPixmap FPicture;
  bool FStretch;
};

class TqmDemoBaseForm : public QWidget {
  Q_OBJECT
 public:
  explicit TqmDemoBaseForm(QWidget* AParent = nullptr);

  // The page the logo opens: the help page shipped with the sample.
  virtual QUrl SupportPageUrl() const;

  QWidget* pnlLogo;
  TqmLogoImage* imLogoLeft;
  TqmLogoImage* imLogoMiggle;
  TqmLogoImage* imLogoRight;
  QWidget* pnlMain;

  // The three logo pictures, drawn here.
  static QPixmap DrawLogoLeft();
  static QPixmap DrawLogoMiddle();
  static QPixmap DrawLogoRight();

 public slots:
  void imLogoLeftClick();

 protected:
  void showEvent(QShowEvent* AEvent) override;

 private:
  bool FCentred = false;
};

// Puts a top-level window in the middle of its screen.
void CentreOnScreen(QWidget* AWindow);

}  // namespace qm
