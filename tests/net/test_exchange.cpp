// The real exchange: penvik against ostrel on 127.0.0.1.
#include <string>
#include <vector>

#include "net_support.h"

namespace {

using net::Proc;

TEST(Exchange, PenvikAgainstOstrel) {
  for (int attempt = 0; attempt < 5; attempt++) {
    int port = net::free_port();
    ASSERT_GT(port, 0);
    Proc server({OSTREL_PATH, std::to_string(port)});

    // penvik itself polls: while ostrel is not yet listening its connection is
    // refused (exit 255, nothing consumed), and it is run again.
    std::unique_ptr<Proc> client;
    net::Clock::time_point deadline = net::Clock::now() + std::chrono::milliseconds(net::kWaitMs);
    for (;;) {
      client = std::make_unique<Proc>(
          std::vector<std::string>{PENVIK_PATH, "127.0.0.1", std::to_string(port)});
      int code = client->finish();
      bool refused = code == 255 && client->out().find("Connection refused") != std::string::npos;
      if (!refused || !server.running() || net::Clock::now() >= deadline)
        break;
      net::sleep_ms(5);
    }
    int server_code = server.finish();
    std::string server_out = server.out();
    if (server_code == 1 && server_out.find("bind() failed") != std::string::npos)
      continue;  // someone took the port in between: try another

    // The client: one or more progress lines up to 100 bytes, then 99 'c'.
    EXPECT_EQ(client->code(), 0);
    EXPECT_EQ(client->err(), "");
    std::string out = client->out();
    std::string tail = "\nread: " + std::string(99, 'c') + "\n";
    const std::string& head = net::penvik_head();
    ASSERT_GT(out.size(), head.size() + tail.size()) << out;
    EXPECT_EQ(out.substr(0, head.size()), head);
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_TRUE(net::penvik_progress_ok(
        out.substr(head.size(), out.size() - head.size() - tail.size()), 100));

    // The server: the peer's address and port, progress up to 100, the reply.
    EXPECT_EQ(server_code, 0);
    EXPECT_EQ(server.err(), "");
    std::string prefix =
        "socket()\nsetsockopt()\nbind()\nlisten()\naccept()\nconnection from 127.0.0.1 : ";
    ASSERT_EQ(server_out.compare(0, prefix.size(), prefix), 0) << server_out;
    int peer_port = -1;
    ASSERT_EQ(std::sscanf(server_out.c_str() + prefix.size(), "%d", &peer_port), 1);
    EXPECT_GT(peer_port, 0);
    EXPECT_LT(peer_port, 65536);
    std::string head_s = net::ostrel_head(peer_port);
    std::string tail_s = "write()\nclose()\n";
    ASSERT_GT(server_out.size(), head_s.size() + tail_s.size()) << server_out;
    EXPECT_EQ(server_out.substr(0, head_s.size()), head_s);
    EXPECT_EQ(server_out.substr(server_out.size() - tail_s.size()), tail_s);
    EXPECT_TRUE(net::ostrel_progress_ok(
        server_out.substr(head_s.size(), server_out.size() - head_s.size() - tail_s.size()), 100));
    return;
  }
  FAIL() << "no free port for ostrel";
}

}  // namespace
