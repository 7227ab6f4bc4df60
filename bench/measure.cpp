// Runs one command and writes what it cost to a report file, for bench/run:
// one line "WALL_US USER_US SYS_US MAXRSS_KIB", the wall time from just
// before the spawn to the end of the wait, the child's CPU times and its
// maximum resident set size (ru_maxrss of wait4). The command inherits the
// standard streams and the environment. Exits with the command's status
// (128 + N after signal N), or 127 when it cannot be started.
//
// Usage: measure REPORT COMMAND [ARGUMENT...]
//
// The peak counts from the spawn, so it never reads below this program's
// own small resident set (C library only, no C++ streams).
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

extern char** environ;

namespace {

long long microseconds(const timespec& t) {
  return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

long long microseconds(const timeval& t) {
  return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_usec;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: measure REPORT COMMAND [ARGUMENT...]\n", stderr);
    return 2;
  }
  const char* report = argv[1];
  timespec start{};
  timespec end{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t child = 0;
  const int spawned =
      posix_spawnp(&child, argv[2], nullptr, nullptr, argv + 2, environ);
  if (spawned != 0) {
    std::fprintf(stderr, "measure: cannot run %s: %s\n", argv[2],
                 std::strerror(spawned));
    return 127;
  }
  int status = 0;
  rusage usage{};
  while (wait4(child, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      std::perror("measure: wait4");
      return 127;
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &end);

  std::FILE* out = std::fopen(report, "w");
  if (out == nullptr) {
    std::perror(report);
    return 127;
  }
  std::fprintf(out, "%lld %lld %lld %ld\n",
               microseconds(end) - microseconds(start),
               microseconds(usage.ru_utime), microseconds(usage.ru_stime),
               usage.ru_maxrss);
  if (std::fclose(out) != 0) {
    std::perror(report);
    return 127;
  }
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}
