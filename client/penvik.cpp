// penvik: one-shot TCP client.
// Connects to the IPv4 address and port named on the command line, sends 99
// letters 'a' and a NUL, reads back as many bytes as it sent and prints them.
//
// Plain C-style C++: libc only, one thread, blocking calls, no signal handlers.

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#define PENVIK_BUFSIZE 100

[[noreturn]] static void usage(void) {
  puts("usage: penvik REMOTE_IP_NUMBER REMOTE_PORT_NUMBER");
  exit(1);
}

// Reports a failed set-up call on standard output (its name, the error number
// and the error's text, the text taken first) and ends with status -1, seen as 255.
[[noreturn]] static void fail(const char* call) {
  const char* text = strerror(errno);
  int err = errno;
  printf("%s failed, Err: %d \"%s\"\n", call, err, text);
  exit(-1);
}

int main(int argc, char* argv[]) {
  // The request: 99 letters 'a' and a NUL, filled before the arguments are looked at.
  char request[PENVIK_BUFSIZE];
  memset(request, 'a', PENVIK_BUFSIZE - 1);
  request[PENVIK_BUFSIZE - 1] = '\0';
  char reply[PENVIK_BUFSIZE];  // not cleared: only received bytes are ever printed
  char fail_text[1024];

  if (argc != 3) {
    puts("necessari 2 parametri");
    usage();
  }

  char address[PENVIK_BUFSIZE];
  strncpy(address, argv[1], PENVIK_BUFSIZE - 1);
  address[PENVIK_BUFSIZE - 1] = '\0';
  unsigned short port = (unsigned short)atoi(argv[2]);

  puts("socket()");
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd == -1) {
    fail("socket()");
  }

  int optval = 1;
  puts("setsockopt()");
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &optval, sizeof(optval)) == -1) {
    fail("setsockopt() SO_REUSEADDR");
  }

  struct sockaddr_in local;
  memset(&local, 0, sizeof(local));
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(0);
  puts("bind()");
  if (bind(fd, (struct sockaddr*)&local, sizeof(local)) == -1) {
    fail("bind()");
  }

  // inet_addr's result is not examined: invalid text gives 255.255.255.255.
  struct sockaddr_in remote;
  memset(&remote, 0, sizeof(remote));
  remote.sin_family = AF_INET;
  remote.sin_addr.s_addr = inet_addr(address);
  remote.sin_port = htons(port);
  puts("connect()");
  if (connect(fd, (struct sockaddr*)&remote, sizeof(remote)) == -1) {
    fail("connect()");
  }
  puts("dopo connect()");
  fflush(stdout);

  int len = (int)strlen(request) + 1;
  int sent = 0;
  int n = 0;
  puts("write()");
  fflush(stdout);
  for (;;) {
    n = (int)write(fd, request + sent, len - sent);
    if (n > 0)
      sent += n;
    else
      break;
  }
  if (n < 0) {
    sprintf(fail_text, "write() failed [err %d] ", errno);
    perror(fail_text);
    fflush(stdout);
    exit(1);
  }

  int nread = 0;
  puts("read()");
  fflush(stdout);
  while (nread < len) {
    n = (int)read(fd, reply + nread, len - nread);
    if (n <= 0)
      break;
    nread += n;
    printf("read effettuata, risultato n=%d  len=%d nread=%d\tlen-nread=%d\n", n, len, nread,
           len - nread);
    fflush(stdout);
  }
  if (n < 0) {
    sprintf(fail_text, "read() failed [err %d] ", errno);
    perror(fail_text);
    fflush(stdout);
    exit(1);
  }

  // The reply up to its first NUL, and never beyond the bytes received.
  printf("\nread: %.*s\n", nread, reply);
  fflush(stdout);
  close(fd);
  return 0;
}
