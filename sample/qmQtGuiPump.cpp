#include "sample/qmQtGuiPump.h"

#include <QCoreApplication>

#include <algorithm>

namespace qm {

using namespace std::chrono;

namespace {

// Sets a flag for the lifetime of a scope, also when an exception leaves it.
class TFlagScope {
 public:
  explicit TFlagScope(bool& AFlag) : FFlag(AFlag), FOld(AFlag) { FFlag = true; }
  ~TFlagScope() { FFlag = FOld; }
  TFlagScope(const TFlagScope&) = delete;
  TFlagScope& operator=(const TFlagScope&) = delete;

 private:
  bool& FFlag;
  bool FOld;
};

}  // namespace

TqmQtGuiPump::TqmQtGuiPump(QObject* AParent)
    : QObject(AParent), FQueue(TqmMessageQueue::Current()), FLastDispatch(steady_clock::now()) {
  FQueue.SetGuiPump(this);
  FIdleTimer.setSingleShot(true);
  connect(&FIdleTimer, &QTimer::timeout, this, &TqmQtGuiPump::IdleTick);
  ArmIdleTimer();
}

TqmQtGuiPump::~TqmQtGuiPump() {
  if (FQueue.GuiPump() == this) FQueue.SetGuiPump(nullptr);
}

bool TqmQtGuiPump::HasPending() {
  if (FInIdleTick || FInDispatch) return false;
  return steady_clock::now() - FLastDispatch >= milliseconds(kDispatchIntervalMs);
}

void TqmQtGuiPump::Dispatch() {
  TFlagScope Guard(FInDispatch);
  FLastDispatch = steady_clock::now();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  FLastDispatch = steady_clock::now();
}

void TqmQtGuiPump::IdleTick() {
  // Armed first: a handler that throws must not stop the ticking.
  FIdleTimer.start(kIdleIntervalMs);
  if (!FInDispatch) {
    TFlagScope Guard(FInIdleTick);
    FQueue.ProcessMessages();
  }
  ArmIdleTimer();
}

void TqmQtGuiPump::ArmIdleTimer() {
  // Wake when the library's next timer is due, and at least every
  // kIdleIntervalMs for messages posted from other threads.
  auto Left = duration_cast<milliseconds>(FQueue.NextTimerDue() - steady_clock::now() + microseconds(999));
  if (FQueue.NextTimerDue() == steady_clock::time_point::max()) Left = milliseconds(kIdleIntervalMs);
  int Ms = static_cast<int>(std::clamp<int64_t>(Left.count(), 0, kIdleIntervalMs));
  FIdleTimer.start(Ms);
}

}  // namespace qm
