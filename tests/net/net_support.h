// Helpers for the tests of ostrel and penvik: child processes with captured
// standard output and standard error, loopback sockets with bounded waits, and
// checks of the programs' progress lines.
//
// Every wait here has a deadline; a child still running at the end of a test is
// killed. Nothing leaves 127.0.0.1.
#ifndef KALTRO_NET_SUPPORT_H
#define KALTRO_NET_SUPPORT_H

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

// The build's emulator command (words separated by blanks), empty when the
// programs run natively.
#ifndef NET_EMULATOR
#define NET_EMULATOR ""
#endif

namespace net {

// Bound for any single wait (a connect, a reply, a process end). Generous for
// the sanitizer build on a loaded machine; a passing test never gets near it.
constexpr int kWaitMs = 10000;

using Clock = std::chrono::steady_clock;

inline void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The command line that starts args: through the emulator, if there is one.
inline std::vector<std::string> command_line(const std::vector<std::string>& args) {
  std::vector<std::string> cmd;
  std::string emulator = NET_EMULATOR;
  size_t pos = 0;
  while (pos < emulator.size()) {
    size_t end = emulator.find(' ', pos);
    if (end == std::string::npos)
      end = emulator.size();
    if (end > pos)
      cmd.push_back(emulator.substr(pos, end - pos));
    pos = end + 1;
  }
  cmd.insert(cmd.end(), args.begin(), args.end());
  return cmd;
}

// A child process whose standard output and standard error are read by a
// thread of their own; standard input is /dev/null.
class Proc {
 public:
  explicit Proc(const std::vector<std::string>& program_args) {
    const std::vector<std::string> args = command_line(program_args);
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0)
      return;
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
      close(out_pipe[0]);
      close(out_pipe[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    std::vector<char*> argv;
    for (const std::string& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (rc != 0) {
      close(out_pipe[0]);
      close(err_pipe[0]);
      ADD_FAILURE() << "posix_spawn " << args[0] << ": " << std::strerror(rc);
      return;
    }
    pid_ = pid;
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
    reader_ = std::thread([this] { read_loop(); });
  }

  Proc(const Proc&) = delete;
  Proc& operator=(const Proc&) = delete;

  ~Proc() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      reap(0);
    }
    if (reader_.joinable())
      reader_.join();
  }

  bool started() const { return pid_ > 0; }

  // True while the child has not ended (reaps it when it has).
  bool running() {
    if (pid_ <= 0 || reaped_)
      return false;
    return !reap(WNOHANG);
  }

  // Waits at most ms for the child to end and for all its output; a child still
  // running then is killed and reported. Returns the exit status, or 1000 plus
  // the signal number for a child ended by a signal.
  int finish(int ms = kWaitMs) {
    if (pid_ <= 0)
      return -1;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!reaped_ && !reap(WNOHANG) && Clock::now() < deadline)
      sleep_ms(2);
    if (!reaped_) {
      ADD_FAILURE() << "child did not end within " << ms << " ms; killed";
      kill(pid_, SIGKILL);
      reap(0);
    }
    if (reader_.joinable())
      reader_.join();
    return code_;
  }

  // Waits at most ms until standard output holds needle; false if it never did.
  bool wait_out(const std::string& needle, int ms = kWaitMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(ms),
                 [&] { return out_.find(needle) != std::string::npos || eof_; });
    return out_.find(needle) != std::string::npos;
  }

  std::string out() {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
  }
  std::string err() {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
  }
  int code() const { return code_; }

 private:
  bool reap(int flags) {
    int status = 0;
    pid_t r;
    do {
      r = waitpid(pid_, &status, flags);
    } while (r < 0 && errno == EINTR);
    if (r != pid_)
      return false;
    reaped_ = true;
    if (WIFEXITED(status))
      code_ = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
      code_ = 1000 + WTERMSIG(status);
    return true;
  }

  // Ends when both pipes reach end of file, that is when the child has ended.
  void read_loop() {
    struct pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    int open_fds = 2;
    char buf[4096];
    while (open_fds > 0) {
      int r = poll(fds, 2, 200);
      if (r < 0 && errno != EINTR)
        break;
      for (int i = 0; i < 2; i++) {
        if (fds[i].fd < 0 || fds[i].revents == 0)
          continue;
        ssize_t n = read(fds[i].fd, buf, sizeof(buf));
        if (n > 0) {
          std::lock_guard<std::mutex> lock(mutex_);
          (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(n));
          cv_.notify_all();
        } else if (n == 0 || errno != EINTR) {
          close(fds[i].fd);
          fds[i].fd = -1;
          open_fds--;
        }
      }
    }
    for (struct pollfd& p : fds)
      if (p.fd >= 0)
        close(p.fd);
    std::lock_guard<std::mutex> lock(mutex_);
    eof_ = true;
    cv_.notify_all();
  }

  pid_t pid_ = -1;
  bool reaped_ = false;
  int code_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::string out_;
  std::string err_;
  bool eof_ = false;
};

// Closes a descriptor at the end of a scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  void reset(int fd = -1) {
    if (fd_ >= 0)
      close(fd_);
    fd_ = fd;
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

inline sockaddr_in ipv4(uint32_t host_order_addr, int port) {
  sockaddr_in a;
  std::memset(&a, 0, sizeof(a));
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(host_order_addr);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

// A TCP socket whose blocking sends and receives give up after kWaitMs.
inline int tcp_socket() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    timeval tv;
    tv.tv_sec = kWaitMs / 1000;
    tv.tv_usec = 0;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  }
  return fd;
}

inline int local_port(int fd) {
  sockaddr_in a;
  socklen_t len = sizeof(a);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return -1;
  return ntohs(a.sin_port);
}

// A port that was free a moment ago on every local address: bound with port 0,
// read back and released. Callers retry when another process takes it first.
inline int free_port() {
  Fd fd(tcp_socket());
  sockaddr_in a = ipv4(INADDR_ANY, 0);
  if (fd.get() < 0 || bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
    return -1;
  return local_port(fd.get());
}

// Connects to 127.0.0.1:port, retrying every few milliseconds while the
// connection is refused and proc still runs, for at most ms. -1 on failure.
inline int connect_while_refused(int port, Proc& proc, int ms = kWaitMs) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < deadline) {
    int fd = tcp_socket();
    if (fd < 0)
      return -1;
    sockaddr_in a = ipv4(INADDR_LOOPBACK, port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0)
      return fd;
    int e = errno;
    close(fd);
    if (e != ECONNREFUSED || !proc.running())
      return -1;
    sleep_ms(5);
  }
  return -1;
}

inline bool send_all(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) {
      if (n < 0 && errno == EINTR)
        continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Receives until the peer closes, a receive fails or ms have passed.
// *how: 0 end of file, otherwise the error number (ETIMEDOUT for the deadline).
inline std::string recv_until_eof(int fd, int* how = nullptr, int ms = kWaitMs) {
  std::string data;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  int result = ETIMEDOUT;
  char buf[8192];
  for (;;) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (left <= 0)
      break;
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, left);
    if (r < 0 && errno == EINTR)
      continue;
    if (r <= 0)
      break;
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n > 0) {
      data.append(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      result = 0;
      break;
    } else if (errno != EINTR) {
      result = errno;
      break;
    }
  }
  if (how)
    *how = result;
  return data;
}

// Receives exactly n bytes within ms.
inline bool recv_exact(int fd, size_t n, std::string* data, int ms = kWaitMs) {
  data->clear();
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  char buf[8192];
  while (data->size() < n) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (left <= 0)
      return false;
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, left);
    if (r < 0 && errno == EINTR)
      continue;
    if (r <= 0)
      return false;
    size_t want = n - data->size() < sizeof(buf) ? n - data->size() : sizeof(buf);
    ssize_t got = recv(fd, buf, want, 0);
    if (got <= 0)
      return false;
    data->append(buf, static_cast<size_t>(got));
  }
  return true;
}

// A process-wide mutex across test runs on this machine: an abstract Unix
// socket name that only one process can hold; released when the process ends.
class MachineLock {
 public:
  explicit MachineLock(const std::string& name, int ms = 20000) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0)
        return;
      sockaddr_un a;
      std::memset(&a, 0, sizeof(a));
      a.sun_family = AF_UNIX;
      std::snprintf(a.sun_path + 1, sizeof(a.sun_path) - 1, "%s", name.c_str());
      socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
      if (bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0) {
        fd_.reset(fd);
        return;
      }
      close(fd);
      if (Clock::now() >= deadline)
        return;
      sleep_ms(20);
    }
  }
  bool held() const { return fd_.get() >= 0; }

 private:
  Fd fd_;
};

// ---- the programs' texts ----

inline std::string errno_text(int e) { return std::strerror(e); }

inline std::string perror_line(const std::string& prepared, int e) {
  return prepared + ": " + errno_text(e) + "\n";
}

inline std::string setup_failure(const std::string& call, int e) {
  return call + " failed, Err: " + std::to_string(e) + " \"" + errno_text(e) + "\"\n";
}

inline std::string ostrel_head(int client_port) {
  return "socket()\nsetsockopt()\nbind()\nlisten()\naccept()\nconnection from 127.0.0.1 : " +
         std::to_string(client_port) + "\nread()\n";
}

inline std::string letti(int n, int total) {
  return "letti " + std::to_string(n) + " bytes    tot=" + std::to_string(total) + "\n";
}

inline const std::string& penvik_head() {
  static const std::string head =
      "socket()\nsetsockopt()\nbind()\nconnect()\ndopo connect()\nwrite()\nread()\n";
  return head;
}

inline std::string penvik_progress(int n, int nread) {
  return "read effettuata, risultato n=" + std::to_string(n) +
         "  len=100 nread=" + std::to_string(nread) + "\tlen-nread=" + std::to_string(100 - nread) +
         "\n";
}

// Checks that block is a run of ostrel progress lines, each read asking for at
// most 100 bytes, whose running totals end at total.
inline ::testing::AssertionResult ostrel_progress_ok(const std::string& block, int total) {
  size_t pos = 0;
  int held = 0;
  int lines = 0;
  while (pos < block.size()) {
    size_t end = block.find('\n', pos);
    if (end == std::string::npos)
      return ::testing::AssertionFailure() << "unterminated line at " << pos;
    std::string line = block.substr(pos, end - pos + 1);
    int n = 0;
    int tot = 0;
    if (std::sscanf(line.c_str(), "letti %d bytes    tot=%d", &n, &tot) != 2 ||
        line != letti(n, tot))
      return ::testing::AssertionFailure() << "bad progress line: " << line;
    if (n < 1 || n > 100 || tot != held + n)
      return ::testing::AssertionFailure() << "inconsistent progress line: " << line;
    held = tot;
    lines++;
    pos = end + 1;
  }
  if (held != total || lines == 0)
    return ::testing::AssertionFailure() << "progress ends at " << held << ", not " << total;
  return ::testing::AssertionSuccess();
}

// Checks that block is a run of penvik progress lines ending at nread=total.
inline ::testing::AssertionResult penvik_progress_ok(const std::string& block, int total) {
  size_t pos = 0;
  int nread = 0;
  while (pos < block.size()) {
    size_t end = block.find('\n', pos);
    if (end == std::string::npos)
      return ::testing::AssertionFailure() << "unterminated line at " << pos;
    std::string line = block.substr(pos, end - pos + 1);
    int n = 0;
    if (std::sscanf(line.c_str(), "read effettuata, risultato n=%d", &n) != 1 ||
        line != penvik_progress(n, nread + n) || n < 1)
      return ::testing::AssertionFailure() << "bad progress line: " << line;
    nread += n;
    pos = end + 1;
  }
  if (nread != total)
    return ::testing::AssertionFailure() << "progress ends at " << nread << ", not " << total;
  return ::testing::AssertionSuccess();
}

}  // namespace net

#endif  // KALTRO_NET_SUPPORT_H
