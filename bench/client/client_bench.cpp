// Round-trip cost of ZEFA_Client next to a bare socket ping-pong of the same
// bytes, against the same in-process peer, and the step pattern of a coupled
// run (input data, end time and step request back to back, then the reply).
//
// The client thread runs on CPU 0 and the peer on CPU 1 (when there are two),
// the same for every measurement. Each benchmark reports the median, the 99th
// percentile and the maximum of its single round trips in microseconds.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "client/protocol.h"
#include "client/zefa_client.h"
#include "socket_io.h"

namespace {

using zefa::bench::ReadAll;
using zefa::bench::WriteAll;

namespace pr = zefa::protocol;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kRequestBytes = 400;
constexpr std::size_t kReplyBytes = 800;
constexpr int kTrendValues = 40;

void PinTo(int cpu) {
    if (std::thread::hardware_concurrency() < 2) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

std::string NamesOfLength(std::size_t request_bytes) {
    std::string names;
    while (names.size() < request_bytes - pr::kHeaderSize - 1) names += "PT 'BRANCH-1' ";
    names.resize(request_bytes - pr::kHeaderSize - 1);
    return names;
}

// The peer: answers ZEFA_SENDTR_NAMES with an 800-byte ZEFA_SENDTR_DATA and
// ZEFA_SIM_STEP with the step's ZEFA_OUTTR_DATA; reads the other requests
// without answering. Each connection is served by its own thread on CPU 1.
class EchoPeer {
  public:
    EchoPeer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        for (int attempt = 0; attempt < 400; ++attempt) {
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port =
                htons(static_cast<std::uint16_t>(21000 + (getpid() + attempt * 97) % 11000));
            if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                port_ = ntohs(address.sin_port);
                break;
            }
        }
        if (port_ == 0 || ::listen(listener_, 4) != 0) throw std::runtime_error("no port");
        std::vector<float> data((kReplyBytes - pr::kHeaderSize) / 4);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<float>(i) * 0.5f;
        names_reply_ = pr::PackFloats(pr::MessageType::SendtrData, data);
        std::vector<float> trend(kTrendValues, 1.25f);
        step_reply_ = pr::PackFloats(pr::MessageType::OuttrData, trend);
        thread_ = std::thread([this] { Run(); });
    }
    ~EchoPeer() {
        stop_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    int Port() const { return port_; }

  private:
    void Run() {
        while (!stop_) {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            std::thread([this, fd] { Serve(fd); }).detach();
        }
    }
    void Serve(int fd) {
        PinTo(1);
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Bytes message(pr::kHeaderSize);
        for (;;) {
            message.resize(pr::kHeaderSize);
            if (!ReadAll(fd, message.data(), pr::kHeaderSize)) break;
            const auto length = static_cast<std::size_t>(pr::GetInt32BE(message, 20));
            message.resize(pr::kHeaderSize + length);
            if (!ReadAll(fd, message.data() + pr::kHeaderSize, length)) break;
            if (pr::HasTypePrefix(message, "ZEFA_SENDTR_NAMES")) {
                if (!WriteAll(fd, names_reply_.data(), names_reply_.size())) break;
            } else if (pr::HasTypePrefix(message, "ZEFA_SIM_STEP")) {
                if (!WriteAll(fd, step_reply_.data(), step_reply_.size())) break;
            }
        }
        ::close(fd);
    }

    int listener_ = -1;
    int port_ = 0;
    Bytes names_reply_;
    Bytes step_reply_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

EchoPeer& Peer() {
    static EchoPeer peer;
    return peer;
}

int BareConnect() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(Peer().Port()));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("connect failed");
    }
    return fd;
}

// One bare round trip: the 400-byte request out, the 800-byte reply in.
void BareRoundTrip(int fd, const Bytes& request, Bytes& reply) {
    if (!WriteAll(fd, request.data(), request.size()) || !ReadAll(fd, reply.data(), reply.size())) {
        throw std::runtime_error("bare round trip failed");
    }
}

class Latencies {
  public:
    explicit Latencies(std::size_t expected) { samples_.reserve(expected); }
    void Add(Clock::duration d) {
        samples_.push_back(std::chrono::duration<double, std::micro>(d).count());
    }
    double Percentile(double p) {
        std::sort(samples_.begin(), samples_.end());
        if (samples_.empty()) return 0;
        const auto index = static_cast<std::size_t>(p * static_cast<double>(samples_.size() - 1));
        return samples_[index];
    }
    double Max() {
        return samples_.empty() ? 0 : *std::max_element(samples_.begin(), samples_.end());
    }
    std::size_t CountAtLeast(double us) {
        return static_cast<std::size_t>(
            std::count_if(samples_.begin(), samples_.end(), [&](double s) { return s >= us; }));
    }
    void Report(benchmark::State& state, const char* prefix) {
        const std::string p(prefix);
        state.counters[p + "p50_us"] = Percentile(0.50);
        state.counters[p + "p99_us"] = Percentile(0.99);
        state.counters[p + "max_us"] = Max();
        state.counters[p + "n_10ms_or_more"] = static_cast<double>(CountAtLeast(10000.0));
    }

  private:
    std::vector<double> samples_;
};

void BM_BareSocketRoundTrip(benchmark::State& state) {
    PinTo(0);
    const int fd = BareConnect();
    const Bytes request = pr::PackText(pr::MessageType::SendtrNames, NamesOfLength(kRequestBytes));
    Bytes reply(kReplyBytes);
    Latencies latencies(static_cast<std::size_t>(state.max_iterations));
    for (int i = 0; i < 1000; ++i) BareRoundTrip(fd, request, reply);
    for (auto _ : state) {
        const auto start = Clock::now();
        BareRoundTrip(fd, request, reply);
        const auto took = Clock::now() - start;
        latencies.Add(took);
        state.SetIterationTime(std::chrono::duration<double>(took).count());
    }
    latencies.Report(state, "");
    ::close(fd);
}

void BM_ClientRoundTrip(benchmark::State& state) {
    PinTo(0);
    zefa::ZEFA_Client client;
    client.TCPTimeOut = 5;
    if (!client.OpenConnection("127.0.0.1", Peer().Port())) {
        state.SkipWithError("connect failed");
        return;
    }
    const std::string names = NamesOfLength(kRequestBytes);
    std::vector<double> values;
    Latencies latencies(static_cast<std::size_t>(state.max_iterations));
    for (int i = 0; i < 1000; ++i) client.SetSendTrendNames(values, names);
    for (auto _ : state) {
        const auto start = Clock::now();
        const bool ok = client.SetSendTrendNames(values, names);
        const auto took = Clock::now() - start;
        if (!ok || values.size() != (kReplyBytes - pr::kHeaderSize) / 4) {
            state.SkipWithError("round trip failed");
            break;
        }
        latencies.Add(took);
        state.SetIterationTime(std::chrono::duration<double>(took).count());
    }
    latencies.Report(state, "");
}

// Both kinds of round trip alternately on one time line, so that drifts of a
// shared machine hit both alike; reports both and their ratios.
void BM_InterleavedRatio(benchmark::State& state) {
    PinTo(0);
    const int fd = BareConnect();
    zefa::ZEFA_Client client;
    client.TCPTimeOut = 5;
    client.OpenConnection("127.0.0.1", Peer().Port());
    const std::string names = NamesOfLength(kRequestBytes);
    const Bytes request = pr::PackText(pr::MessageType::SendtrNames, names);
    Bytes reply(kReplyBytes);
    std::vector<double> values;
    Latencies bare(static_cast<std::size_t>(state.max_iterations));
    Latencies through_client(static_cast<std::size_t>(state.max_iterations));
    for (int i = 0; i < 1000; ++i) {
        BareRoundTrip(fd, request, reply);
        client.SetSendTrendNames(values, names);
    }
    for (auto _ : state) {
        auto start = Clock::now();
        BareRoundTrip(fd, request, reply);
        const auto bare_took = Clock::now() - start;
        start = Clock::now();
        client.SetSendTrendNames(values, names);
        const auto client_took = Clock::now() - start;
        bare.Add(bare_took);
        through_client.Add(client_took);
        state.SetIterationTime(std::chrono::duration<double>(bare_took + client_took).count());
    }
    bare.Report(state, "bare_");
    through_client.Report(state, "client_");
    state.counters["ratio_p50"] = through_client.Percentile(0.5) / bare.Percentile(0.5);
    state.counters["ratio_p99"] = through_client.Percentile(0.99) / bare.Percentile(0.99);
    ::close(fd);
}

// The step pattern: ZEFA_INP_DATA, ZEFA_SET_TEND and ZEFA_SIM_STEP sent back to
// back (the first two are not answered), then the step's trend data.
void BM_StepPattern(benchmark::State& state) {
    PinTo(0);
    zefa::ZEFA_Client client;
    client.TCPTimeOut = 5;
    if (!client.OpenConnection("127.0.0.1", Peer().Port())) {
        state.SkipWithError("connect failed");
        return;
    }
    std::vector<float> inputs(60, 101325.0f);
    Latencies latencies(static_cast<std::size_t>(state.max_iterations));
    float end_time = 0;
    for (auto _ : state) {
        end_time += 0.5f;
        const auto start = Clock::now();
        client.SetInputData(inputs, static_cast<std::int32_t>(inputs.size()));
        client.SetEndTime(end_time);
        const bool ok = client.SimulateStep(true);
        const auto took = Clock::now() - start;
        if (!ok || client.OutTrendData.size() != kTrendValues) {
            state.SkipWithError("step failed");
            break;
        }
        latencies.Add(took);
        state.SetIterationTime(std::chrono::duration<double>(took).count());
    }
    latencies.Report(state, "");
}

BENCHMARK(BM_BareSocketRoundTrip)
    ->Iterations(20000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ClientRoundTrip)->Iterations(20000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_InterleavedRatio)->Iterations(20000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StepPattern)->Iterations(20000)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
