// zefa-server as a program: started on a free loopback port in a temporary
// model folder, spoken to over a real socket, always killed at the end.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <thread>

#include "fake_server.h"
#include "helpers.h"

extern char** environ;

namespace zefasim {
namespace {

using namespace testing;
using proto::MessageType;
using Clock = std::chrono::steady_clock;

int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int port = zefa::test::BindLowPort(fd);
    close(fd);
    return port;
}

// A socket connected to the loopback port, -1 when refused.
int ConnectLoopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    close(fd);
    return -1;
}

class ServerProcess {
  public:
    ServerProcess(const std::string& folder, int port, std::vector<std::string> extra = {})
        : port_(port) {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addchdir_np(&fa, folder.c_str());
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        std::string port_text = std::to_string(port);
        std::vector<const char*> argv = {ZEFA_SERVER_PATH, "-server", port_text.c_str(), "--bind",
                                         "127.0.0.1"};
        for (const std::string& e : extra) argv.push_back(e.c_str());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, ZEFA_SERVER_PATH, &fa, nullptr, const_cast<char**>(argv.data()),
                        environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~ServerProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    int port() const { return port_; }
    // Exit status once the process ended within the time, nothing otherwise.
    std::optional<int> WaitExit(int ms) {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return std::nullopt;
    }

  private:
    pid_t pid_ = -1;
    int port_;
};

class Connection {
  public:
    explicit Connection(int port) {
        auto end = Clock::now() + std::chrono::seconds(5);
        while ((fd_ = ConnectLoopback(port)) < 0 && Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (fd_ < 0) ADD_FAILURE() << "no connection to port " << port;
    }
    ~Connection() {
        if (fd_ >= 0) close(fd_);
    }
    void Send(const proto::Bytes& b) {
        size_t at = 0;
        while (at < b.size()) {
            ssize_t n = send(fd_, b.data() + at, b.size() - at, MSG_NOSIGNAL);
            if (n <= 0) return;
            at += static_cast<size_t>(n);
        }
    }
    // The next message, or nothing when the peer closed or `ms` passed.
    std::optional<proto::Message> Read(int ms = 5000) {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            if (auto m = frames_.Next()) return m;
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            if (left <= 0) return std::nullopt;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, left) <= 0) return std::nullopt;
            std::uint8_t buf[4096];
            ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) return std::nullopt;
            frames_.Append(proto::ByteView(buf, static_cast<size_t>(n)));
        }
    }
    // True when the peer closed the connection within `ms`.
    bool Closed(int ms = 5000) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return false;
        std::uint8_t b;
        return recv(fd_, &b, 1, 0) == 0;
    }
    std::string Expect(const proto::Bytes& request, const std::string& reply_name) {
        Send(request);
        auto m = Read();
        EXPECT_TRUE(m.has_value()) << "no reply, expected " << reply_name;
        if (!m) return "";
        EXPECT_EQ(m->name, reply_name) << TextOf(*m);
        return TextOf(*m);
    }

  private:
    int fd_ = -1;
    proto::FrameAssembler frames_{1 << 24};
};

proto::Bytes RawHeader(const std::string& name, std::int32_t length) {
    proto::Bytes b(24, 0);
    for (size_t i = 0; i < name.size() && i < 20; ++i) b[i] = static_cast<std::uint8_t>(name[i]);
    proto::PutInt32BE(b, 20, length);
    return b;
}

class ZefasimServer : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_.CopyExample("flowline.inp");
        server_.emplace(dir_.path(), FreePort());
    }
    TempDir dir_;
    std::optional<ServerProcess> server_;
};

// What the requests do is the session's; over the socket, requests without a
// reply send nothing and a step's two messages come whole and in order.
TEST_F(ZefasimServer, RepliesComeInOrder) {
    Connection c(server_->port());
    c.Expect(proto::PackText(MessageType::Start, "flowline.inp"), "ZEFA_OK");
    c.Send(proto::PackFloat(MessageType::SetTend, 12.5f));
    c.Expect(proto::PackText(MessageType::OuttrNames, " HT $IN GGSOUR $OUT PTBOU"),
             "ZEFA_OUTTR_SIZES");
    c.Send(proto::PackText(MessageType::SimStep, proto::kSimStepText));
    auto ok = c.Read();
    auto data = c.Read();
    ASSERT_TRUE(ok && data);
    EXPECT_EQ(ok->name, "ZEFA_OK");
    EXPECT_EQ(FloatsOf(*data).size(), 3u) << data->name;
}

TEST_F(ZefasimServer, MalformedInputNeverStopsTheServer) {
    {
        Connection c(server_->port());
        c.Expect(proto::PackText(MessageType::Start, "flowline.inp"), "ZEFA_OK");
        EXPECT_NE(
            c.Expect(RawHeader(std::string(20, 'A'), 0), "ZEFA_ERROR").find("unknown request type"),
            std::string::npos);
        proto::Bytes three = RawHeader("ZEFA_INP_SIZES", 3);
        three.insert(three.end(), {1, 2, 3});
        // An unknown name, a reply sent as a request, a payload of no whole ints.
        for (const proto::Bytes& bad :
             {proto::PackText("ZEFA_BOGUS", "x"), proto::PackText(MessageType::Ok, "x"), three})
            c.Expect(bad, "ZEFA_ERROR");
        c.Send(RawHeader("ZEFA_SET_TEND", 0));  // no reply is due, none comes
        proto::Bytes seven = RawHeader("ZEFA_INP_DATA", 7);
        seven.insert(seven.end(), 7, 0xff);
        c.Send(seven);
        c.Send(proto::PackText(MessageType::GetLabelList, std::string("BRA\x01NCH\xff", 8)));
        auto m = c.Read();
        ASSERT_TRUE(m);
        EXPECT_EQ(m->name, "ZEFA_ERROR");
        // Two requests in one write, and one request split over many writes.
        proto::Bytes two = proto::PackText(MessageType::Ping, "a");
        proto::Bytes second = proto::PackText(MessageType::Ping, "b");
        two.insert(two.end(), second.begin(), second.end());
        c.Send(two);
        EXPECT_EQ(c.Read()->name, "ZEFA_PONG");
        EXPECT_EQ(c.Read()->name, "ZEFA_PONG");
        proto::Bytes ping = proto::PackText(MessageType::Ping, "slow");
        for (std::uint8_t byte : ping) c.Send(proto::Bytes{byte});
        EXPECT_EQ(c.Read()->name, "ZEFA_PONG");
        // A negative length cannot be skipped: error, then the connection ends.
        c.Send(RawHeader("ZEFA_PING", -5));
        m = c.Read();
        ASSERT_TRUE(m);
        EXPECT_EQ(m->name, "ZEFA_ERROR");
        EXPECT_TRUE(c.Closed());
    }
    {
        Connection c(server_->port());  // the model stays loaded across connections
        c.Expect(proto::PackText(MessageType::GetTime, proto::kGetTimeText), "ZEFA_OUT_TIME");
        c.Send(RawHeader("ZEFA_PING", 0x7fffffff));
        c.Read();
        EXPECT_TRUE(c.Closed());
    }
    {
        Connection c(server_->port());
        proto::Bytes half = proto::PackText(MessageType::Ping, "cut");
        half.resize(10);
        c.Send(half);  // and the connection closes mid-header
    }
    // Random payloads for every request kind but the stop request.
    Connection c(server_->port());
    std::mt19937 rng(7);
    std::vector<MessageType> kinds;
    for (MessageType t : proto::kMessageTypes) {
        if (proto::IsRequest(t) && t != MessageType::StopServer) kinds.push_back(t);
    }
    for (int round = 0; round < 300; ++round) {
        proto::Bytes payload(rng() % 40);
        for (auto& b : payload) b = static_cast<std::uint8_t>(rng() % 3 ? 'A' + rng() % 26 : rng());
        if (round % 4 == 0 && payload.size() > 8) std::memcpy(payload.data(), "$OUT ", 5);
        c.Send(proto::PackRaw(kinds[rng() % kinds.size()], payload));
        c.Send(proto::PackText(MessageType::Ping, "alive?"));
        bool pong = false;
        for (int k = 0; k < 4 && !pong; ++k) {
            auto r = c.Read(5000);
            ASSERT_TRUE(r) << "no answer in round " << round;
            pong = r->name == "ZEFA_PONG";
        }
        ASSERT_TRUE(pong) << "round " << round;
    }
    c.Send(proto::PackEmpty(MessageType::StopServer));
    EXPECT_EQ(server_->WaitExit(5000), std::optional<int>(0));
}

// A run interval of many hours of simulated time, long enough to keep the
// server busy for minutes.
void StartLongStep(Connection& c) {
    c.Expect(proto::PackText(MessageType::Start, "flowline.inp"), "ZEFA_OK");
    c.Send(proto::PackFloat(MessageType::SetTend, 1.9e6f));
    c.Send(proto::PackText(MessageType::SimStep, proto::kSimStepText));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

// A client gone in the middle of a long step ends the step and the next is
// served at once; a stop request in the middle of one ends the server.
TEST_F(ZefasimServer, ALongStepEndsWhenItsClientGoesOrAsksTheServerToStop) {
    {
        Connection c(server_->port());
        StartLongStep(c);
    }
    auto closed = Clock::now();
    Connection next(server_->port());
    next.Expect(proto::PackText(MessageType::Ping, proto::kPingText), "ZEFA_PONG");
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - closed).count(), 1.0);
    // The model stays loaded, at the time the interrupted step reached.
    next.Send(proto::PackText(MessageType::GetTime, proto::kGetTimeText));
    const float t = FloatsOf(next.Read().value_or(proto::Message{})).at(0);
    EXPECT_GT(t, 0);
    EXPECT_LT(t, 1.9e6f);
    StartLongStep(next);
    next.Send(proto::PackEmpty(MessageType::StopServer));
    EXPECT_EQ(server_->WaitExit(1000), std::optional<int>(0));
}

// A client that idles or abuses the server loses its connection; the server
// lives on and serves the next one: a client silent past the idle time, a
// message dripped slower than its time limit (counted from its first byte,
// not between bytes), a flood of requests while a step runs.
TEST(ZefasimProgramDefence, AnIdleOrAbusiveClientIsDroppedAndTheNextIsServed) {
    struct Row {
        const char* what;
        const char* option;
        std::function<void(Connection&)> abuse;
    } rows[] = {
        {"silent after a ping, against a 1 s idle time", "--idle-timeout",
         [](Connection& c) {
             c.Expect(proto::PackText(MessageType::Ping, proto::kPingText), "ZEFA_PONG");
         }},
        {"a header dripped a byte every 300 ms against a 1 s limit", "--message-timeout",
         [](Connection& c) {
             const proto::Bytes ping = proto::PackText(MessageType::Ping, proto::kPingText);
             for (std::size_t i = 0; i < 8 && !c.Closed(300); ++i) c.Send(proto::Bytes{ping[i]});
         }},
        {"80 MiB of requests sent while a step runs", "--message-timeout",
         [](Connection& c) {
             StartLongStep(c);
             const proto::Bytes big = proto::PackText(MessageType::Ping, std::string(1 << 20, 'x'));
             for (int i = 0; i < 80; ++i) c.Send(big);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        dir.CopyExample("flowline.inp");
        ServerProcess server(dir.path(), FreePort(), {row.option, "1"});
        {
            Connection c(server.port());
            row.abuse(c);
            EXPECT_TRUE(c.Closed(5000));
        }
        Connection next(server.port());
        next.Expect(proto::PackText(MessageType::Ping, proto::kPingText), "ZEFA_PONG");
    }
}

// The server listens on the loopback interface unless told otherwise, and a
// server whose starter has gone (a run killed without a word) exits once its
// client has closed the connection, rather than holding the port.
TEST(ZefasimProgramDefence, LoopbackOnlyAndNoOrphanOnceTheStarterIsGone) {
    TempDir dir;
    const int port = FreePort();
    // Started by a shell that ends a second later: the server's parent goes
    // while a client is connected.
    const std::string command = "cd '" + dir.path() + "' && { '" + ZEFA_SERVER_PATH + "' -server " +
                                std::to_string(port) +
                                " </dev/null >/dev/null 2>&1 & sleep 1; } >/dev/null 2>&1 &";
    ASSERT_EQ(std::system(command.c_str()), 0);
    {
        Connection c(port);
        c.Expect(proto::PackText(MessageType::Ping, proto::kPingText), "ZEFA_PONG");
        std::ifstream table("/proc/net/tcp");
        std::string line, listening;
        char port_hex[8];
        std::snprintf(port_hex, sizeof port_hex, ":%04X", port);
        while (std::getline(table, line))
            if (line.find(std::string(port_hex) + " 00000000:0000 0A") != std::string::npos)
                listening = line;
        EXPECT_NE(listening.find("0100007F" + std::string(port_hex)), std::string::npos)
            << listening;
        // The client is served as long as it stays, its starter gone or not.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        c.Expect(proto::PackText(MessageType::Ping, proto::kPingText), "ZEFA_PONG");
    }
    // Gone: a new connection is refused.
    bool refused = false;
    for (int i = 0; i < 100 && !refused; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const int fd = ConnectLoopback(port);
        refused = fd < 0;
        if (fd >= 0) close(fd);
    }
    EXPECT_TRUE(refused);
}

TEST(ZefasimProgram, HelpDocumentsTheCommandLine) {
    FILE* p = popen(ZEFA_SERVER_PATH " --help", "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[512];
    while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    EXPECT_EQ(pclose(p), 0);
    for (const char* s : {"-server SERVICE", "--port N", "--listen ADDRESS", "/etc/services",
                          "16800", "ZEFA_STOP_SERVER", "--idle-timeout S", "default 3600"})
        EXPECT_NE(out.find(s), std::string::npos) << s;
    EXPECT_NE(std::system(ZEFA_SERVER_PATH " -server 99999 >/dev/null 2>&1"), 0);
}

}  // namespace
}  // namespace zefasim
