#include "sample/qmMessageListDelegate.h"

#include <QApplication>
#include <QDateTime>
#include <QLocale>
#include <QPainter>

namespace qm {

namespace {

constexpr int kMargin = 6;

}  // namespace

QString TqmMessageListDelegate::SubjectLine(const QModelIndex& AIndex) {
  const QString Subject = AIndex.data(rlSubject).toString();
  return Subject.isEmpty() ? QStringLiteral("(no subject)") : Subject;
}

QString TqmMessageListDelegate::SizeText(qint64 ABytes) {
  if (ABytes < 0) return {};
  if (ABytes < 1024) return QString::number(ABytes) + " B";
  if (ABytes < 1024 * 1024) return QString::number(ABytes / 1024.0, 'f', 1) + " KB";
  return QString::number(ABytes / (1024.0 * 1024.0), 'f', 1) + " MB";
}

void TqmMessageListDelegate::paint(QPainter* APainter, const QStyleOptionViewItem& AOption,
                                   const QModelIndex& AIndex) const {
  QStyleOptionViewItem Option(AOption);
  initStyleOption(&Option, AIndex);
  Option.text.clear();
  const QWidget* Widget = Option.widget;
  QStyle* Style = Widget ? Widget->style() : QApplication::style();
  // Background, selection and focus as the style draws them.
  Style->drawControl(QStyle::CE_ItemViewItem, &Option, APainter, Widget);

  const bool Selected = Option.state & QStyle::State_Selected;
  const QPalette::ColorRole TextRole = Selected ? QPalette::HighlightedText : QPalette::Text;
  const QColor Text = Option.palette.color(TextRole);
  const QRect Area = Option.rect.adjusted(kMargin, 2, -kMargin, -2);
  const int LineHeight = Area.height() / 2;
  const QRect Top(Area.left(), Area.top(), Area.width(), LineHeight);
  const QRect Bottom(Area.left(), Area.top() + LineHeight, Area.width(), Area.height() - LineHeight);

  const QDateTime Date = AIndex.data(rlDate).toDateTime();
  const QString DateText = Date.isValid() ? QLocale().toString(Date, QLocale::ShortFormat) : QString();
  const QString SizeLine = SizeText(AIndex.data(rlSize).toLongLong());

  APainter->save();
  QFont Bold = Option.font;
  Bold.setBold(true);
  const QFontMetrics Plain(Option.font);
  const int DateWidth = Plain.horizontalAdvance(DateText) + kMargin;
  const int SizeWidth = Plain.horizontalAdvance(SizeLine) + kMargin;

  APainter->setPen(Text);
  APainter->setFont(Option.font);
  APainter->drawText(Top, Qt::AlignRight | Qt::AlignVCenter, DateText);
  APainter->drawText(Bottom, Qt::AlignRight | Qt::AlignVCenter, SizeLine);

  APainter->setFont(Bold);
  const QFontMetrics BoldMetrics(Bold);
  APainter->drawText(Top.adjusted(0, 0, -DateWidth, 0), Qt::AlignLeft | Qt::AlignVCenter,
                     BoldMetrics.elidedText(AIndex.data(rlSender).toString(), Qt::ElideRight, Top.width() - DateWidth));

  const bool NoSubject = AIndex.data(rlSubject).toString().isEmpty();
  QFont SubjectFont = Option.font;
  SubjectFont.setItalic(NoSubject);
  APainter->setFont(SubjectFont);
  // A missing subject is marked, greyed so it is not taken for one.
  APainter->setPen(NoSubject && !Selected ? Option.palette.color(QPalette::Disabled, QPalette::Text) : Text);
  APainter->drawText(Bottom.adjusted(0, 0, -SizeWidth, 0), Qt::AlignLeft | Qt::AlignVCenter,
                     QFontMetrics(SubjectFont).elidedText(SubjectLine(AIndex), Qt::ElideRight,
                                                          Bottom.width() - SizeWidth));
  APainter->restore();
}

QSize TqmMessageListDelegate::sizeHint(const QStyleOptionViewItem& AOption, const QModelIndex& AIndex) const {
  const QSize Base = QStyledItemDelegate::sizeHint(AOption, AIndex);
  return {Base.width(), 2 * QFontMetrics(AOption.font).height() + 8};
}

}  // namespace qm
