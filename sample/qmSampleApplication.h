// The sample's application object: the Qt application with the window
// system's default exception handler and the library's message-queue pump.
#pragma once

#include <QApplication>

#include <memory>

#include "sample/qmQtGuiPump.h"

namespace qm {

class TqmSampleApplication : public QApplication {
  Q_OBJECT
 public:
  TqmSampleApplication(int& argc, char** argv);
  ~TqmSampleApplication() override;

  // Every event goes through here; an exception that leaves an event
  // handler (after its clean-up ran) is shown by HandleException and the
  // application goes on.
  bool notify(QObject* AReceiver, QEvent* AEvent) override;

  // Shows the exception's message in a message box (object name
  // "qmExceptionBox") over the active window.
  void HandleException(const std::exception_ptr& AError);

  TqmQtGuiPump& Pump() { return *FPump; }

  // The text a message box shows for an exception.
  static QString ExceptionMessage(const std::exception_ptr& AError);

 private:
  std::unique_ptr<TqmQtGuiPump> FPump;
};

}  // namespace qm
