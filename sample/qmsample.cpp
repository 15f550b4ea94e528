// The sample mail client: the main window against the servers given on the
// command line or in the environment (see qmSampleOptions.h).
#include <QMessageBox>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include <cstdio>

#include "core/qmException.h"
#include "core/qmVersion.h"
#include "sample/main.h"
#include "sample/qmSampleApplication.h"

namespace {

// Unattended run: once Check Mail's box (or an error box) is up, the
// screen goes to APath, the box is closed and the program quits; the exit
// status says whether Check Mail succeeded.
void ScreenshotWhenBoxShows(qm::TForm1& AForm, const QString& APath) {
  auto* Watch = new QTimer(&AForm);
  QObject::connect(Watch, &QTimer::timeout, [Watch, &AForm, APath] {
    auto* Box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!Box) return;
    Watch->stop();
    // Below the window, where it hides none of the list, when it fits.
    const QRect Frame = AForm.frameGeometry();
    const QRect Screen = AForm.screen()->availableGeometry();
    if (Frame.bottom() + 8 + Box->height() <= Screen.bottom())
      Box->move(Frame.center().x() - Box->width() / 2, Frame.bottom() + 8);
    // Let the box paint before the screen is read.
    QTimer::singleShot(300, Box, [Box, &AForm, APath] {
      QPixmap Shot = AForm.screen()->grabWindow(0);
      if (Shot.isNull()) Shot = AForm.grab();
      const bool Saved = Shot.save(APath, "PNG");
      const bool Failed = Box->objectName() == "qmExceptionBox";
      std::printf("%s\n%s\n", Box->text().toLocal8Bit().constData(),
                  Saved ? qPrintable("Screenshot written to " + APath)
                        : qPrintable("Could not write the screenshot " + APath));
      std::fflush(stdout);
      Box->accept();
      QCoreApplication::exit(Failed || !Saved ? 1 : 0);
    });
  });
  Watch->start(100);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication::setApplicationVersion(QString::fromLatin1(qm::LibraryVersion()));
  // Help and version need no display: they are answered before the GUI
  // application, which aborts without one, exists.
  for (int I = 1; I < argc; ++I) {
    const QString Arg = QString::fromLocal8Bit(argv[I]);
    if (Arg == "--help" || Arg == "-h" || Arg == "-?" || Arg == "--help-all" || Arg == "--version" || Arg == "-v") {
      QCoreApplication Core(argc, argv);
      qm::TqmSampleOptions().Load(Core.arguments());  // prints the text and exits
    }
  }
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
      qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    std::fprintf(stderr,
                 "qmsample: no display (neither DISPLAY nor WAYLAND_DISPLAY is set). Run it on a desktop, under "
                 "xvfb-run, or with QT_QPA_PLATFORM=offscreen; scripts/demo.sh does this for you.\n");
    return 1;
  }
  qm::TqmSampleApplication App(argc, argv);
  qm::TqmSampleOptions Options;
  try {
    Options.Load(App.arguments());
  } catch (const qm::Exception& E) {
    std::fprintf(stderr, "qmsample: %s\n", E.Message().c_str());
    return 2;
  }
  qm::TForm1 Form1;
  Form1.ApplyOptions(Options);
  Form1.show();
  if (!Options.Screenshot.isEmpty()) ScreenshotWhenBoxShows(Form1, Options.Screenshot);
  if (Options.CheckMail) QTimer::singleShot(200, &Form1, &qm::TForm1::btnCheckMailClick);
  return App.exec();
}
