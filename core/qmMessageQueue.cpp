#include "core/qmMessageQueue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <vector>

#include "core/qmException.h"

namespace qm {

using namespace std::chrono;

TqmMessageQueue::TqmMessageQueue() {
  FWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (FWakeFd < 0)
    throw Exception(std::string("Cannot create the message queue: ") + std::strerror(errno));
}

TqmMessageQueue::~TqmMessageQueue() {
  if (FWakeFd >= 0) close(FWakeFd);
}

TqmMessageQueue& TqmMessageQueue::Current() {
  thread_local TqmMessageQueue Queue;
  return Queue;
}

TqmMessageQueue::TTimerId TqmMessageQueue::SetTimer(milliseconds AInterval,
                                                    std::function<void()> AHandler) {
  if (AInterval < milliseconds(1)) AInterval = milliseconds(1);
  TTimerId Id = FNextId++;
  FTimers[Id] = TTimer{AInterval, TClock::now() + AInterval,
                       std::make_shared<std::function<void()>>(std::move(AHandler))};
  return Id;
}

bool TqmMessageQueue::KillTimer(TTimerId AId) { return FTimers.erase(AId) > 0; }

bool TqmMessageQueue::IsTimerActive(TTimerId AId) const { return FTimers.count(AId) > 0; }

void TqmMessageQueue::Post(std::function<void()> AHandler) {
  {
    std::lock_guard<std::mutex> Guard(FPostLock);
    FPosted.push_back(std::move(AHandler));
  }
  uint64_t One = 1;
  // The counter cannot overflow in practice; a full counter still wakes.
  [[maybe_unused]] ssize_t N = write(FWakeFd, &One, sizeof One);
}

bool TqmMessageQueue::HasPosted() {
  std::lock_guard<std::mutex> Guard(FPostLock);
  return !FPosted.empty();
}

void TqmMessageQueue::DrainWakeFd() {
  uint64_t Value;
  while (read(FWakeFd, &Value, sizeof Value) > 0) {
  }
}

TqmMessageQueue::TClock::time_point TqmMessageQueue::NextTimerDue() const {
  auto Next = TClock::time_point::max();
  for (const auto& [Id, T] : FTimers)
    if (T.Due < Next) Next = T.Due;
  return Next;
}

bool TqmMessageQueue::TimerDue(TClock::time_point ANow) const { return NextTimerDue() <= ANow; }

bool TqmMessageQueue::HasPending() {
  // Without timers there is no clock to read.
  return HasPosted() || (!FTimers.empty() && TimerDue(TClock::now())) || (FPump && FPump->HasPending());
}

bool TqmMessageQueue::DispatchOne() {
  std::function<void()> Posted;
  {
    std::lock_guard<std::mutex> Guard(FPostLock);
    if (!FPosted.empty()) {
      Posted = std::move(FPosted.front());
      FPosted.pop_front();
    }
  }
  if (Posted) {
    DrainWakeFd();
    Posted();
    return true;
  }

  const auto Now = TClock::now();
  auto Earliest = FTimers.end();
  for (auto It = FTimers.begin(); It != FTimers.end(); ++It)
    if (It->second.Due <= Now && (Earliest == FTimers.end() || It->second.Due < Earliest->second.Due))
      Earliest = It;
  if (Earliest != FTimers.end()) {
    // Re-arm before the call: the handler may kill the timer, set others or
    // wait (and so dispatch) itself.
    Earliest->second.Due = Now + Earliest->second.Interval;
    auto Handler = Earliest->second.Handler;
    (*Handler)();
    return true;
  }

  if (FPump && FPump->HasPending()) {
    FPump->Dispatch();
    return true;
  }
  return false;
}

int TqmMessageQueue::ProcessMessages() {
  int N = 0;
  while (DispatchOne()) ++N;
  return N;
}

void TqmMessageQueue::RunFor(milliseconds ADuration) {
  const auto End = TClock::now() + ADuration;
  for (;;) {
    ProcessMessages();
    auto Left = duration_cast<milliseconds>(End - TClock::now());
    if (Left <= milliseconds(0)) return;
    Wait(nullptr, 0, static_cast<int>(Left.count()) + 1, true);
  }
}

TqmMessageQueue::TWaitResult TqmMessageQueue::Wait(pollfd* AFds, size_t ACount, int ATimeoutMs,
                                                   bool AWatchMessages) {
  const auto Start = TClock::now();
  const bool Infinite = ATimeoutMs < 0;
  const auto Deadline = Start + milliseconds(Infinite ? 0 : ATimeoutMs);

  // The caller's descriptors, then the queue's own; on the stack for the
  // usual few, so that a wait allocates nothing.
  pollfd Small[8];
  std::vector<pollfd> Large;
  pollfd* Fds = Small;
  if (ACount + 2 > std::size(Small)) {
    Large.resize(ACount + 2);
    Fds = Large.data();
  }
  std::copy(AFds, AFds + ACount, Fds);
  const size_t Own = ACount;
  size_t FdCount = ACount;
  if (AWatchMessages) {
    Fds[FdCount++] = pollfd{FWakeFd, POLLIN, 0};
    if (FPump && FPump->WakeFd() >= 0) Fds[FdCount++] = pollfd{FPump->WakeFd(), POLLIN, 0};
  }

  // The first round takes its time from Start: one clock read less on the
  // path every socket wait goes.
  bool First = true;
  for (;;) {
    if (AWatchMessages && HasPending()) {
      // A socket that is ready as well wins, as handles do over messages,
      // but only for so long: a peer that keeps the socket busy must not
      // keep the window from repainting or timers from firing.
      const auto Now = TClock::now();
      if (FMessagesWaitingSince == TClock::time_point()) FMessagesWaitingSince = Now;
      for (size_t I = 0; I < Own; ++I) Fds[I].revents = 0;
      if (Own > 0 && Now - FMessagesWaitingSince < MaxMessageDelay && poll(Fds, Own, 0) > 0) break;
      FMessagesWaitingSince = TClock::time_point();
      return TWaitResult::wrMessage;
    }
    FMessagesWaitingSince = TClock::time_point();

    const auto Now = First ? Start : TClock::now();
    First = false;
    auto Until = Infinite ? TClock::time_point::max() : Deadline;
    if (AWatchMessages) {
      Until = std::min(Until, NextTimerDue());
      if (FPump && FPump->WakeFd() < 0)
        Until = std::min(Until, Now + milliseconds(FPump->PollIntervalMs()));
    }
    int PollMs = -1;
    if (Until != TClock::time_point::max()) {
      // Round up so that a due timer is due when poll returns.
      auto Left = duration_cast<milliseconds>(Until - Now + microseconds(999));
      PollMs = Left.count() < 0 ? 0 : static_cast<int>(std::min<int64_t>(Left.count(), INT32_MAX));
    }

    for (size_t I = 0; I < FdCount; ++I) Fds[I].revents = 0;
    int R = poll(Fds, FdCount, PollMs);
    if (R < 0) {
      if (errno == EINTR) continue;
      throw Exception(std::string("poll failed: ") + std::strerror(errno));
    }
    if (AWatchMessages && Fds[Own].revents) DrainWakeFd();
    for (size_t I = 0; I < Own; ++I)
      if (Fds[I].revents) {
        for (size_t J = 0; J < Own; ++J) AFds[J].revents = Fds[J].revents;
        return TWaitResult::wrSignaled;
      }
    if (AWatchMessages && HasPending()) return TWaitResult::wrMessage;
    if (!Infinite && TClock::now() >= Deadline) return TWaitResult::wrTimeout;
  }
  for (size_t J = 0; J < Own; ++J) AFds[J].revents = Fds[J].revents;
  return TWaitResult::wrSignaled;
}

}  // namespace qm
