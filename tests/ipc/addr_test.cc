// Address specifications, the socket-address fillers and the resolver.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <string>

#include "ipc/txc_ipc.h"
#include "ipc/txc_tcp.h"
#include "ipc/txc_unix.h"
#include "support/log_capture.h"
#include "txc_alloc.h"
#include "txc_log.h"

namespace {

// Parses spec and keeps the result for checks.
struct Parsed {
  txc_ipc_addr_t *addr = nullptr;
  int type = -1;
  Parsed(const std::string &spec, int resolve) {
    addr = create_ipc_addr(spec.c_str(), resolve, &type);
  }
  ~Parsed() {
    if (addr) delete_ipc_addr(addr);
  }
  int port() const { return ntohs(addr->addr.in.sin_port); }
  std::string ip() const { return inet_ntoa(addr->addr.in.sin_addr); }
};

TEST(CreateIpcAddr, DefaultInAnyCase) {
  for (const char *spec : {"default", "DEFAULT", "DeFaUlTwhatever follows"}) {
    LogCapture log;
    Parsed p(spec, 0);
    ASSERT_NE(p.addr, nullptr) << spec << log.dump();
    EXPECT_EQ(p.type, TXC_IPC_TYPE_TCP);
    EXPECT_STREQ(p.addr->name, "localhost");
    EXPECT_EQ(p.addr->name_len, 10);
    EXPECT_EQ(p.port(), 3000);
    EXPECT_EQ(p.addr->addr.in.sin_family, AF_INET);
    EXPECT_EQ(p.addr->addr.in.sin_addr.s_addr, 0u);  // resolved later
    EXPECT_EQ(p.addr->resolved, 0);
    EXPECT_TRUE(log.has(5, std::string("txlib: ipc: address ") + spec + " added")) << log.dump();
    EXPECT_TRUE(log.has(9, "txlib: ipc: parse address string <inet:3000@localhost>"));
  }
}

TEST(CreateIpcAddr, InetForms) {
  {
    LogCapture log;
    Parsed p("inet:3000@127.0.0.1", 1);
    ASSERT_NE(p.addr, nullptr);
    EXPECT_EQ(p.type, TXC_IPC_TYPE_TCP);
    EXPECT_STREQ(p.addr->name, "127.0.0.1");
    EXPECT_EQ(p.addr->name_len, 10);
    EXPECT_EQ(p.port(), 3000);
    EXPECT_EQ(p.ip(), "127.0.0.1");
    EXPECT_EQ(p.addr->resolved, 1);
    // A dotted address needs no name service.
    EXPECT_FALSE(log.contains("call resolver")) << log.dump();
  }
  {
    Parsed p("INET:80@Some.Host", 0);
    ASSERT_NE(p.addr, nullptr);
    EXPECT_STREQ(p.addr->name, "Some.Host");  // case kept after the prefix
    EXPECT_EQ(p.port(), 80);
  }
  {
    // Port text read like "%u": blanks first, letters after the digits.
    Parsed a("inet: 3001@h", 0), b("inet:3002abc@h", 0), c("inet:+3003@h", 0);
    ASSERT_TRUE(a.addr && b.addr && c.addr);
    EXPECT_EQ(a.port(), 3001);
    EXPECT_EQ(b.port(), 3002);
    EXPECT_EQ(c.port(), 3003);
  }
  {
    // Everything after the first "@" is the host.
    Parsed p("inet:5@a@b", 0);
    ASSERT_NE(p.addr, nullptr);
    EXPECT_STREQ(p.addr->name, "a@b");
  }
}

TEST(CreateIpcAddr, ServiceNameFromTheServicesDatabase) {
  const struct servent *se = getservbyname("ssh", "tcp");
  if (se == nullptr) GTEST_SKIP() << "no ssh/tcp entry in the services database";
  const int expected = ntohs(static_cast<uint16_t>(se->s_port));
  Parsed p("inet:ssh@127.0.0.1", 1);
  ASSERT_NE(p.addr, nullptr);
  EXPECT_EQ(p.port(), expected);
}

TEST(CreateIpcAddr, LocalForms) {
  Parsed p("LOCAL:/tmp/sock", 0);
  ASSERT_NE(p.addr, nullptr);
  EXPECT_EQ(p.type, TXC_IPC_TYPE_UNIX);
  EXPECT_STREQ(p.addr->name, "/tmp/sock");
  EXPECT_EQ(p.addr->name_len, 10);
  EXPECT_EQ(p.addr->addr.un.sun_family, AF_UNIX);
  EXPECT_STREQ(p.addr->addr.un.sun_path, "/tmp/sock");

  // Blanks are part of the path.
  Parsed q("local:/tmp/a b", 0);
  ASSERT_NE(q.addr, nullptr);
  EXPECT_STREQ(q.addr->name, "/tmp/a b");
}

TEST(CreateIpcAddr, LongTextsAreCutWithoutOverflow) {
  const std::string host(300, 'h');
  Parsed t("inet:1@" + host, 0);
  ASSERT_NE(t.addr, nullptr);
  EXPECT_EQ(std::string(t.addr->name), host.substr(0, 254));
  EXPECT_EQ(t.addr->name_len, 255);

  const std::string path = "/" + std::string(400, 'p');
  Parsed u("local:" + path, 0);
  ASSERT_NE(u.addr, nullptr);
  EXPECT_EQ(std::string(u.addr->name), path.substr(0, 254));
  EXPECT_EQ(std::string(u.addr->addr.un.sun_path), path.substr(0, 103));

  // A port text longer than its buffer is cut, still a valid number.
  Parsed v("inet:" + std::string(300, '0') + "7@h", 0);
  ASSERT_NE(v.addr, nullptr);
  EXPECT_EQ(v.port(), 0);
}

struct Refusal {
  const char *spec;
  int resolve;
  std::vector<std::string> messages;  // level-2 messages, in order
};

TEST(CreateIpcAddr, RefusalsCarryTheirMessages) {
  const Refusal cases[] = {
      {"/var/run/sock", 0, {"txlib: ipc: format separator : not found in /var/run/sock"}},
      {"PID:/var/run/d.pid", 0, {"txlib: ipc: using recursive pid: format is invalid"}},
      {"inet:3000",
       0,
       {"txlib: ipc: not a tcp-socket address string <3000>",
        "txlib: ipc: cannot parse address from specification <inet:3000>"}},
      {"inet:@localhost",
       0,
       {"txlib: tcp: invalid port specified", "txlib: ipc: wrong tcp-socket address <localhost>",
        "txlib: ipc: cannot parse address from specification <inet:@localhost>"}},
      {"inet:-1@h", 0, {"txlib: tcp: invalid port specified"}},
      {"inet:no-such-service-here@h", 0, {"txlib: tcp: invalid port specified"}},
      {"inet:65536@h", 0, {"txlib: tcp: invalid port specified"}},
      {"inet:4294967297@h", 0, {"txlib: tcp: invalid port specified"}},
      {"inet:2147483648@h", 0, {"txlib: tcp: invalid port specified"}},
      {"inet:3000@",
       1,
       {"txlib: tcp: empty name passed to resolver", "txlib: tcp: cannot resolve  hostname",
        "txlib: ipc: wrong tcp-socket address <>"}},
      {"local:tmp/sock",
       0,
       {"txlib: ipc: not a unix-socket path <tmp/sock>",
        "txlib: ipc: cannot parse address from specification <local:tmp/sock>"}},
      {"tcp:3000@localhost",
       0,
       {"txlib: ipc: invalid family specified tcp:3000@localhost",
        "txlib: ipc: cannot parse address from specification <tcp:3000@localhost>"}},
      {" inet:3000@h", 0, {"txlib: ipc: invalid family specified  inet:3000@h"}},
  };
  for (const auto &c : cases) {
    LogCapture log;
    int type = 77;
    txc_ipc_addr_t *a = create_ipc_addr(c.spec, c.resolve, &type);
    EXPECT_EQ(a, nullptr) << c.spec;
    if (a) delete_ipc_addr(a);
    EXPECT_EQ(type, 0) << c.spec;
    std::vector<std::string> errors;
    for (const auto &[level, text] : log.lines())
      if (level == 2) errors.push_back(text);
    // The listed messages appear in this order (others may sit between).
    size_t at = 0;
    for (const auto &m : c.messages) {
      while (at < errors.size() && errors[at] != m) ++at;
      EXPECT_LT(at, errors.size()) << c.spec << ": missing \"" << m << "\"\n" << log.dump();
    }
    EXPECT_FALSE(log.contains("added")) << c.spec;
  }
}

TEST(CreateIpcAddr, EmptyHostParsesWhenResolvingLater) {
  Parsed p("inet:3000@", 0);
  ASSERT_NE(p.addr, nullptr);
  EXPECT_STREQ(p.addr->name, "");
  EXPECT_EQ(p.addr->name_len, 1);
}

TEST(CreateIpcAddr, NoMemory) {
  LogCapture log;
  txc_alloc_fail_at(1);
  int type = 5;
  txc_ipc_addr_t *a = create_ipc_addr("local:/x", 0, &type);
  txc_alloc_fail_at(0);
  EXPECT_EQ(a, nullptr);
  EXPECT_EQ(type, 0);
  EXPECT_TRUE(log.has(2, "txlib: ipc: no memory for address"));
}

TEST(CreateIpcAddr, ContractViolations) {
  int type;
  EXPECT_DEATH(
      {
        txc_log_open("console", 2, 0, 0);
        create_ipc_addr(nullptr, 0, &type);
      },
      "ASSERTION in txc_ipc\\([0-9]+\\): FATAL ERROR: failed spec");
  EXPECT_DEATH(create_ipc_addr("default", 0, nullptr), "ipc_type");
  EXPECT_DEATH(delete_ipc_addr(nullptr), "addr");
}

TEST(ParseAddr, StandsAlone) {
  LogCapture log;
  txc_ipc_addr_t a = {};
  int type = 9;
  EXPECT_EQ(parse_addr("nocolon", &a, &type, 0), 0);
  EXPECT_EQ(type, 0);
  EXPECT_TRUE(log.has(2, "txlib: ipc: wrong format of IPC address <nocolon>"));
  EXPECT_EQ(parse_addr("local:/p", &a, &type, 0), 1);
  EXPECT_EQ(type, TXC_IPC_TYPE_UNIX);
}

TEST(FillTcpAddr, ResolveFlag) {
  LogCapture log;
  sockaddr_in sin;
  memset(&sin, 0xff, sizeof sin);
  ASSERT_EQ(fill_tcp_addr("127.0.0.1", "3000", &sin, 1), 1);
  EXPECT_EQ(sin.sin_family, AF_INET);
  EXPECT_EQ(ntohs(sin.sin_port), 3000);
  EXPECT_EQ(sin.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  for (unsigned char b : sin.sin_zero) EXPECT_EQ(b, 0);
  EXPECT_FALSE(log.contains("resolver")) << log.dump();

  memset(&sin, 0xff, sizeof sin);
  ASSERT_EQ(fill_tcp_addr("localhost", "65535", &sin, 0), 1);
  EXPECT_EQ(sin.sin_addr.s_addr, 0u);
  EXPECT_EQ(ntohs(sin.sin_port), 65535);
}

TEST(ResolveHost, NamesAndRefusals) {
  LogCapture log;
  sockaddr_in sin = {};
  sin.sin_addr.s_addr = 0x01020304;
  EXPECT_EQ(resolve_host(&sin, ""), -6);
  EXPECT_EQ(resolve_host(&sin, nullptr), -6);
  EXPECT_EQ(sin.sin_addr.s_addr, 0x01020304u);
  EXPECT_TRUE(log.has(2, "txlib: tcp: empty name passed to resolver"));

  ASSERT_EQ(resolve_host(&sin, "localhost"), 0) << log.dump();
  EXPECT_EQ(ntohl(sin.sin_addr.s_addr) >> 24, 127u);
  EXPECT_TRUE(log.has(9, "txlib: tcp: call resolver for localhost"));
  EXPECT_TRUE(log.contains("txlib: tcp: resolver return 127."));

  sin.sin_addr.s_addr = 0x01020304;
  EXPECT_EQ(resolve_host(&sin, "no-such-host.invalid"), -7);
  EXPECT_EQ(sin.sin_addr.s_addr, 0x01020304u);
  EXPECT_TRUE(log.contains("txlib: tcp: gethostbyname() error : ")) << log.dump();
}

TEST(FillUnixAddr, PathLimit) {
  sockaddr_un sun;
  const std::string p103 = "/" + std::string(102, 'a');
  memset(&sun, 0x7f, sizeof sun);
  EXPECT_EQ(fill_unix_addr(p103.c_str(), &sun), 1);
  EXPECT_EQ(sun.sun_family, AF_UNIX);
  EXPECT_EQ(std::string(sun.sun_path), p103);
  const std::string p104 = p103 + "b";
  EXPECT_EQ(fill_unix_addr(p104.c_str(), &sun), 1);
  EXPECT_EQ(std::string(sun.sun_path), p103);
}

}  // namespace
