#include "core/qmMessageQueue.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace qm;
using namespace std::chrono;
using TQueue = TqmMessageQueue;

namespace {
// Each test uses a queue of its own thread so that timers left behind by a
// failing test cannot leak into the next.
template <class F>
void OnFreshThread(F AFunc) {
  std::thread T(AFunc);
  T.join();
}

// A GUI pump whose events are counted; HasPending is polled.
class TCountingPump : public TqmGuiPump {
 public:
  int Pending = 0;
  int Dispatched = 0;
  bool HasPending() override { return Pending > 0; }
  void Dispatch() override {
    --Pending;
    ++Dispatched;
  }
  int PollIntervalMs() const override { return 2; }
};
}  // namespace

TEST(MessageQueueTest, TimersFireInDueOrderAndRepeat) {
  // Checked by order and by the clock, never by counts in a fixed window:
  // a loaded machine may hold the thread off for longer than any interval.
  OnFreshThread([] {
    TQueue& Q = TQueue::Current();
    struct TFire {
      bool Fast;
      steady_clock::time_point At;
    };
    std::vector<TFire> Log;
    const auto Start = steady_clock::now();
    Q.SetTimer(milliseconds(30), [&] { Log.push_back({false, steady_clock::now()}); });
    Q.SetTimer(milliseconds(10), [&] { Log.push_back({true, steady_clock::now()}); });
    int Slow = 0;
    while (Slow < 3 && steady_clock::now() - Start < seconds(10)) {
      Q.RunFor(milliseconds(5));
      Slow = 0;
      for (auto& F : Log) Slow += F.Fast ? 0 : 1;
    }
    ASSERT_GE(Slow, 3);
    // The earlier due timer goes first, also when both became due while the
    // thread was held off: each slow firing follows a fast one.
    int FastCount = 0, SlowCount = 0;
    bool FastSinceSlow = false;
    for (auto& F : Log) {
      // No timer fires before it is due: the k-th firing comes k intervals
      // after the start at the earliest.
      if (F.Fast)
        EXPECT_GE(F.At - Start, ++FastCount * milliseconds(10));
      else
        EXPECT_GE(F.At - Start, ++SlowCount * milliseconds(30));
      if (F.Fast) {
        FastSinceSlow = true;
      } else {
        EXPECT_TRUE(FastSinceSlow);
        FastSinceSlow = false;
      }
    }
  });
}

TEST(MessageQueueTest, KilledTimerNeverFiresEvenWhenAlreadyDue) {
  OnFreshThread([] {
    TQueue& Q = TQueue::Current();
    int A = 0, B = 0;
    TQueue::TTimerId IdB = 0;
    // A kills B when both are due in the same dispatch round.
    Q.SetTimer(milliseconds(5), [&] {
      ++A;
      Q.KillTimer(IdB);
    });
    IdB = Q.SetTimer(milliseconds(6), [&] { ++B; });
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_TRUE(Q.HasPending());
    Q.ProcessMessages();
    EXPECT_EQ(A, 1);
    EXPECT_EQ(B, 0);
    EXPECT_FALSE(Q.IsTimerActive(IdB));
    EXPECT_FALSE(Q.KillTimer(IdB));
    Q.RunFor(milliseconds(30));
    EXPECT_EQ(B, 0);

    // A timer that kills itself runs once.
    int Self = 0;
    TQueue::TTimerId IdSelf = 0;
    IdSelf = Q.SetTimer(milliseconds(1), [&] {
      ++Self;
      Q.KillTimer(IdSelf);
    });
    Q.RunFor(milliseconds(20));
    EXPECT_EQ(Self, 1);
  });
}

TEST(MessageQueueTest, WaitReportsSocketBeforeMessagesAndTimesOut) {
  OnFreshThread([] {
    TQueue& Q = TQueue::Current();
    int Sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, Sv), 0);
    pollfd Fd{Sv[0], POLLIN, 0};

    auto Start = steady_clock::now();
    EXPECT_EQ(Q.Wait(&Fd, 1, 30, true), TQueue::TWaitResult::wrTimeout);
    EXPECT_GE(steady_clock::now() - Start, milliseconds(30));

    int Fired = 0;
    auto Id = Q.SetTimer(milliseconds(5), [&] { ++Fired; });
    EXPECT_EQ(Q.Wait(&Fd, 1, 1000, true), TQueue::TWaitResult::wrMessage);
    EXPECT_EQ(Fired, 0);  // waiting never dispatches
    // Without watching messages the due timer does not end the wait.
    EXPECT_EQ(Q.Wait(&Fd, 1, 20, false), TQueue::TWaitResult::wrTimeout);

    ASSERT_EQ(write(Sv[1], "x", 1), 1);
    EXPECT_EQ(Q.Wait(&Fd, 1, 1000, true), TQueue::TWaitResult::wrSignaled);
    EXPECT_TRUE(Fd.revents & POLLIN);
    Q.KillTimer(Id);
    close(Sv[0]);
    close(Sv[1]);
  });
}

TEST(MessageQueueTest, BusySocketDelaysMessagesOnlyForALimitedTime) {
  OnFreshThread([] {
    TQueue& Q = TQueue::Current();
    int Sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, Sv), 0);
    ASSERT_EQ(write(Sv[1], "x", 1), 1);  // never read: always ready
    pollfd Fd{Sv[0], POLLIN, 0};
    int Fired = 0;
    auto Id = Q.SetTimer(milliseconds(1), [&] { ++Fired; });
    std::this_thread::sleep_for(milliseconds(5));
    const auto Start = steady_clock::now();
    EXPECT_EQ(Q.Wait(&Fd, 1, 1000, true), TQueue::TWaitResult::wrSignaled);
    int Signaled = 1;
    while (Q.Wait(&Fd, 1, 1000, true) == TQueue::TWaitResult::wrSignaled) ++Signaled;
    const auto Waited = steady_clock::now() - Start;
    EXPECT_GE(Waited, TQueue::MaxMessageDelay);
    EXPECT_LT(Waited, TQueue::MaxMessageDelay * 10);
    EXPECT_GT(Signaled, 1);
    // Once dispatched, the socket wins again.
    Q.ProcessMessages();
    EXPECT_GE(Fired, 1);
    std::this_thread::sleep_for(milliseconds(5));
    EXPECT_EQ(Q.Wait(&Fd, 1, 1000, true), TQueue::TWaitResult::wrSignaled);
    Q.KillTimer(Id);
    close(Sv[0]);
    close(Sv[1]);
  });
}

TEST(MessageQueueTest, PostFromAnotherThreadWakesTheWait) {
  OnFreshThread([] {
    TQueue& Q = TQueue::Current();
    std::atomic<int> Ran{0};
    std::thread Poster([&] {
      std::this_thread::sleep_for(milliseconds(20));
      Q.Post([&] { Ran += 1; });
    });
    auto Start = steady_clock::now();
    EXPECT_EQ(Q.Wait(nullptr, 0, 5000, true), TQueue::TWaitResult::wrMessage);
    EXPECT_LT(steady_clock::now() - Start, milliseconds(2000));
    Poster.join();
    EXPECT_EQ(Q.ProcessMessages(), 1);
    EXPECT_EQ(Ran.load(), 1);
    EXPECT_FALSE(Q.HasPending());
    // The wake-up was consumed: an idle wait times out instead of spinning.
    EXPECT_EQ(Q.Wait(nullptr, 0, 20, true), TQueue::TWaitResult::wrTimeout);
  });
}

TEST(MessageQueueTest, GuiPumpIsPolledAndDispatched) {
  OnFreshThread([] {
    TQueue& Q = TQueue::Current();
    TCountingPump Pump;
    Q.SetGuiPump(&Pump);
    EXPECT_EQ(Q.Wait(nullptr, 0, 10, true), TQueue::TWaitResult::wrTimeout);
    std::thread([&] {}).join();
    Pump.Pending = 3;
    EXPECT_EQ(Q.Wait(nullptr, 0, 1000, true), TQueue::TWaitResult::wrMessage);
    EXPECT_EQ(Q.ProcessMessages(), 3);
    EXPECT_EQ(Pump.Dispatched, 3);
    Q.SetGuiPump(nullptr);
    Pump.Pending = 1;
    EXPECT_FALSE(Q.HasPending());
  });
}
