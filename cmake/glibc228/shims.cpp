// The three glibc symbols that GCC 12's static libstdc++ asks for and glibc
// 2.28 lacks, for wheels linked against glibc 2.28 (scripts/zig-c++). They are
// hidden inside the module: other libraries of the process keep the real ones.
#include <pthread.h>
#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

extern "C" {

// 2.32: libstdc++ skips atomic reference counts while it is non-zero. Zero
// means "maybe threaded": always atomic, which is always correct.
char __libc_single_threaded = 0;

// 2.36: std::random_device's default source.
std::uint32_t arc4random() {
  std::uint32_t value = 0;
  while (getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) {
    if (errno != EINTR) break;
  }
  return value;
}

// 2.30: std::condition_variable waits on the steady clock. The deadline is
// moved to the real-time clock of pthread_cond_timedwait, as libstdc++ does
// where pthread_cond_clockwait is missing; a wait may then end early or late
// by as much as the real-time clock is set during it.
int pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                           const struct timespec* deadline) {
  if (clock == CLOCK_REALTIME) return pthread_cond_timedwait(cond, mutex, deadline);
  timespec now{};
  timespec real{};
  clock_gettime(clock, &now);
  clock_gettime(CLOCK_REALTIME, &real);
  std::int64_t nanos = (static_cast<std::int64_t>(deadline->tv_sec) - now.tv_sec) * 1'000'000'000 +
                       (deadline->tv_nsec - now.tv_nsec) + real.tv_nsec;
  timespec at{};
  at.tv_sec = real.tv_sec + nanos / 1'000'000'000;
  at.tv_nsec = nanos % 1'000'000'000;
  if (at.tv_nsec < 0) {
    at.tv_nsec += 1'000'000'000;
    at.tv_sec -= 1;
  }
  return pthread_cond_timedwait(cond, mutex, &at);
}

}  // extern "C"
