#include "sample/qmSampleApplication.h"

#include <QMessageBox>
#include <QWidget>

#include "core/qmException.h"

namespace qm {

TqmSampleApplication::TqmSampleApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName("qmsample");
  setApplicationDisplayName("SMTP / POP3 client - Sample");
  FPump = std::make_unique<TqmQtGuiPump>();
}

TqmSampleApplication::~TqmSampleApplication() = default;

bool TqmSampleApplication::notify(QObject* AReceiver, QEvent* AEvent) {
  try {
    return QApplication::notify(AReceiver, AEvent);
  } catch (...) {
    HandleException(std::current_exception());
    return true;
  }
}

QString TqmSampleApplication::ExceptionMessage(const std::exception_ptr& AError) {
  try {
    std::rethrow_exception(AError);
  } catch (const Exception& E) {
    return QString::fromStdString(E.Message());
  } catch (const std::exception& E) {
    return QString::fromUtf8(E.what());
  } catch (...) {
    return QStringLiteral("Unknown error");
  }
}

void TqmSampleApplication::HandleException(const std::exception_ptr& AError) {
  QString Message = ExceptionMessage(AError);
  try {
    QMessageBox Box(QMessageBox::Critical, applicationDisplayName(), Message, QMessageBox::Ok,
                    activeWindow());
    Box.setObjectName("qmExceptionBox");
    Box.exec();
  } catch (...) {
    // A failure while reporting a failure must not end the program.
  }
}

}  // namespace qm
