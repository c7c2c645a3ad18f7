#pragma once

// A pipeline server stand-in on 127.0.0.1: serves one connection after
// another, records every request and answers as the server does (or with an
// error for refused request names). Step replies can be held back, or the
// connection closed on a step request.

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

// Binds `fd` to a free loopback port below 32768 (the client takes ports as
// 16-bit signed numbers), from 24000 up, above the fixed ports of the coupled
// run tests (ZEFA_TEST_PORT_BASE, 23800 to 23899); returns it, 0 when none
// was free. Test processes started one after another have neighbouring ids:
// each starts at least 39 ports away from the 200 before and after it, so
// that processes running side by side rarely try each other's ports.
inline int BindLowPort(int fd) {
    static std::atomic<int> next{static_cast<int>(::getpid() % 8000 * 1451 % 8000)};
    for (int attempt = 0; attempt < 2000; ++attempt) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<std::uint16_t>(24000 + next++ % 8000));
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            return ntohs(addr.sin_port);
    }
    return 0;
}

class FakeServer {
  public:
    struct Request {
        std::string name, text;
        std::vector<std::int32_t> ints;
        std::vector<float> floats;
    };

    FakeServer() : fd_(::socket(AF_INET, SOCK_STREAM, 0)), port_(BindLowPort(fd_)) {
        ::listen(fd_, 4);
        thread_ = std::thread([this] { Run(); });
    }
    ~FakeServer() {
        stop_ = true;
        HoldSteps(false);
        thread_.join();
        ::close(fd_);
    }
    int Port() const { return port_; }
    void Refuse(const std::string& name) {
        std::lock_guard lock(mutex_);
        refused_.insert(name);
    }
    // The values of the step results (and of the first result request) from
    // now on; two values until set.
    void StepValues(std::vector<float> values) {
        std::lock_guard lock(mutex_);
        step_values_ = std::move(values);
    }
    // Answers profile requests with these sizes and values (both messages
    // in one write) from now on; a bare OK until set.
    void ProfileReply(std::vector<std::int32_t> sizes, std::vector<float> values) {
        std::lock_guard lock(mutex_);
        profile_sizes_ = std::move(sizes);
        profile_values_ = std::move(values);
    }
    // Closes the connection on a step request instead of answering it.
    void CloseOnSteps(bool close) { close_on_step_ = close; }
    void HoldSteps(bool hold) {
        {
            std::lock_guard lock(mutex_);
            hold_ = hold;
        }
        cv_.notify_all();
    }
    std::vector<Request> Requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    // The requests as "NAME|text" or "NAME|v|v...", once `count` have come (bounded wait).
    std::vector<std::string> Received(std::size_t count = 0) const {
        for (int i = 0; i < 300 && Requests().size() < count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::vector<std::string> out;
        for (const auto& r : Requests()) {
            // Appended piece by piece: "|" + text trips a false -Wrestrict at -O3.
            std::string line = r.name;
            const auto add = [&line](const std::string& piece) {
                line += '|';
                line += piece;
            };
            if (!r.text.empty()) add(r.text);
            for (auto v : r.ints) add(std::to_string(v));
            for (auto v : r.floats) add(std::to_string(static_cast<int>(v)));
            out.push_back(line);
        }
        return out;
    }

    // How many requests start with `prefix` (as Received shows them), once
    // there are `at_least` of them (bounded wait).
    std::size_t Count(const std::string& prefix, std::size_t at_least = 0) const {
        std::size_t n = 0;
        for (int i = 0; i < 300; ++i) {
            n = 0;
            for (const auto& r : Received()) n += r.starts_with(prefix) ? 1 : 0;
            if (n >= at_least) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return n;
    }

  private:
    void Run() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int fd = ::accept(fd_, nullptr, nullptr);
            if (fd < 0) continue;
            protocol::FrameAssembler frames;
            std::uint8_t chunk[4096];
            bool open = true;
            while (open && !stop_) {
                pollfd q{fd, POLLIN, 0};
                if (::poll(&q, 1, 50) <= 0) continue;
                const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
                if (n <= 0) break;
                frames.Append(protocol::ByteView(chunk, static_cast<std::size_t>(n)));
                while (open)
                    if (auto m = frames.Next())
                        open = Answer(fd, *m);
                    else
                        break;
            }
            ::close(fd);
        }
    }

    bool Answer(int fd, const protocol::Message& m) {
        using protocol::MessageType;
        Request r{m.name, {}, {}, {}};
        const auto form = protocol::TypeFromName(m.name)
                              ? protocol::FormOf(*protocol::TypeFromName(m.name))
                              : protocol::PayloadForm::None;
        if (form == protocol::PayloadForm::Text) r.text = protocol::DecodeText(m.payload);
        if (form == protocol::PayloadForm::IntList) r.ints = *protocol::DecodeInts(m.payload);
        if (form == protocol::PayloadForm::FloatList || form == protocol::PayloadForm::OneFloat)
            r.floats = *protocol::DecodeFloats(m.payload);
        std::unique_lock lock(mutex_);
        requests_.push_back(r);
        const bool refused = refused_.count(m.name) != 0;
        if (m.name == "ZEFA_STOP_SERVER") return false;
        if (m.name == "ZEFA_SIM_STEP" && close_on_step_) return false;
        if (m.name == "ZEFA_INP_DATA" || m.name == "ZEFA_SET_TEND") return true;
        protocol::Bytes reply = protocol::PackEmpty(MessageType::Ok);
        const float values[2] = {12.5f, 2.5f};
        if (refused) {
            reply = protocol::PackText(MessageType::Error, "refused " + m.name);
        } else if (m.name == "ZEFA_GET_TIME") {
            reply = protocol::PackFloats(MessageType::OutTime, std::span(values, 1));
        } else if (m.name == "ZEFA_OUTTR_NAMES") {
            reply = protocol::PackEmpty(MessageType::OuttrSizes);
        } else if (m.name == "ZEFA_SENDPR_NAMES" && !profile_sizes_.empty()) {
            reply = protocol::PackInts(MessageType::SendprSizes, profile_sizes_);
            const auto data = protocol::PackFloats(MessageType::SendprData, profile_values_);
            reply.insert(reply.end(), data.begin(), data.end());
        } else if (m.name == "ZEFA_GETTR_RESULT") {
            reply = protocol::PackFloats(MessageType::OuttrData, step_values_);
        } else if (m.name == "ZEFA_SIM_STEP") {
            cv_.wait(lock, [&] { return !hold_; });
            reply = protocol::PackFloats(MessageType::OuttrData, step_values_);
        }
        lock.unlock();
        return ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(reply.size());
    }

    int fd_;
    int port_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> close_on_step_{false};
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool hold_ = false;
    std::set<std::string> refused_;
    std::vector<float> step_values_{12.5f, 2.5f};
    std::vector<std::int32_t> profile_sizes_;
    std::vector<float> profile_values_;
    std::vector<Request> requests_;
};

}  // namespace zefa::test
