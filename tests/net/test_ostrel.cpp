// ostrel against a scripted client on 127.0.0.1.
#include <string>
#include <vector>

#include "net_support.h"

namespace {

using net::Fd;
using net::Proc;

const char* const kOstrel = OSTREL_PATH;

// An ostrel run with the scripted client's connection to it.
struct Served {
  std::unique_ptr<Proc> proc;
  int port = -1;
  Fd conn;
  int client_port = -1;
};

// Starts ostrel on a free port and connects to it, retrying while the
// connection is refused; a port taken by someone else in between gives a new
// port. The connection is the one ostrel serves.
bool start_and_connect(Served* s) {
  for (int attempt = 0; attempt < 5; attempt++) {
    s->port = net::free_port();
    if (s->port <= 0)
      continue;
    s->proc = std::make_unique<Proc>(std::vector<std::string>{kOstrel, std::to_string(s->port)});
    s->conn.reset(net::connect_while_refused(s->port, *s->proc));
    if (s->conn.get() >= 0) {
      s->client_port = net::local_port(s->conn.get());
      return true;
    }
    s->proc->finish();
    if (s->proc->out().find("bind() failed") == std::string::npos) {
      ADD_FAILURE() << "ostrel never listened; stdout:\n"
                    << s->proc->out() << "stderr:\n"
                    << s->proc->err();
      return false;
    }
  }
  ADD_FAILURE() << "no free port for ostrel";
  return false;
}

// Sends the pieces one after the other; after each piece but the last, waits
// until ostrel has printed its progress line, then pauses, so that every piece
// is one read. Returns the progress lines expected.
std::string send_pieces(Served* s, const std::vector<std::string>& pieces) {
  std::string progress;
  int total = 0;
  for (size_t i = 0; i < pieces.size(); i++) {
    EXPECT_TRUE(net::send_all(s->conn.get(), pieces[i]));
    int n = static_cast<int>(pieces[i].size());
    total += n;
    progress += net::letti(n, total);
    if (i + 1 < pieces.size()) {
      EXPECT_TRUE(s->proc->wait_out(net::letti(n, total))) << s->proc->out();
      net::sleep_ms(20);
    }
  }
  return progress;
}

std::string plus_two(const std::string& request) {
  std::string reply = request;
  for (size_t i = 0; i + 1 < reply.size(); i++)
    reply[i] = static_cast<char>(static_cast<unsigned char>(reply[i]) + 2);
  return reply;
}

// A complete exchange: the pieces go out, the reply comes back, ostrel ends 0.
void expect_exchange(const std::vector<std::string>& pieces, const std::string& reply) {
  Served s;
  ASSERT_TRUE(start_and_connect(&s));
  std::string progress = send_pieces(&s, pieces);
  int how = -1;
  std::string got = net::recv_until_eof(s.conn.get(), &how);
  EXPECT_EQ(how, 0);
  EXPECT_EQ(got, reply);
  EXPECT_EQ(s.proc->finish(), 0);
  EXPECT_EQ(s.proc->out(), net::ostrel_head(s.client_port) + progress + "write()\nclose()\n");
  EXPECT_EQ(s.proc->err(), "");
}

// Checks a read-failure line: the prepared text with whatever error number was
// current, then perror's text for that same number.
void expect_read_failure_text(const std::string& err) {
  int e = -1;
  ASSERT_EQ(std::sscanf(err.c_str(), "read() failed [err %d] ", &e), 1) << err;
  EXPECT_EQ(err, net::perror_line("read() failed [err " + std::to_string(e) + "] ", e));
}

TEST(Ostrel, NoArgumentIsUsageError) {
  Proc p({kOstrel});
  EXPECT_EQ(p.finish(), 1);
  EXPECT_EQ(p.out(), "necessario 1 parametri\nusage: ostrel LOCAL_PORT_NUMBER\n");
  EXPECT_EQ(p.err(), "");
}

TEST(Ostrel, TwoArgumentsAreUsageError) {
  Proc p({kOstrel, "5000", "6000"});
  EXPECT_EQ(p.finish(), 1);
  EXPECT_EQ(p.out(), "necessario 1 parametri\nusage: ostrel LOCAL_PORT_NUMBER\n");
  EXPECT_EQ(p.err(), "");
}

TEST(Ostrel, RequestInPiecesGivesOneProgressLinePerRead) {
  expect_exchange({"abc", "defgh", "i", "jklmnopqrstuvwxyzK"},
                  plus_two("abcdefghijklmnopqrstuvwxyzK"));
}

TEST(Ostrel, CapitalKEndsTheRequest) { expect_exchange({"abcK"}, "cdeK"); }

TEST(Ostrel, NulEndsTheRequest) {
  expect_exchange({std::string("xyz\0", 4)}, std::string("z{|\0", 4));
}

TEST(Ostrel, PenvikStyleRequest) {
  expect_exchange({std::string(99, 'a') + '\0'}, std::string(99, 'c') + '\0');
}

TEST(Ostrel, LowercaseKIsAnOrdinaryByte) { expect_exchange({"abk", "zK"}, "cdm|K"); }

TEST(Ostrel, TerminatorsInsideAReadAreOrdinaryBytes) {
  // 'K' and NUL inside the first read do not end the request; they come back
  // as 'M' and 0x02.
  expect_exchange({std::string("aK\0b", 4), std::string("K\0cK", 4)}, std::string("cM\x02"
                                                                                  "dM\x02"
                                                                                  "eK",
                                                                                  8));
}

TEST(Ostrel, HighBytesWrapAround) {
  expect_exchange({std::string("\xfe\xff\x7f\x80K", 5)}, std::string("\x00\x01\x81\x82K", 5));
}

TEST(Ostrel, OneByteKComesBackUnchanged) { expect_exchange({"K"}, "K"); }

TEST(Ostrel, OneByteNulComesBackUnchanged) {
  expect_exchange({std::string(1, '\0')}, std::string(1, '\0'));
}

TEST(Ostrel, ClientClosingBeforeTheTerminatorIsAReadFailure) {
  Served s;
  ASSERT_TRUE(start_and_connect(&s));
  std::string progress = send_pieces(&s, {"abc", "de"});
  ASSERT_TRUE(s.proc->wait_out(net::letti(2, 5)));
  ASSERT_EQ(shutdown(s.conn.get(), SHUT_WR), 0);
  int how = -1;
  EXPECT_EQ(net::recv_until_eof(s.conn.get(), &how), "");  // nothing is sent back
  EXPECT_EQ(s.proc->finish(), 1);
  EXPECT_EQ(s.proc->out(), net::ostrel_head(s.client_port) + progress);
  expect_read_failure_text(s.proc->err());
}

TEST(Ostrel, ClientClosingWithoutSendingIsAReadFailure) {
  Served s;
  ASSERT_TRUE(start_and_connect(&s));
  s.conn.reset();
  EXPECT_EQ(s.proc->finish(), 1);
  EXPECT_EQ(s.proc->out(), net::ostrel_head(s.client_port));
  expect_read_failure_text(s.proc->err());
}

TEST(Ostrel, PortInUseIsABindFailure) {
  Fd holder(net::tcp_socket());
  ASSERT_GE(holder.get(), 0);
  sockaddr_in any = net::ipv4(INADDR_ANY, 0);
  ASSERT_EQ(bind(holder.get(), reinterpret_cast<sockaddr*>(&any), sizeof(any)), 0);
  ASSERT_EQ(listen(holder.get(), 1), 0);
  Proc p({kOstrel, std::to_string(net::local_port(holder.get()))});
  EXPECT_EQ(p.finish(), 1);
  EXPECT_EQ(p.out(), "socket()\nsetsockopt()\nbind()\n" + net::setup_failure("bind()", EADDRINUSE));
  EXPECT_EQ(p.err(), "");
}

TEST(Ostrel, SamePortAgainRightAfterARun) {
  // The first run's connection may still wait in TIME_WAIT; SO_REUSEADDR lets
  // the second run bind all the same.
  Served first;
  ASSERT_TRUE(start_and_connect(&first));
  send_pieces(&first, {"aK"});
  EXPECT_EQ(net::recv_until_eof(first.conn.get()), "cK");
  ASSERT_EQ(first.proc->finish(), 0);

  Proc second({kOstrel, std::to_string(first.port)});
  Fd conn(net::connect_while_refused(first.port, second));
  ASSERT_GE(conn.get(), 0) << second.out();
  ASSERT_TRUE(net::send_all(conn.get(), "bK"));
  EXPECT_EQ(net::recv_until_eof(conn.get()), "dK");
  EXPECT_EQ(second.finish(), 0);
  EXPECT_EQ(second.out(), net::ostrel_head(net::local_port(conn.get())) + net::letti(2, 2) +
                              "write()\nclose()\n");
  EXPECT_EQ(second.err(), "");
}

// The port argument keeps the low 16 bits of atoi's value.
void expect_port_from_argument(const std::string& argument, int port) {
  // Only one test at a time on this machine uses the fixed port.
  net::MachineLock lock("kaltro-net-port-" + std::to_string(port));
  if (!lock.held())
    GTEST_SKIP() << "port " << port << " is in use by another test run";
  {
    Fd probe(net::tcp_socket());
    int one = 1;
    setsockopt(probe.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in any = net::ipv4(INADDR_ANY, port);
    if (bind(probe.get(), reinterpret_cast<sockaddr*>(&any), sizeof(any)) != 0)
      GTEST_SKIP() << "port " << port << " is busy on this machine";
  }
  Proc p({kOstrel, argument});
  Fd conn(net::connect_while_refused(port, p));
  if (conn.get() < 0) {
    p.finish();
    if (p.out().find("bind() failed") != std::string::npos)
      GTEST_SKIP() << "port " << port << " was taken meanwhile";
    FAIL() << "ostrel " << argument << " does not listen on " << port << "\n" << p.out();
  }
  ASSERT_TRUE(net::send_all(conn.get(), "xyK"));
  EXPECT_EQ(net::recv_until_eof(conn.get()), "z{K");
  EXPECT_EQ(p.finish(), 0);
  EXPECT_EQ(p.out(), net::ostrel_head(net::local_port(conn.get())) + net::letti(3, 3) +
                         "write()\nclose()\n");
  EXPECT_EQ(p.err(), "");
}

TEST(Ostrel, Port70000Is4464) { expect_port_from_argument("70000", 4464); }

TEST(Ostrel, PortMinusOneIs65535) { expect_port_from_argument("-1", 65535); }

TEST(Ostrel, OverlongRequestIsRefused) {
  // 65536 bytes fill the buffer without a terminator; 400 more stay unread
  // (their send may fail once ostrel has gone).
  Served s;
  ASSERT_TRUE(start_and_connect(&s));
  ASSERT_TRUE(net::send_all(s.conn.get(), std::string(65536, 'a')));
  net::send_all(s.conn.get(), std::string(400, 'b'));
  int how = -1;
  EXPECT_EQ(net::recv_until_eof(s.conn.get(), &how), "");  // nothing is sent back
  EXPECT_NE(how, ETIMEDOUT);
  EXPECT_EQ(s.proc->finish(), 1);
  EXPECT_EQ(s.proc->err(), "request too long\n");
  std::string out = s.proc->out();
  std::string head = net::ostrel_head(s.client_port);
  ASSERT_EQ(out.compare(0, head.size(), head), 0) << out.substr(0, 300);
  EXPECT_TRUE(net::ostrel_progress_ok(out.substr(head.size()), 65536));
}

TEST(Ostrel, RequestFillingTheBufferExactlyIsServed) {
  // 65535 letters (no 'K', no NUL) and a final 'K': exactly the buffer.
  std::string request;
  for (int i = 0; i < 65535; i++)
    request += static_cast<char>('a' + i % 26);
  request += 'K';
  Served s;
  ASSERT_TRUE(start_and_connect(&s));
  ASSERT_TRUE(net::send_all(s.conn.get(), request));
  int how = -1;
  std::string reply = net::recv_until_eof(s.conn.get(), &how);
  EXPECT_EQ(how, 0);
  EXPECT_TRUE(reply == plus_two(request)) << "reply of " << reply.size() << " bytes differs";
  EXPECT_EQ(s.proc->finish(), 0);
  EXPECT_EQ(s.proc->err(), "");
  std::string out = s.proc->out();
  std::string head = net::ostrel_head(s.client_port);
  std::string tail = "write()\nclose()\n";
  ASSERT_GT(out.size(), head.size() + tail.size());
  ASSERT_EQ(out.compare(0, head.size(), head), 0) << out.substr(0, 300);
  ASSERT_EQ(out.compare(out.size() - tail.size(), tail.size(), tail), 0);
  EXPECT_TRUE(net::ostrel_progress_ok(
      out.substr(head.size(), out.size() - head.size() - tail.size()), 65536));
}

}  // namespace
