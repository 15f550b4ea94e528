// Draws an entry of the main window's message list on two lines: the
// sender and the date, then the subject and the size. The entry's own text
// stays what Check Mail lists (the subject, or the sender when there is
// none); the parts come from the item's data roles below.
#pragma once

#include <QStyledItemDelegate>

namespace qm {

class TqmMessageListDelegate : public QStyledItemDelegate {
  Q_OBJECT
 public:
  // Item data: the sender's full address (QString), the decoded subject
  // (QString, empty when the message has none), the date in local time
  // (QDateTime, invalid when the message has none) and the size in bytes
  // as the server counts it (qint64, -1 unknown).
  enum TRole { rlSender = Qt::UserRole + 1, rlSubject, rlDate, rlSize };

  using QStyledItemDelegate::QStyledItemDelegate;

  // What the subject line shows: the subject, or "(no subject)".
  static QString SubjectLine(const QModelIndex& AIndex);
  // "980 B", "12.5 KB", "3.1 MB"; "" for an unknown size.
  static QString SizeText(qint64 ABytes);

  void paint(QPainter* APainter, const QStyleOptionViewItem& AOption, const QModelIndex& AIndex) const override;
  QSize sizeHint(const QStyleOptionViewItem& AOption, const QModelIndex& AIndex) const override;
};

}  // namespace qm
