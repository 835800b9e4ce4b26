// penvik against a scripted server on 127.0.0.1.
#include <string>
#include <vector>

#include "net_support.h"

namespace {

using net::Fd;
using net::Proc;

const char* const kPenvik = PENVIK_PATH;

const std::string kRequest = std::string(99, 'a') + '\0';

// A listening socket on 127.0.0.1 with a port chosen by the system, a penvik
// run against it, and the accepted connection after penvik's request arrived.
struct Scripted {
  Fd listener;
  int port = -1;
  std::unique_ptr<Proc> proc;
  Fd conn;

  // Listens, starts penvik with the given address text (default 127.0.0.1),
  // accepts and receives the 100-byte request.
  bool start(const std::string& address = "127.0.0.1") {
    listener.reset(net::tcp_socket());
    sockaddr_in a = net::ipv4(INADDR_LOOPBACK, 0);
    if (listener.get() < 0 || bind(listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) ||
        listen(listener.get(), 1)) {
      ADD_FAILURE() << "scripted server: " << std::strerror(errno);
      return false;
    }
    port = net::local_port(listener.get());
    proc = std::make_unique<Proc>(std::vector<std::string>{kPenvik, address, std::to_string(port)});
    struct pollfd p = {listener.get(), POLLIN, 0};
    if (poll(&p, 1, net::kWaitMs) != 1) {
      ADD_FAILURE() << "penvik never connected; stdout:\n" << proc->out();
      return false;
    }
    conn.reset(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (conn.get() < 0) {
      ADD_FAILURE() << "accept: " << std::strerror(errno);
      return false;
    }
    std::string request;
    if (!net::recv_exact(conn.get(), 100, &request)) {
      ADD_FAILURE() << "the request did not arrive";
      return false;
    }
    EXPECT_EQ(request, kRequest);
    return true;
  }

  // Sends one piece of the reply and, unless it completes the 100 bytes, waits
  // until penvik has printed the progress line for it.
  void piece(const std::string& data, int nread_after) {
    ASSERT_TRUE(net::send_all(conn.get(), data));
    if (nread_after < 100) {
      std::string line = "nread=" + std::to_string(nread_after) + "\t";
      ASSERT_TRUE(proc->wait_out(line)) << proc->out();
      net::sleep_ms(20);
    }
  }
};

std::string printed(const std::string& text) { return "\nread: " + text + "\n"; }

void expect_usage(const std::vector<std::string>& args) {
  Proc p(args);
  EXPECT_EQ(p.finish(), 1);
  EXPECT_EQ(p.out(), "necessari 2 parametri\nusage: penvik REMOTE_IP_NUMBER REMOTE_PORT_NUMBER\n");
  EXPECT_EQ(p.err(), "");
}

TEST(Penvik, NoArgumentIsUsageError) { expect_usage({kPenvik}); }

TEST(Penvik, OneArgumentIsUsageError) { expect_usage({kPenvik, "127.0.0.1"}); }

TEST(Penvik, ThreeArgumentsAreUsageError) { expect_usage({kPenvik, "127.0.0.1", "80", "x"}); }

TEST(Penvik, ReplyInOnePiece) {
  Scripted s;
  ASSERT_TRUE(s.start());
  s.piece(std::string(99, 'c') + '\0', 100);
  EXPECT_EQ(s.proc->finish(), 0);
  EXPECT_EQ(s.proc->out(),
            net::penvik_head() + net::penvik_progress(100, 100) + printed(std::string(99, 'c')));
  EXPECT_EQ(s.proc->err(), "");
}

TEST(Penvik, ReplyInSeveralPieces) {
  Scripted s;
  ASSERT_TRUE(s.start());
  s.piece(std::string(30, 'c'), 30);
  s.piece(std::string(50, 'c'), 80);
  s.piece(std::string(1, 'c'), 81);
  s.piece(std::string(18, 'c') + '\0', 100);
  EXPECT_EQ(s.proc->finish(), 0);
  EXPECT_EQ(s.proc->out(), net::penvik_head() + net::penvik_progress(30, 30) +
                               net::penvik_progress(50, 80) + net::penvik_progress(1, 81) +
                               net::penvik_progress(19, 100) + printed(std::string(99, 'c')));
  EXPECT_EQ(s.proc->err(), "");
}

TEST(Penvik, ServerClosingEarlyPrintsExactlyTheBytesReceived) {
  // 40 bytes, none of them NUL, then the end: printed as those 40 bytes only.
  Scripted s;
  ASSERT_TRUE(s.start());
  s.piece(std::string(40, 'x'), 40);
  s.conn.reset();
  EXPECT_EQ(s.proc->finish(), 0);
  EXPECT_EQ(s.proc->out(),
            net::penvik_head() + net::penvik_progress(40, 40) + printed(std::string(40, 'x')));
  EXPECT_EQ(s.proc->err(), "");
}

TEST(Penvik, ServerClosingAtOncePrintsNothing) {
  Scripted s;
  ASSERT_TRUE(s.start());
  s.conn.reset();
  EXPECT_EQ(s.proc->finish(), 0);
  EXPECT_EQ(s.proc->out(), net::penvik_head() + printed(""));
  EXPECT_EQ(s.proc->err(), "");
}

TEST(Penvik, ReplyWithoutNulPrintsExactlyTheHundredBytes) {
  Scripted s;
  ASSERT_TRUE(s.start());
  s.piece(std::string(60, 'd'), 60);
  s.piece(std::string(40, 'e'), 100);
  EXPECT_EQ(s.proc->finish(), 0);
  EXPECT_EQ(s.proc->out(), net::penvik_head() + net::penvik_progress(60, 60) +
                               net::penvik_progress(40, 100) +
                               printed(std::string(60, 'd') + std::string(40, 'e')));
  EXPECT_EQ(s.proc->err(), "");
}

TEST(Penvik, ReplyIsPrintedUpToItsFirstNul) {
  Scripted s;
  ASSERT_TRUE(s.start());
  s.piece("hello" + std::string(1, '\0') + std::string(94, 'z'), 100);
  EXPECT_EQ(s.proc->finish(), 0);
  EXPECT_EQ(s.proc->out(), net::penvik_head() + net::penvik_progress(100, 100) + printed("hello"));
  EXPECT_EQ(s.proc->err(), "");
}

TEST(Penvik, OnlyTheFirstHundredBytesAreRead) {
  Scripted s;
  ASSERT_TRUE(s.start());
  s.piece(std::string(99, 'c') + '\0' + std::string(50, 'z'), 100);
  EXPECT_EQ(s.proc->finish(), 0);
  EXPECT_EQ(s.proc->out(),
            net::penvik_head() + net::penvik_progress(100, 100) + printed(std::string(99, 'c')));
  EXPECT_EQ(s.proc->err(), "");
}

TEST(Penvik, OnlyTheFirstHundredBytesArePrintedWithoutNul) {
  Scripted s;
  ASSERT_TRUE(s.start());
  s.piece(std::string(130, 'q'), 100);
  EXPECT_EQ(s.proc->finish(), 0);
  EXPECT_EQ(s.proc->out(),
            net::penvik_head() + net::penvik_progress(100, 100) + printed(std::string(100, 'q')));
  EXPECT_EQ(s.proc->err(), "");
}

TEST(Penvik, ResetConnectionIsAReadFailure) {
  // The request has been read; closing with a zero linger resets the connection.
  Scripted s;
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.proc->wait_out("read()\n"));
  linger lg;
  lg.l_onoff = 1;
  lg.l_linger = 0;
  ASSERT_EQ(setsockopt(s.conn.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)), 0);
  s.conn.reset();
  EXPECT_EQ(s.proc->finish(), 1);
  EXPECT_EQ(s.proc->out(), net::penvik_head());
  EXPECT_EQ(
      s.proc->err(),
      net::perror_line("read() failed [err " + std::to_string(ECONNRESET) + "] ", ECONNRESET));
}

TEST(Penvik, RefusedConnectionIsAConnectFailure) {
  // A socket bound to the port but not listening: connections are refused, and
  // no other process can take the port meanwhile.
  Fd holder(net::tcp_socket());
  sockaddr_in a = net::ipv4(INADDR_LOOPBACK, 0);
  ASSERT_EQ(bind(holder.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  Proc p({kPenvik, "127.0.0.1", std::to_string(net::local_port(holder.get()))});
  EXPECT_EQ(p.finish(), 255);
  EXPECT_EQ(p.out(), "socket()\nsetsockopt()\nbind()\nconnect()\n" +
                         net::setup_failure("connect()", ECONNREFUSED));
  EXPECT_EQ(p.out(),
            "socket()\nsetsockopt()\nbind()\nconnect()\n"
            "connect() failed, Err: 111 \"Connection refused\"\n");
  EXPECT_EQ(p.err(), "");
}

TEST(Penvik, MalformedAddressIsAConnectFailure) {
  // inet_addr gives 255.255.255.255; a TCP connect there fails (on Linux with
  // "Network is unreachable"). The line carries the error number and its text.
  Proc p({kPenvik, "not.an.address", "9"});
  EXPECT_EQ(p.finish(), 255);
  std::string out = p.out();
  std::string head = "socket()\nsetsockopt()\nbind()\nconnect()\n";
  ASSERT_EQ(out.compare(0, head.size(), head), 0) << out;
  int e = 0;
  ASSERT_EQ(std::sscanf(out.c_str() + head.size(), "connect() failed, Err: %d", &e), 1) << out;
  EXPECT_NE(e, 0);
  EXPECT_EQ(out, head + net::setup_failure("connect()", e));
  EXPECT_EQ(p.err(), "");
}

TEST(Penvik, OnlyTheFirst99CharactersOfTheAddressCount) {
  // 127.0.0.1 as one octal number, padded with leading zeros to 99 characters.
  // With a 100th digit the whole text would be no valid address.
  std::string address = std::string(88, '0') + "17700000001";
  ASSERT_EQ(address.size(), 99u);
  ASSERT_EQ(inet_addr(address.c_str()), htonl(INADDR_LOOPBACK));
  std::string longer = address + "7";
  ASSERT_EQ(inet_addr(longer.c_str()), INADDR_NONE);
  Scripted s;
  ASSERT_TRUE(s.start(longer));
  s.piece(std::string(99, 'c') + '\0', 100);
  EXPECT_EQ(s.proc->finish(), 0);
  EXPECT_EQ(s.proc->out(),
            net::penvik_head() + net::penvik_progress(100, 100) + printed(std::string(99, 'c')));
  EXPECT_EQ(s.proc->err(), "");
}

}  // namespace
