#pragma once

// A pipeline server stand-in on 127.0.0.1 for tests: accepts connections one
// after another, records every request it receives and answers the way the
// real server does, or with an error for the request names it is told to
// refuse. Step replies can be held back until the test releases them.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/protocol.h"

namespace zefa::test {

// Binds `fd` to a free port of 127.0.0.1 below 32768 (the client takes port
// numbers as 16-bit signed values) and returns it; 0 when none was free.
inline int BindLowPort(int fd) {
    static std::atomic<int> next{20000 + static_cast<int>(::getpid() % 10000)};
    for (int attempt = 0; attempt < 2000; ++attempt) {
        const int port = 20000 + (next++ - 20000) % 12000;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return port;
    }
    return 0;
}

class FakeServer {
  public:
    struct Request {
        std::string name;
        std::string text;                // text payloads
        std::vector<std::int32_t> ints;  // integer-list payloads
        std::vector<float> floats;       // float payloads
    };

    FakeServer() {
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        port_ = BindLowPort(listen_fd_);
        ::listen(listen_fd_, 4);
        thread_ = std::thread([this] { Run(); });
    }
    ~FakeServer() {
        stop_ = true;
        {
            std::lock_guard lock(mutex_);
            hold_steps_ = false;
        }
        cv_.notify_all();
        thread_.join();
        ::close(listen_fd_);
    }

    int Port() const { return port_; }
    void Refuse(const std::string& name) {
        std::lock_guard lock(mutex_);
        refused_.insert(name);
    }
    void HoldSteps(bool hold) {
        {
            std::lock_guard lock(mutex_);
            hold_steps_ = hold;
        }
        cv_.notify_all();
    }
    void SetSimTime(float t) { sim_time_ = t; }
    std::vector<Request> Requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& r : Requests()) names.push_back(r.name);
        return names;
    }
    // Waits (bounded) until `count` requests have arrived.
    bool WaitForRequests(std::size_t count, int ms = 3000) const {
        for (int i = 0; i < ms / 10; ++i) {
            if (Requests().size() >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    int Connections() const { return connections_; }

  private:
    void Run() {
        while (!stop_) {
            pollfd p{listen_fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int fd = ::accept(listen_fd_, nullptr, nullptr);
            if (fd < 0) continue;
            ++connections_;
            Serve(fd);
            ::close(fd);
        }
    }

    void Serve(int fd) {
        protocol::FrameAssembler frames;
        std::uint8_t chunk[4096];
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) return;
            frames.Append(protocol::ByteView(chunk, static_cast<std::size_t>(n)));
            while (auto message = frames.Next()) {
                if (!Answer(fd, *message)) return;
            }
        }
    }

    bool Answer(int fd, const protocol::Message& m) {
        using protocol::MessageType;
        Request r{m.name, {}, {}, {}};
        const auto type = protocol::TypeFromName(m.name);
        const auto form = type ? protocol::FormOf(*type) : protocol::PayloadForm::None;
        if (form == protocol::PayloadForm::Text) r.text = protocol::DecodeText(m.payload);
        if (form == protocol::PayloadForm::IntList)
            r.ints = protocol::DecodeInts(m.payload).value_or(std::vector<std::int32_t>{});
        if (form == protocol::PayloadForm::FloatList || form == protocol::PayloadForm::OneFloat)
            r.floats = protocol::DecodeFloats(m.payload).value_or(std::vector<float>{});
        bool refused = false;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(r);
            refused = refused_.count(m.name) != 0;
        }
        if (m.name == "ZEFA_STOP_SERVER") return false;
        if (m.name == "ZEFA_INP_DATA" || m.name == "ZEFA_SET_TEND" || m.name == "ZEFA_SET_TIME")
            return true;
        protocol::Bytes reply;
        if (refused) {
            reply = protocol::PackText(MessageType::Error, "refused " + m.name);
        } else if (m.name == "ZEFA_PING") {
            reply = protocol::PackText(MessageType::Pong, protocol::kPongText);
        } else if (m.name == "ZEFA_GET_TIME") {
            const float t = sim_time_;
            reply = protocol::PackFloats(MessageType::OutTime, std::span<const float>(&t, 1));
        } else if (m.name == "ZEFA_SIM_STEP") {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [&] { return !hold_steps_ || stop_; });
            const float values[2] = {1.5f, 2.5f};
            reply = protocol::PackFloats(MessageType::OuttrData, values);
        } else {
            reply = protocol::PackEmpty(MessageType::Ok);
        }
        return ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(reply.size());
    }

    int listen_fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<float> sim_time_{0.0f};
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool hold_steps_ = false;
    std::set<std::string> refused_;
    std::vector<Request> requests_;
};

}  // namespace zefa::test
