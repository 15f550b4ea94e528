// The per-thread message queue: library timers, messages posted from other
// threads and an optional GUI pump. Waits of the transport go through
// Wait(), which watches the caller's file descriptors and the queue at once;
// dispatching is always the caller's decision.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace qm {

/// The window system's side of the queue. The sample installs one that runs
/// the Qt event loop; without one, timers and posted messages still work.
class TqmGuiPump {
 public:
  /// The queue does not own the pump.
  virtual ~TqmGuiPump() = default;
  /// True when window-system events wait to be dispatched.
  virtual bool HasPending() = 0;
  /// Dispatches the events that are waiting now (one batch).
  virtual void Dispatch() = 0;
  /// A descriptor that becomes readable when events arrive, or -1 to have
  /// HasPending polled every PollIntervalMs while waiting.
  virtual int WakeFd() const { return -1; }
  /// How often HasPending is polled without a WakeFd, in milliseconds (10).
  virtual int PollIntervalMs() const { return 10; }
};

/// One per thread (Current()): timers, messages posted from other threads
/// and the GUI pump. Nothing is dispatched behind the caller's back: only
/// DispatchOne, ProcessMessages and RunFor run handlers.
class TqmMessageQueue {
 public:
  /// Names a timer; never reused.
  using TTimerId = uint64_t;
  /// The clock of the timers.
  using TClock = std::chrono::steady_clock;
  /// How long busy sockets may keep waiting messages from Wait (see Wait).
  static constexpr std::chrono::milliseconds MaxMessageDelay{50};
  /// What ended a Wait: a descriptor's event, a message, the time-out.
  enum class TWaitResult { wrSignaled, wrMessage, wrTimeout };

  /// An empty queue (use Current() for the thread's own).
  TqmMessageQueue();
  /// Drops the timers and the messages still waiting.
  ~TqmMessageQueue();
  /// Not copyable.
  TqmMessageQueue(const TqmMessageQueue&) = delete;
  /// Not copyable.
  TqmMessageQueue& operator=(const TqmMessageQueue&) = delete;

  /// The calling thread's queue, created on first use.
  static TqmMessageQueue& Current();

  /// A repeating timer: AHandler runs every AInterval (at least 1 ms) when the
  /// queue dispatches. Ids are never reused. A killed timer never fires again,
  /// even when it was already due.
  TTimerId SetTimer(std::chrono::milliseconds AInterval, std::function<void()> AHandler);
  /// Stops a timer; false when there is no such timer.
  bool KillTimer(TTimerId AId);
  /// True while the timer exists.
  bool IsTimerActive(TTimerId AId) const;
  /// The number of timers.
  size_t TimerCount() const { return FTimers.size(); }

  /// Thread-safe: AHandler runs on the queue's thread at its next dispatch.
  /// The queue must outlive the call (it lives until its thread ends).
  void Post(std::function<void()> AHandler);

  /// The GUI pump (not owned); nullptr removes it.
  void SetGuiPump(TqmGuiPump* APump) { FPump = APump; }
  /// The GUI pump, or nullptr.
  TqmGuiPump* GuiPump() const { return FPump; }

  /// A posted message, a due timer or pending window-system events.
  bool HasPending();
  /// Dispatches one waiting message: posted messages first, then the timer
  /// that has been due longest, then one batch of the GUI pump. False when
  /// nothing was waiting.
  bool DispatchOne();
  /// Dispatches until nothing waits; returns the number dispatched.
  int ProcessMessages();
  /// Waits for and dispatches messages for ADuration (an idle application
  /// loop; used by programs without a GUI).
  void RunFor(std::chrono::milliseconds ADuration);

  /// Waits until one of AFds reports an event (their revents are filled), a
  /// message waits (only when AWatchMessages), or ATimeoutMs passes (negative:
  /// no limit). Never dispatches. Socket events win over messages, except
  /// that messages kept waiting for MaxMessageDelay by busy sockets win once.
  TWaitResult Wait(pollfd* AFds, size_t ACount, int ATimeoutMs, bool AWatchMessages);

  /// When the next timer is due; TClock::time_point::max() without timers.
  TClock::time_point NextTimerDue() const;

 private:
  struct TTimer {
    std::chrono::milliseconds Interval;
    TClock::time_point Due;
    std::shared_ptr<std::function<void()>> Handler;
  };
  bool TimerDue(TClock::time_point ANow) const;
  bool HasPosted();
  void DrainWakeFd();

  std::map<TTimerId, TTimer> FTimers;
  TTimerId FNextId = 1;
  TqmGuiPump* FPump = nullptr;
  // Since when waiting messages have lost to ready sockets.
  TClock::time_point FMessagesWaitingSince{};
  std::mutex FPostLock;
  std::deque<std::function<void()>> FPosted;
  int FWakeFd = -1;  // eventfd signalled by Post
};

}  // namespace qm
