// The glibc 2.28 shims of the wheel's build (cmake/glibc228), linked into a
// test of their own: here they stand in for this system's glibc, so a shim
// that waits on the wrong clock or never wakes shows without an old system.
#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <set>
#include <thread>

#include <gtest/gtest.h>

extern "C" std::uint32_t arc4random();

namespace {

using Clock = std::chrono::steady_clock;

timespec steady_in(std::chrono::milliseconds delay) {
  timespec at{};
  clock_gettime(CLOCK_MONOTONIC, &at);
  const auto nanos = at.tv_nsec + std::chrono::nanoseconds(delay).count();
  at.tv_sec += static_cast<time_t>(nanos / 1'000'000'000);
  at.tv_nsec = static_cast<long>(nanos % 1'000'000'000);
  return at;
}

struct Waiter {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
  bool ready = false;

  // wait: until ready or the steady deadline; the last wait's status.
  int wait(const timespec& deadline) {
    pthread_mutex_lock(&mutex);
    int status = 0;
    while (status == 0 && !ready) {
      status = pthread_cond_clockwait(&cond, &mutex, CLOCK_MONOTONIC, &deadline);
    }
    pthread_mutex_unlock(&mutex);
    return status;
  }
};

TEST(Glibc228Shims, ClockwaitTimesOutAtASteadyDeadline) {
  Waiter w;
  const timespec deadline = steady_in(std::chrono::milliseconds(80));
  const auto start = Clock::now();
  const int status = w.wait(deadline);
  const auto waited = Clock::now() - start;
  EXPECT_EQ(status, ETIMEDOUT);
  EXPECT_GE(waited, std::chrono::milliseconds(75));
  EXPECT_LT(waited, std::chrono::seconds(2));
}

TEST(Glibc228Shims, ClockwaitWakesWhenSignalled) {
  Waiter w;
  const timespec deadline = steady_in(std::chrono::seconds(10));
  std::thread signaller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pthread_mutex_lock(&w.mutex);
    w.ready = true;
    pthread_cond_signal(&w.cond);
    pthread_mutex_unlock(&w.mutex);
  });
  const auto start = Clock::now();
  const int status = w.wait(deadline);
  signaller.join();
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(w.ready);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

TEST(Glibc228Shims, Arc4randomDrawsFromTheSystem) {
  std::set<std::uint32_t> draws;
  for (int i = 0; i < 16; ++i) draws.insert(arc4random());
  EXPECT_GT(draws.size(), 8u);
}

}  // namespace
