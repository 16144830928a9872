#include "spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

pid_t spawn_on_pty(char* const argv[], int out, int err, int* master) {
  int slave;
  winsize ws = {25, 80, 0, 0};
  if (openpty(master, &slave, nullptr, nullptr, &ws) < 0) return -1;
  fcntl(*master, F_SETFD, FD_CLOEXEC);
  pid_t pid = fork();
  if (pid < 0) {
    close(*master);
    close(slave);
    return -1;
  }
  if (pid == 0) {
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    dup2(slave, 0);
    dup2(out >= 0 ? out : slave, 1);
    dup2(err >= 0 ? err : slave, 2);
    if (slave > 2) close(slave);
    execvp(argv[0], argv);
    _exit(127);
  }
  close(slave);
  return pid;
}

pid_t spawn_plain(char* const argv[], int in, int out, int err) {
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execvp(argv[0], argv);
    _exit(127);
  }
  return pid;
}

int relay(int from[], const int to[], int n, int ms) {
  pollfd fds[8];
  if (n > 8) n = 8;
  for (int i = 0; i < n; ++i) fds[i] = {from[i], POLLIN, 0};
  int ready = poll(fds, nfds_t(n), ms);
  if (ready <= 0) return 0;
  for (int i = 0; i < n; ++i) {
    if (fds[i].fd < 0 || !fds[i].revents) continue;
    char buf[4096];
    ssize_t got = read(from[i], buf, sizeof buf);
    if (got > 0 && to[i] >= 0) {
      for (ssize_t off = 0, w; off < got; off += w)
        if ((w = write(to[i], buf + off, size_t(got - off))) <= 0) break;
    } else if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
      from[i] = -1;  // a pseudo-terminal reports EIO once every user closed it
    }
  }
  return ready;
}

void stop(pid_t pid) {
  kill(-pid, SIGKILL);  // the session's process group: pid and what it started
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

int exit_code(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}
