// ostrel: one-shot TCP server.
// Listens on the port named on the command line, accepts one connection, reads
// a request until a read ends on 'K' or NUL, adds 2 to every byte but the last,
// sends the bytes back, closes both sockets and exits.
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

// Capacity of the receive buffer; each read asks for at most 100 bytes.
#define OSTREL_BUFSIZE 65536
#define OSTREL_READSIZE 100

[[noreturn]] static void usage(void) {
  printf("usage: ostrel LOCAL_PORT_NUMBER\n");
  exit(1);
}

// Reports a failed set-up call on standard output (its name, the error number
// and the error's text, the text taken first) and ends with status 1.
[[noreturn]] static void fail(const char* call) {
  const char* text = strerror(errno);
  int err = errno;
  printf("%s failed, Err: %d \"%s\"\n", call, err, text);
  exit(1);
}

int main(int argc, char* argv[]) {
  if (argc != 2) {
    printf("necessario 1 parametri\n");
    usage();
  }
  unsigned short port = (unsigned short)atoi(argv[1]);

  printf("socket()\n");
  int listen_fd = socket(AF_INET, SOCK_STREAM, 0);
  if (listen_fd == -1) {
    fail("socket()");
  }

  int optval = 1;
  printf("setsockopt()\n");
  if (setsockopt(listen_fd, SOL_SOCKET, SO_REUSEADDR, &optval, sizeof(optval)) == -1) {
    fail("setsockopt() SO_REUSEADDR");
  }

  struct sockaddr_in local;
  memset(&local, 0, sizeof(local));
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(port);
  printf("bind()\n");
  if (bind(listen_fd, (struct sockaddr*)&local, sizeof(local)) == -1) {
    fail("bind()");
  }

  printf("listen()\n");
  if (listen(listen_fd, 10) == -1) {
    fail("listen()");
  }

  struct sockaddr_in peer;
  memset(&peer, 0, sizeof(peer));
  socklen_t peer_len = sizeof(peer);
  printf("accept()\n");
  int conn_fd = accept(listen_fd, (struct sockaddr*)&peer, &peer_len);
  if (conn_fd == -1) {
    fail("accept()");
  }
  printf("connection from %s : %d\n", inet_ntoa(peer.sin_addr), ntohs(peer.sin_port));

  // Receive until a read ends on 'K' or NUL.
  unsigned char buf[OSTREL_BUFSIZE];
  char read_fail[1024];
  char write_fail[1024];
  int held = 0;
  int n = 0;
  printf("read()\n");
  for (;;) {
    int room = OSTREL_BUFSIZE - held;
    if (room == 0) {
      // The buffer is full and its last byte is no terminator.
      fputs("request too long\n", stderr);
      exit(1);
    }
    n = (int)read(conn_fd, buf + held, room < OSTREL_READSIZE ? room : OSTREL_READSIZE);
    if (n <= 0)
      break;
    printf("letti %d bytes    tot=%d\n", n, held + n);
    fflush(stdout);
    held += n;
    if (buf[held - 1] == 'K' || buf[held - 1] == '\0')
      break;
  }
  if (n <= 0) {
    sprintf(read_fail, "read() failed [err %d] ", errno);
    perror(read_fail);
    exit(1);
  }

  // The reply is built in place: every byte but the terminator plus 2.
  for (int i = 0; i < held - 1; i++)
    buf[i] = (unsigned char)(buf[i] + 2);

  int sent = 0;
  printf("write()\n");
  for (;;) {
    n = (int)write(conn_fd, buf + sent, held - sent);
    if (n > 0)
      sent += n;
    else
      break;
  }
  if (n < 0) {
    sprintf(write_fail, "write() failed [err %d] ", errno);
    perror(write_fail);
    exit(1);
  }

  printf("close()\n");
  close(conn_fd);
  close(listen_fd);
  return 0;
}
