// The benchmarks' measurement harness: each measured run is a child
// process, so that its CPU seconds and peak memory are its own (wait4 or
// getrusage), and peers started by a shell command are measured the same
// way as our own code.
#pragma once

#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>
#include <string>

namespace qmbench {

using Clock = std::chrono::steady_clock;

struct TResult {
  double Wall = 0, Cpu = 0;
  long PeakKb = 0;
  bool Ok = false;
};

inline double Seconds(const timeval& A) {
  return static_cast<double>(A.tv_sec) + static_cast<double>(A.tv_usec) / 1e6;
}

// Pins this process, and every process it starts, to one CPU. False (the
// reason printed) when the system refuses.
inline bool PinToCpu(int ACpu) {
  cpu_set_t Set;
  CPU_ZERO(&Set);
  CPU_SET(ACpu, &Set);
  if (sched_setaffinity(0, sizeof Set, &Set) == 0) return true;
  std::perror("sched_setaffinity");
  return false;
}

// CPU seconds and peak memory of this process so far (Wall is left 0).
inline TResult SelfUsage() {
  rusage Usage{};
  getrusage(RUSAGE_SELF, &Usage);
  TResult R;
  R.Cpu = Seconds(Usage.ru_utime) + Seconds(Usage.ru_stime);
  R.PeakKb = Usage.ru_maxrss;
  R.Ok = true;
  return R;
}

// Runs ABody in a child process; its own exit code 0 means success.
inline TResult Measure(const std::function<int()>& ABody) {
  std::fflush(nullptr);
  const auto Start = Clock::now();
  const pid_t Pid = fork();
  if (Pid == 0) {
    int Rc = 1;
    try {
      Rc = ABody();
    } catch (const std::exception& E) {
      std::fprintf(stderr, "error: %s\n", E.what());
    }
    std::fflush(nullptr);
    _exit(Rc);
  }
  int Status = 0;
  rusage Usage{};
  wait4(Pid, &Status, 0, &Usage);
  TResult R;
  R.Wall = std::chrono::duration<double>(Clock::now() - Start).count();
  R.Cpu = Seconds(Usage.ru_utime) + Seconds(Usage.ru_stime);
  R.PeakKb = Usage.ru_maxrss;
  R.Ok = WIFEXITED(Status) && WEXITSTATUS(Status) == 0;
  return R;
}

// Runs APrepare and then ABody in a child process and measures ABody
// alone: the child takes its own wall clock and getrusage around it and
// sends the differences back. The peak memory is the child's whole peak.
inline TResult MeasureAfter(const std::function<void()>& APrepare, const std::function<int()>& ABody) {
  int Pipe[2];
  if (pipe(Pipe) != 0) return TResult{};
  std::fflush(nullptr);
  const pid_t Pid = fork();
  if (Pid == 0) {
    close(Pipe[0]);
    TResult R;
    try {
      APrepare();
      rusage Before{}, After{};
      getrusage(RUSAGE_SELF, &Before);
      const auto Start = Clock::now();
      R.Ok = ABody() == 0;
      R.Wall = std::chrono::duration<double>(Clock::now() - Start).count();
      getrusage(RUSAGE_SELF, &After);
      R.Cpu = Seconds(After.ru_utime) + Seconds(After.ru_stime) - Seconds(Before.ru_utime) -
              Seconds(Before.ru_stime);
      R.PeakKb = After.ru_maxrss;
    } catch (const std::exception& E) {
      std::fprintf(stderr, "error: %s\n", E.what());
      R.Ok = false;
    }
    [[maybe_unused]] ssize_t N = write(Pipe[1], &R, sizeof R);
    std::fflush(nullptr);
    _exit(0);
  }
  close(Pipe[1]);
  TResult R;
  if (read(Pipe[0], &R, sizeof R) != static_cast<ssize_t>(sizeof R)) R = TResult{};
  close(Pipe[0]);
  int Status = 0;
  waitpid(Pid, &Status, 0);
  return R;
}

// Runs ACommand with /bin/sh in a measured child.
inline TResult MeasureCommand(const std::string& ACommand) {
  return Measure([&] { return execl("/bin/sh", "sh", "-c", ACommand.c_str(), static_cast<char*>(nullptr)); });
}

}  // namespace qmbench
