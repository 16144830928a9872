#include "tests/ptyrun.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace {

using clk = std::chrono::steady_clock;

int msleft(clk::time_point end) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clk::now()).count();
  return left > 0 ? int(left) : 0;
}

// Reads what is available within `ms`; false once the other side is gone.
bool readsome(int fd, std::string& out, int ms) {
  pollfd pfd{fd, POLLIN, 0};
  if (poll(&pfd, 1, ms) <= 0) return true;
  char buf[4096];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n <= 0) return false;
  out.append(buf, size_t(n));
  return true;
}

int reap(pid_t pid, int ms) {
  if (pid <= 0) return -1;
  auto end = clk::now() + std::chrono::milliseconds(ms);
  for (;;) {
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    if (clk::now() >= end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

struct termios cooked() {
  struct termios t;
  std::memset(&t, 0, sizeof t);
  t.c_iflag = ICRNL | IXON | BRKINT | IMAXBEL;
  t.c_oflag = 0;
  t.c_cflag = CS8 | CREAD | B38400;
  t.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN | ECHOCTL | ECHOKE;
  t.c_cc[VINTR] = 3;
  t.c_cc[VQUIT] = 28;
  t.c_cc[VERASE] = 127;
  t.c_cc[VKILL] = 21;
  t.c_cc[VEOF] = 4;
  t.c_cc[VMIN] = 1;
  t.c_cc[VSTART] = 17;
  t.c_cc[VSTOP] = 19;
  t.c_cc[VSUSP] = 26;
  cfsetspeed(&t, B38400);
  return t;
}

bool ptystart(ptyrun& p, const char* path, const struct termios& tio) {
  const char* argv[] = {path, nullptr};
  return ptystart(p, argv, tio);
}

bool ptystart(ptyrun& p, const char* const argv[], const struct termios& tio) {
  struct termios t = tio;
  struct winsize ws {
    24, 80, 0, 0
  };
  p.pid = forkpty(&p.master, nullptr, &t, &ws);
  if (p.pid < 0) return false;
  if (p.pid == 0) {
    execvp(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  return true;
}

void ptytype(ptyrun& p, const std::string& bytes) {
  if (write(p.master, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
    p.out += "<write failed>";
}

bool ptyexpect(ptyrun& p, const std::string& want, int ms) {
  auto end = clk::now() + std::chrono::milliseconds(ms);
  while (p.out.find(want) == std::string::npos) {
    if (msleft(end) == 0 || !readsome(p.master, p.out, msleft(end))) return false;
  }
  return true;
}

void ptydrain(ptyrun& p, int ms) {
  auto end = clk::now() + std::chrono::milliseconds(ms);
  while (msleft(end) > 0 && readsome(p.master, p.out, msleft(end))) {
  }
}

int ptywait(ptyrun& p, int ms) {
  if (p.pid <= 0) return -1;
  int status = reap(p.pid, ms);
  if (status != -1) p.pid = -1;
  return status;
}

void ptystop(ptyrun& p) {
  if (p.pid > 0) {
    kill(p.pid, SIGKILL);
    reap(p.pid, 5000);
    p.pid = -1;
  }
  if (p.master >= 0) close(p.master);
  p.master = -1;
}

int runwith(const char* path, int infd, std::string& out, int ms) {
  int pipefd[2];
  if (pipe(pipefd) != 0) return -1;
  pid_t pid = fork();
  if (pid < 0) {
    close(pipefd[0]);
    close(pipefd[1]);
    return -1;
  }
  if (pid == 0) {
    dup2(infd, 0);
    dup2(pipefd[1], 1);
    close(pipefd[0]);
    close(pipefd[1]);
    execl(path, path, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipefd[1]);
  auto end = clk::now() + std::chrono::milliseconds(ms);
  while (msleft(end) > 0 && readsome(pipefd[0], out, msleft(end))) {
  }
  close(pipefd[0]);
  int status = reap(pid, msleft(end));
  if (status == -1) {
    kill(pid, SIGKILL);
    reap(pid, 5000);
  }
  return status;
}
