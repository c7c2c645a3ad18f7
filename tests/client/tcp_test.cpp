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

TEST(Tcp, SendsWholeMessagesUpToTheLimit) {
    ScriptedPeer peer;
    peer.Receive().Receive();
    peer.Start();
    const int fd = Connect(peer);
    Bytes big = protocol::MakeMessage("BIG", 32767 - 24);
    big.back() = 0x7F;
    EXPECT_EQ(TCPSend(fd, big, 2), 32767);
    Bytes too_big = protocol::MakeMessage("BIG", 32768 - 24);
    EXPECT_THROW(TCPSend(fd, too_big, 2), zefa::Error);
    const Bytes small = protocol::PackText("ZEFA_PING", "x");
    EXPECT_EQ(TCPSend(fd, small, 2), 26);
    ASSERT_TRUE(peer.WaitReceived(2));
    EXPECT_EQ(peer.Received()[0], big);
    EXPECT_EQ(peer.Received()[1], small) << "the refused message must not have been sent";
    TCPClose(fd);
}

TEST(Tcp, ReceivesMessagesInPiecesAndBackToBack) {
    const Bytes first = protocol::PackText("ZEFA_OK", "first reply");
    const float values[] = {1, 2, 3};
    const Bytes second = protocol::PackFloats("ZEFA_OUTTR_DATA", values);
    const Bytes empty = protocol::PackEmpty("ZEFA_PONG");
    ScriptedPeer peer;
    peer.SendInPieces(first, 3, 2).Send(Concat({second, empty}));
    peer.Start();
    const int fd = Connect(peer);
    Bytes buffer;
    EXPECT_EQ(TCPReceive(fd, buffer, 2), static_cast<std::int32_t>(first.size()));
    EXPECT_EQ(buffer, first);
    EXPECT_EQ(TCPReceive(fd, buffer, 2), 36);
    EXPECT_EQ(buffer, second);
    EXPECT_EQ(TCPReceive(fd, buffer, 2), 24);
    EXPECT_EQ(buffer, empty);
    TCPClose(fd);
}

TEST(Tcp, ClosedPeerAndOversizedPayload) {
    Bytes header = protocol::MakeMessage("ZEFA_OUTTR_DATA", 40);
    header.resize(24 + 8);  // announces 40 payload bytes, sends 8, closes
    ScriptedPeer peer;
    peer.Send(header).Pause(20).Close();
    peer.Start();
    int fd = Connect(peer);
    Bytes buffer;
    EXPECT_EQ(TCPReceive(fd, buffer, 2), 0);
    EXPECT_EQ(TCPReceive(fd, buffer, 2), 0);
    // Sending to a peer that has gone gives an error result, not SIGPIPE.
    const Bytes ping = protocol::PackText("ZEFA_PING", "x");
    std::int32_t sent = 1;
    for (int i = 0; i < 50 && sent > 0; ++i) sent = TCPSend(fd, ping, 1);
    EXPECT_LE(sent, 0);
    TCPClose(fd);

    ScriptedPeer peer2;
    peer2.Send(protocol::MakeMessage("ZEFA_OUTTR_DATA", 32768));
    peer2.Start();
    fd = Connect(peer2);
    EXPECT_THROW(TCPReceive(fd, buffer, 2), zefa::Error);
    TCPClose(fd);
}

TEST(Tcp, SilenceEndsAfterTheTimeoutAndZeroMeansOneSecond) {
    ScriptedPeer peer;
    peer.Pause(1100);
    peer.Start();
    const int fd = Connect(peer);
    Bytes buffer;
    const auto start = Clock::now();
    EXPECT_EQ(TCPReceive(fd, buffer, 0), -1);
    const double waited = SecondsSince(start);
    EXPECT_GE(waited, 0.95);
    EXPECT_LT(waited, 1.4);
    EXPECT_EQ(buffer, Bytes(24, 0));
    EXPECT_EQ(TCPReceive(-1, buffer, 5), -1);
    EXPECT_EQ(TCPSend(-1, buffer, 5), -1);
    TCPClose(fd);
}

TEST(Tcp, StalledMessageIsBoundedToo) {
    Bytes partial = protocol::MakeMessage("ZEFA_OK", 10);
    partial.resize(30);
    ScriptedPeer peer;
    peer.Send(partial).Pause(1300);
    peer.Start();
    const int fd = Connect(peer);
    Bytes buffer;
    const auto start = Clock::now();
    // A message that stopped part-way is told apart from silence: the stream
    // is out of step.
    EXPECT_EQ(TCPReceive(fd, buffer, 1), kBrokenMessage);
    EXPECT_LT(SecondsSince(start), 2.2);
    TCPClose(fd);
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
