#include "client/tcp.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <chrono>

#include "platform/error.h"
#include "scripted_peer.h"

namespace zefa::test {
namespace {

using namespace zefa::tcp;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int Connect(ScriptedPeer& peer) {
    std::int32_t fd = -1;
    EXPECT_TRUE(TCPConnect("127.0.0.1", peer.Port(), fd));
    return fd;
}

TEST(Tcp, ConnectRefusesBadPortsAndHosts) {
    std::int32_t fd = -1;
    try {
        TCPConnect("127.0.0.1", 32768, fd);
        FAIL() << "port 32768 accepted";
    } catch (const zefa::Error& e) {
        EXPECT_STREQ(e.what(), "Overflow");
    }
    EXPECT_EQ(fd, -1) << "no socket may be created for a refused port";
    EXPECT_FALSE(TCPConnect("127.0.0.1", 0, fd));
    EXPECT_FALSE(TCPConnect("no-such-host.invalid", 1000, fd));

    // Nothing listens there: the attempt fails and the socket is closed.
    int port = 0;
    close(ListenOnLowPort(port));
    EXPECT_FALSE(TCPConnect("127.0.0.1", port, fd));
}

TEST(Tcp, AddressHelpers) {
    EXPECT_EQ(FormatIPAddress({10, 0, 0, 255}), "10.0.0.255");
    EXPECT_EQ(ResolveAddress("127.0.0.1"), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(GetHostIP("localhost"), "127.0.0.1");
    EXPECT_EQ(ResolveAddress("localhost"), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(GetHostIP("no-such-host.invalid"), "No DNS Entry");
    EXPECT_EQ(ResolveAddress("no-such-host.invalid"), 0xFFFFFFFFu);
    EXPECT_EQ(GetHostIP(std::string(64, 'a')), "No DNS Entry");
    EXPECT_THROW(GetHostIP(std::string(65, 'a')), zefa::Error);
}

// A signal arriving while the transport waits resumes the wait with the time
// that is left: data that arrives later is still read, and silence still lasts
// the whole time-out.
TEST(Tcp, SignalDuringWaitResumesWithRemainingTime) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no automatic restart: the wait sees EINTR
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    itimerval every_100ms{{0, 100000}, {0, 100000}};
    itimerval off{};

    const Bytes reply = protocol::PackText("ZEFA_OK", "late");
    ScriptedPeer peer;
    peer.Pause(350).SendInPieces(reply, 5, 60).Pause(1100);
    peer.Start();
    const int fd = Connect(peer);
    setitimer(ITIMER_REAL, &every_100ms, nullptr);
    Bytes buffer;
    EXPECT_EQ(TCPReceive(fd, buffer, 2), static_cast<std::int32_t>(reply.size()));
    EXPECT_EQ(buffer, reply);
    const auto start = Clock::now();
    EXPECT_EQ(TCPReceive(fd, buffer, 1), -1);
    const double waited = SecondsSince(start);
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GE(waited, 0.95);
    EXPECT_LT(waited, 1.5);
    TCPClose(fd);
}

}  // namespace
}  // namespace zefa::test
