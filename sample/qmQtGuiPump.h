// Joins the library's per-thread message queue and the Qt event loop.
//
// While the library waits for a socket, the queue asks this pump whether
// window-system events wait and lets it dispatch them, so the windows
// repaint, move and take input during a network operation. While Qt's own
// event loop runs, a Qt timer hands the library's due timers and posted
// messages to the queue, so the keep-alive timer ticks between operations.
#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>

#include "core/qmMessageQueue.h"

namespace qm {

class TqmQtGuiPump : public QObject, public TqmGuiPump {
  Q_OBJECT
 public:
  // Installs itself as the calling thread's pump; the thread must run a Qt
  // event loop (QApplication). Removed again when destroyed.
  explicit TqmQtGuiPump(QObject* AParent = nullptr);
  ~TqmQtGuiPump() override;

  bool HasPending() override;
  void Dispatch() override;
  int PollIntervalMs() const override { return kDispatchIntervalMs; }

 private:
  // Qt events are looked at this often while the library waits: Qt 6 has
  // no cheap "events pending" query, so the pump dispatches on a schedule.
  static constexpr int kDispatchIntervalMs = 20;
  // Between operations the library's queue is served at least this often.
  static constexpr int kIdleIntervalMs = 100;

  void IdleTick();
  void ArmIdleTimer();

  TqmMessageQueue& FQueue;
  QTimer FIdleTimer;
  std::chrono::steady_clock::time_point FLastDispatch;
  // Qt events are not dispatched from inside the idle tick (it already runs
  // in Qt's loop), and the idle tick does nothing inside a library wait
  // (the wait serves the queue itself).
  bool FInIdleTick = false;
  bool FInDispatch = false;
};

}  // namespace qm
