#pragma once

// A scripted server on 127.0.0.1 for the client tests: it accepts one
// connection, then runs its script (read a framed message and record it, send
// exact bytes, in pieces, pause, close). After the script it keeps the
// connection until the client closes it. Every wait is bounded.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "../support/fake_server.h"
#include "client/protocol.h"

namespace zefa::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A listening socket on a free loopback port the client accepts (1..32767).
inline int ListenOnLowPort(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    port = BindLowPort(fd);
    if (port == 0 || ::listen(fd, 4) != 0) throw std::runtime_error("no free port below 32768");
    return fd;
}

class ScriptedPeer {
  public:
    ScriptedPeer() : listener_(ListenOnLowPort(port_)) {}
    ~ScriptedPeer() {
        stop_ = true;
        Join();
        if (listener_ >= 0) ::close(listener_);
    }

    int Port() const { return port_; }

    ScriptedPeer& Receive() {
        steps_.push_back([this](int fd) { return ReadMessage(fd); });
        return *this;
    }
    ScriptedPeer& Send(Bytes bytes) {
        steps_.push_back([bytes](int fd) { return WriteAll(fd, bytes); });
        return *this;
    }
    ScriptedPeer& SendInPieces(Bytes bytes, std::size_t piece, int delay_ms) {
        steps_.push_back([bytes, piece, delay_ms](int fd) {
            for (std::size_t at = 0; at < bytes.size(); at += piece) {
                const auto end = std::min(bytes.size(), at + piece);
                if (!WriteAll(fd, Bytes(bytes.begin() + at, bytes.begin() + end))) return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
            }
            return true;
        });
        return *this;
    }
    ScriptedPeer& Pause(int ms) {
        steps_.push_back([ms](int) {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            return true;
        });
        return *this;
    }
    ScriptedPeer& Close() {
        steps_.push_back([](int fd) {
            ::shutdown(fd, SHUT_RDWR);
            return false;
        });
        return *this;
    }
    // Receives one request and answers it with `reply`.
    ScriptedPeer& Answer(Bytes reply) { return Receive().Send(std::move(reply)); }

    void Start() {
        thread_ = std::thread([this] { Run(); });
    }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }

    std::vector<Bytes> Received() {
        std::lock_guard lock(mutex_);
        return received_;
    }
    // Waits (bounded) until `count` messages have been recorded.
    bool WaitReceived(std::size_t count, int ms = 3000) {
        for (int waited = 0; waited < ms; waited += 5) {
            {
                std::lock_guard lock(mutex_);
                if (received_.size() >= count) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    // True when the client closed the connection after the script.
    bool SawClientClose() const { return saw_close_; }

  private:
    static bool WaitReadable(int fd, int ms) {
        pollfd entry{fd, POLLIN, 0};
        return ::poll(&entry, 1, ms) > 0;
    }
    static bool WriteAll(int fd, const Bytes& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    bool ReadExactly(int fd, std::uint8_t* out, std::size_t count) {
        std::size_t done = 0;
        while (done < count) {
            if (!WaitReadable(fd, 10000)) return false;
            const ssize_t n = ::recv(fd, out + done, count - done, 0);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    bool ReadMessage(int fd) {
        Bytes message(protocol::kHeaderSize);
        if (!ReadExactly(fd, message.data(), message.size())) return false;
        const std::int32_t length = protocol::GetInt32BE(message, protocol::kLengthOffset);
        if (length < 0 || length > 1 << 20) return false;
        message.resize(protocol::kHeaderSize + static_cast<std::size_t>(length));
        if (!ReadExactly(fd, message.data() + protocol::kHeaderSize,
                         static_cast<std::size_t>(length))) {
            return false;
        }
        std::lock_guard lock(mutex_);
        received_.push_back(std::move(message));
        return true;
    }
    void Run() {
        if (!WaitReadable(listener_, 10000)) return;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        bool ok = true;
        for (auto& step : steps_) {
            if (!(ok = step(fd))) break;
        }
        if (ok) {
            // Keep the connection until the client closes it (bounded).
            std::uint8_t byte;
            for (int i = 0; i < 500 && !stop_; ++i) {
                if (WaitReadable(fd, 20)) break;
            }
            saw_close_ = WaitReadable(fd, 0) && ::recv(fd, &byte, 1, 0) == 0;
        }
        ::close(fd);
    }

    int port_ = 0;
    int listener_;
    std::vector<std::function<bool(int)>> steps_;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Bytes> received_;
    std::atomic<bool> saw_close_{false};
    std::atomic<bool> stop_{false};
};

}  // namespace zefa::test
