/* The benchmark's serial device: a pty whose master echoes, counts or sends bytes on command. */
#define _XOPEN_SOURCE 700
#define _DEFAULT_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

/*
 * Prints "pty <slave path>" and then takes one command a line on stdin:
 *   echo        write back every byte the bridge writes (the mode it starts in)  -> "ok"
 *   sink STEP   discard what comes, print "got <total>" each time the total
 *               passes a multiple of STEP (the total starts at 0)               -> "ok"
 *   send N      write N bytes to the bridge as fast as the pty takes them      -> "sent N"
 *   quit        end
 * The device keeps the slave open itself, so the master never sees a hang-up while a
 * bridge has the port closed, and sets it raw at 115200 baud.
 */

enum { kBlock = 65536 };

static unsigned char in_buf[kBlock];
static unsigned char pattern[kBlock];
static size_t backlog_at, backlog_len; /* echo bytes still to write, in in_buf */
static unsigned long long send_left, send_total;
static int sinking;
static unsigned long long sink_step, sink_total, sink_reported;

static void die(const char* what) {
  perror(what);
  exit(1);
}

static int open_pty(void) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) die("posix_openpt");
  const char* name = ptsname(master);
  if (!name) die("ptsname");
  int slave = open(name, O_RDWR | O_NOCTTY);
  if (slave < 0) die("open slave");
  struct termios t;
  if (tcgetattr(slave, &t) != 0) die("tcgetattr");
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  if (tcsetattr(slave, TCSANOW, &t) != 0) die("tcsetattr");
  if (fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0) die("fcntl");
  printf("pty %s\n", name);
  return master; /* the slave descriptor stays open on purpose */
}

static void command(char* line) {
  if (strcmp(line, "echo") == 0) {
    sinking = 0;
    printf("ok\n");
  } else if (strncmp(line, "sink ", 5) == 0) {
    sinking = 1;
    sink_step = strtoull(line + 5, NULL, 10);
    if (sink_step == 0) sink_step = 1;
    sink_total = sink_reported = 0;
    backlog_len = 0;
    printf("ok\n");
  } else if (strncmp(line, "send ", 5) == 0) {
    send_total = send_left = strtoull(line + 5, NULL, 10);
    if (send_left == 0) printf("sent 0\n");
  } else if (strcmp(line, "quit") == 0) {
    exit(0);
  } else {
    printf("error %s\n", line);
  }
}

static void read_commands(void) {
  static char line[256];
  static size_t used;
  ssize_t n = read(STDIN_FILENO, line + used, sizeof line - 1 - used);
  if (n <= 0) exit(0); /* the harness went away */
  used += (size_t)n;
  char* start = line;
  char* end;
  while ((end = memchr(start, '\n', used - (size_t)(start - line))) != NULL) {
    *end = '\0';
    command(start);
    start = end + 1;
  }
  used -= (size_t)(start - line);
  memmove(line, start, used);
  if (used == sizeof line - 1) used = 0; /* an overlong line: drop it */
}

static void read_master(int master) {
  ssize_t n = read(master, in_buf, sizeof in_buf);
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR || errno == EIO) return;
    die("read master");
  }
  if (sinking) {
    sink_total += (unsigned long long)n;
    if (sink_total / sink_step != sink_reported / sink_step) {
      sink_reported = sink_total;
      printf("got %llu\n", sink_total);
    }
    return;
  }
  backlog_at = 0;
  backlog_len = (size_t)n;
}

static void write_master(int master) {
  if (backlog_len > 0) {
    ssize_t n = write(master, in_buf + backlog_at, backlog_len);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return;
      die("write master");
    }
    backlog_at += (size_t)n;
    backlog_len -= (size_t)n;
    return;
  }
  if (send_left > 0) {
    size_t size = send_left < kBlock ? (size_t)send_left : kBlock;
    ssize_t n = write(master, pattern, size);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return;
      die("write master");
    }
    send_left -= (unsigned long long)n;
    if (send_left == 0) printf("sent %llu\n", send_total);
  }
}

int main(void) {
  setvbuf(stdout, NULL, _IOLBF, 0);
  for (size_t i = 0; i < kBlock; ++i) pattern[i] = (unsigned char)i;
  int master = open_pty();
  for (;;) {
    struct pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {master, 0, 0}};
    if (backlog_len == 0) fds[1].events |= POLLIN; /* echo: one block in flight at most */
    if (backlog_len > 0 || send_left > 0) fds[1].events |= POLLOUT;
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      die("poll");
    }
    if (fds[0].revents) read_commands();
    if (fds[1].revents & POLLOUT) write_master(master);
    if ((fds[1].revents & POLLIN) && backlog_len == 0) read_master(master);
    if (backlog_len > 0) write_master(master); /* an echo goes out without another poll */
  }
}
