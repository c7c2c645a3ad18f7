// The client's socket transport: connect, send and receive with deadlines, and
// host name look-up.
#include "client/tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "client/protocol.h"
#include "platform/error.h"

namespace zefa::tcp {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::int32_t kOverflowNumber = 6;
constexpr std::int32_t kSubscriptNumber = 9;
constexpr std::int32_t kInvalidArgumentNumber = 5;
constexpr std::size_t kMaxHostNameLength = 64;

[[noreturn]] void RaiseOverflow() {
    throw zefa::Error(kOverflowNumber, "ZEFAPipeline", "Overflow");
}

SteadyClock::time_point DeadlineAfter(std::int32_t timeout_seconds) {
    return SteadyClock::now() + std::chrono::seconds(std::max(timeout_seconds, 1));
}

// Waits until the socket is ready for `events` or the deadline passes. A wait
// interrupted by a signal is resumed with the time that is left.
// Result: true when ready (or in an error/hang-up state that the next call reports).
bool WaitReady(int fd, short events, SteadyClock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
        if (left.count() <= 0) return false;
        pollfd entry{fd, events, 0};
        const int timeout_ms = static_cast<int>(std::min<std::int64_t>(left.count(), 1 << 30));
        const int rc = ::poll(&entry, 1, timeout_ms);
        if (rc > 0) return true;
        if (rc == 0) continue;  // re-check the deadline: poll may wake a little early
        if (errno != EINTR) return false;
    }
}

// Reads exactly `count` bytes into `out`, each read bounded by the deadline.
// Result: count, 0 when the peer closed, -1 on error or time-out.
std::int32_t ReadExactly(int fd, std::uint8_t* out, std::size_t count,
                         SteadyClock::time_point deadline) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = ::recv(fd, out + done, count - done, MSG_DONTWAIT);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
            continue;
        }
        if (got == 0) return 0;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        if (!WaitReady(fd, POLLIN, deadline)) return -1;
    }
    return static_cast<std::int32_t>(count);
}

}  // namespace

void TCPStartup() {}

bool TCPConnect(const std::string& host, std::int32_t port, std::int32_t& socket_handle,
                std::int32_t timeout_seconds) {
    TCPStartup();
    // The port travels as a signed 16-bit number: refuse what does not fit
    // before anything is created.
    if (port > 32767 || port < -32768) RaiseOverflow();
    if (port < 1) return false;

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    socket_handle = fd;

    // Small requests go out back to back; do not let them wait for acknowledgements.
    const int one = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    bool ok = false;
    try {
        address.sin_addr.s_addr = ResolveAddress(host);
    } catch (...) {
        TCPClose(fd);
        throw;
    }
    if (address.sin_addr.s_addr != INADDR_NONE) {
        // The connection is attempted without blocking and its outcome awaited
        // for at most the time-out.
        const int flags = ::fcntl(fd, F_GETFL, 0);
        if (flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0) {
            int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
            if (rc != 0 && (errno == EINPROGRESS || errno == EINTR)) {
                int error = 0;
                socklen_t length = sizeof error;
                rc = WaitReady(fd, POLLOUT, DeadlineAfter(timeout_seconds)) &&
                             ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
                             error == 0
                         ? 0
                         : -1;
            }
            ok = rc == 0 && ::fcntl(fd, F_SETFL, flags) == 0;
        }
    }
    if (!ok) TCPClose(fd);
    return ok;
}

std::int32_t TCPSend(std::int32_t socket_handle, std::span<const std::uint8_t> message,
                     std::int32_t timeout_seconds) {
    if (message.size() > static_cast<std::size_t>(protocol::kMaxMessageBytes)) RaiseOverflow();
    if (socket_handle < 0) return -1;
    const auto deadline = DeadlineAfter(timeout_seconds);
    if (!WaitReady(socket_handle, POLLOUT, deadline)) return -1;
    std::size_t offset = 0;
    while (offset < message.size()) {
        // Never block past the deadline; a vanished peer gives an error, not SIGPIPE.
        const ssize_t sent = ::send(socket_handle, message.data() + offset, message.size() - offset,
                                    MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            offset += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitReady(socket_handle, POLLOUT, deadline)) return -1;
            continue;
        }
        return sent < 0 ? -1 : 0;
    }
    return static_cast<std::int32_t>(message.size());
}

std::int32_t TCPReceive(std::int32_t socket_handle, std::vector<std::uint8_t>& buffer,
                        std::int32_t timeout_seconds) {
    buffer.assign(protocol::kHeaderSize, 0);
    if (socket_handle < 0) return -1;
    if (!WaitReady(socket_handle, POLLIN, DeadlineAfter(timeout_seconds))) return kNothingArrived;
    // The first bytes are here. The rest of the message gets its own time-out,
    // so that a peer that stops in the middle cannot hold the caller forever.
    const auto deadline = DeadlineAfter(timeout_seconds);
    std::int32_t rc = ReadExactly(socket_handle, buffer.data(), protocol::kHeaderSize, deadline);
    if (rc < 1) return rc == 0 ? kPeerClosed : kBrokenMessage;
    const std::int32_t length = protocol::GetInt32BE(buffer, protocol::kLengthOffset);
    if (length > protocol::kMaxPayloadBytes) RaiseOverflow();
    if (length < 0) {
        throw zefa::Error(kSubscriptNumber, "ZEFAPipeline", "Subscript out of range");
    }
    buffer.resize(protocol::kHeaderSize + static_cast<std::size_t>(length));
    if (length > 0) {
        rc = ReadExactly(socket_handle, buffer.data() + protocol::kHeaderSize,
                         static_cast<std::size_t>(length), deadline);
        if (rc < 1) return rc == 0 ? kPeerClosed : kBrokenMessage;
    }
    return static_cast<std::int32_t>(protocol::kHeaderSize) + length;
}

void TCPClose(std::int32_t socket_handle) {
    if (socket_handle >= 0) ::close(socket_handle);
}

std::uint32_t ResolveAddress(const std::string& host) {
    const in_addr_t dotted = ::inet_addr(host.c_str());
    if (dotted != INADDR_NONE) return dotted;
    return ::inet_addr(GetHostIP(host).c_str());
}

std::string GetHostIP(const std::string& host) {
    if (host.size() > kMaxHostNameLength) {
        throw zefa::Error(kInvalidArgumentNumber, "ZEFAPipeline",
                          "Invalid argument: host name longer than 64 characters");
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 ||
        result == nullptr) {
        return "No DNS Entry";
    }
    std::array<std::uint8_t, 4> bytes{};
    const auto* address = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
    std::memcpy(bytes.data(), &address->sin_addr.s_addr, 4);
    ::freeaddrinfo(result);
    return FormatIPAddress(bytes);
}

std::string FormatIPAddress(const std::array<std::uint8_t, 4>& address) {
    return std::to_string(address[0]) + "." + std::to_string(address[1]) + "." +
           std::to_string(address[2]) + "." + std::to_string(address[3]);
}

}  // namespace zefa::tcp
