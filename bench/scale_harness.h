// The scaling table's harness: settings from the command line, the table's
// cell formats, peak memory, and cases run in forked children with a
// time-out.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace quor::bench::scale {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------- settings

struct Settings {
  bool full = true;
  std::vector<std::string> sections;  // empty: all
  std::vector<std::string> cases;     // empty: all
  double timeout_s = 60;
  int reps = 5;
  fs::path dir;
  bool keep_dir = false;
  std::pair<std::string, std::string> joint{"price", "quantity"};
};

inline Settings g;

inline bool section_on(const std::string& s) {
  return g.sections.empty() || std::find(g.sections.begin(), g.sections.end(), s) != g.sections.end();
}

inline bool case_on(const std::string& name) {
  if (g.cases.empty()) return true;
  for (const auto& c : g.cases)
    if (name.find(c) != std::string::npos) return true;
  return false;
}

// ---------------------------------------------------------------- formatting

inline std::string fmt_time(double s) {
  char buf[32];
  if (s < 1e-3)
    std::snprintf(buf, sizeof buf, "%.0f us", s * 1e6);
  else if (s < 1.0)
    std::snprintf(buf, sizeof buf, "%.2f ms", s * 1e3);
  else
    std::snprintf(buf, sizeof buf, "%.2f s", s);
  return buf;
}

inline std::string fmt_mb(double kb) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.0f MB", kb / 1024.0);
  return buf;
}

inline std::string fmt_count(uint64_t n) {
  if (n >= 1000000 && n % 1000000 == 0) return std::to_string(n / 1000000) + " M";
  if (n >= 1000 && n % 1000 == 0) return std::to_string(n / 1000) + " k";
  return std::to_string(n);
}

inline void print_row(const std::string& section, const std::string& name, const std::string& size,
               const std::string& time, const std::string& peak, const std::string& note) {
  std::printf("%-11s %-50s %-10s %11s %9s  %s\n", section.c_str(), name.c_str(), size.c_str(),
              time.c_str(), peak.c_str(), note.c_str());
  std::fflush(stdout);
}

// ---------------------------------------------------------------- memory

// A field of /proc/self/status in kB, or 0.
inline long status_kb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, n, field) == 0) return std::atol(line.c_str() + n);
  return 0;
}

// Resets the peak-RSS mark of this process; false where the kernel lacks it.
inline bool reset_peak() {
  std::FILE* f = std::fopen("/proc/self/clear_refs", "w");
  if (f == nullptr) return false;
  const bool ok = std::fputs("5", f) >= 0;
  return std::fclose(f) == 0 && ok;
}

// ---------------------------------------------------------------- child runs

// What a child sends back, one line each: READY (set-up done, the time-out
// starts) and ROW <time>\t<peak>\t<note>.
struct Child {
  int fd;
  void ready() const { send("READY\n"); }
  void row(const std::string& time, const std::string& peak, const std::string& note) const {
    send("ROW\t" + time + "\t" + peak + "\t" + note + "\n");
  }
  void fail(const std::string& what) const { row("error", "-", what); }
  void send(const std::string& s) const {
    size_t off = 0;
    while (off < s.size()) {
      const ssize_t w = ::write(fd, s.data() + off, s.size() - off);
      if (w <= 0) return;
      off += static_cast<size_t>(w);
    }
  }
};

// Runs `body` in a forked child and prints one table row per ROW line. Set-up
// (until READY) may take up to ten minutes; from READY on the case has
// g.timeout_s. A killed or crashed child prints one row saying so.
inline void run_child(const std::string& section, const std::string& name, const std::string& size,
               const std::function<void(const Child&)>& body) {
  if (!case_on(name)) return;
  int p[2];
  if (::pipe(p) != 0) {
    std::perror("pipe");
    std::exit(2);
  }
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid < 0) {
    std::perror("fork");
    std::exit(2);
  }
  if (pid == 0) {
    ::close(p[0]);
    body(Child{p[1]});
    ::close(p[1]);
    std::_Exit(0);
  }
  ::close(p[1]);
  ::fcntl(p[0], F_SETFL, O_NONBLOCK);
  std::string buffer;
  auto deadline = Clock::now() + std::chrono::seconds(600);
  bool timed_out = false, rows = false, ready = false;
  auto drain = [&] {
    char chunk[4096];
    for (;;) {
      const ssize_t r = ::read(p[0], chunk, sizeof chunk);
      if (r <= 0) break;
      buffer.append(chunk, static_cast<size_t>(r));
    }
    size_t nl;
    while ((nl = buffer.find('\n')) != std::string::npos) {
      std::string line = buffer.substr(0, nl);
      buffer.erase(0, nl + 1);
      if (line == "READY") {
        ready = true;
        deadline = Clock::now() + std::chrono::milliseconds(static_cast<long>(g.timeout_s * 1000));
      } else if (line.rfind("ROW\t", 0) == 0) {
        std::vector<std::string> f;
        size_t start = 4, tab;
        while ((tab = line.find('\t', start)) != std::string::npos) {
          f.push_back(line.substr(start, tab - start));
          start = tab + 1;
        }
        f.push_back(line.substr(start));
        f.resize(3);
        print_row(section, name, size, f[0], f[1], f[2]);
        rows = true;
      }
    }
  };
  int status = 0;
  for (;;) {
    struct pollfd pfd {p[0], POLLIN, 0};
    ::poll(&pfd, 1, 20);
    drain();
    const pid_t w = ::waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (Clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      timed_out = true;
      break;
    }
  }
  drain();
  ::close(p[0]);
  if (timed_out) {
    char t[32];
    std::snprintf(t, sizeof t, ">%.0f s", g.timeout_s);
    print_row(section, name, size, ready ? t : "setup>600 s", "-", "killed at the time-out");
  } else if (!rows) {
    std::string why = WIFSIGNALED(status) ? "child died of signal " + std::to_string(WTERMSIG(status))
                                          : "child exited " + std::to_string(WEXITSTATUS(status));
    print_row(section, name, size, "error", "-", why);
  }
}

// Runs `body` in a child and waits for it (data generation that allocates).
inline bool run_setup(const std::function<bool()>& body) {
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid == 0) std::_Exit(body() ? 0 : 1);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

inline double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace quor::bench::scale
