// Check Mail of the sample against a POP3 server, timed, while a Qt timer
// measures how long the event loop goes without running (the longest gap
// between two of its 2 ms ticks). Run by bench_sample_checkmail.sh.
//
//   sample_checkmail_gap HOST PORT USER PASSWORD
// prints: messages=N total_ms=T longest_gap_ms=G ticks=K
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>

#include <chrono>
#include <cstdio>

#include "sample/main.h"
#include "sample/qmSampleApplication.h"

namespace {

using Clock = std::chrono::steady_clock;

// Presses OK on the completion box as soon as it shows.
class BoxCloser : public QObject {
 public:
  QString Text;

 protected:
  bool eventFilter(QObject* AObject, QEvent* AEvent) override {
    if (AEvent->type() == QEvent::Show) {
      if (auto* Box = qobject_cast<QMessageBox*>(AObject)) {
        Text = Box->text();
        QTimer::singleShot(0, Box, [Box] { Box->accept(); });
      }
    }
    return false;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  qm::TqmSampleApplication App(argc, argv);
  if (argc != 5) {
    std::fprintf(stderr, "usage: sample_checkmail_gap HOST PORT USER PASSWORD\n");
    return 2;
  }
  qm::TForm1 Form;
  Form.edtPop3Server->setText(argv[1]);
  Form.edtPop3Port->setValue(QString(argv[2]).toInt());
  Form.edtUser->setText(argv[3]);
  Form.edtPassword->setText(argv[4]);
  Form.show();

  BoxCloser Closer;
  App.installEventFilter(&Closer);

  Clock::time_point Last = Clock::now();
  Clock::duration Longest{};
  long Ticks = 0;
  bool Measuring = false;
  QTimer Beat;
  QObject::connect(&Beat, &QTimer::timeout, [&] {
    const auto Now = Clock::now();
    if (Measuring) {
      Longest = std::max(Longest, Now - Last);
      ++Ticks;
    }
    Last = Now;
  });
  Beat.start(2);

  Clock::duration Total{};
  QTimer::singleShot(50, [&] {
    Measuring = true;
    Last = Clock::now();
    const auto Start = Clock::now();
    Form.btnCheckMailClick();
    Total = Clock::now() - Start;
    // The gap up to the end of the handler counts too.
    Longest = std::max(Longest, Clock::now() - Last);
    Measuring = false;
    App.quit();
  });
  App.exec();

  using std::chrono::duration;
  std::printf("messages=%d total_ms=%.1f longest_gap_ms=%.1f ticks=%ld\n", Form.lbMessages->count(),
              duration<double, std::milli>(Total).count(), duration<double, std::milli>(Longest).count(), Ticks);
  std::fprintf(stderr, "%s\n", Closer.Text.toLocal8Bit().constData());
  return Closer.Text.startsWith("Collecting completed") ? 0 : 1;
}
