// A coupled run's host step against a real zefa-server, run interval equal to
// the host step, and one bare loopback round trip of the same sizes measured
// in the same run.
//
// Placement: the benchmark's thread (the host) runs on CPU 0; zefa-server and
// the bare echo peer run on CPU 1 (on a single-core machine nothing is
// pinned).
//
// What a step costs the extension. For host step k:
//   E_k  wall time of every call the host makes into the extension during the
//        step (PreProcessStates with its wait for the server, the
//        pressure-flow equation calls, the composition and post-processing
//        calls), less the benchmark's own bookkeeping inside them;
//   C_k  the server's compute for the step whose results PreProcessStates
//        takes: the CPU time zefa-server's (single) thread used between the
//        arrival of the previous step's results and the arrival of these,
//        read from the kernel's per-task schedstat counter (nanoseconds).
//        Both readings fall where the server has just sent its reply and is
//        idle, so each covers exactly one server step: reading the request,
//        integrating, packing and sending the reply;
//   G_k  the time the server had to compute that step in the background:
//        from the end of PreProcessStates of step k-1 (which sent the
//        request) to the start of PreProcessStates of step k (which waits),
//        less the benchmark's bookkeeping in between. The request leaves a
//        little before that end and the wait begins a little after that
//        start, so G_k errs short and the overhead errs high.
// The part of the server's compute the extension could have been waiting for
// is max(0, C_k - G_k); the extension's own time (its overhead) is
//   O_k = E_k - max(0, C_k - G_k),
// which holds the network round trip, packing and unpacking, and the host
// table work. It is compared with the median bare round trip: a request of
// the step's request size sent in one write and a reply of the step's reply
// size read back, against an echo peer that answers at once on CPU 1.
//
// Bare round trips are taken in blocks between blocks of host steps, after
// the server has answered the outstanding step (so the peer and the server
// never share CPU 1). The host step after each bare block is left out: its
// results were waiting already.
//
// Counters: steps_per_second (host steps per wall second over the timed
// steps, bare blocks excluded), overhead_p50_us / overhead_p99_us /
// max_overhead_ms, bare_rtt_p50_us / bare_rtt_p99_us, overhead_ratio_p50
// (median O over the median bare round trip), overhead_ratio_p99 (99th
// percentile of O over the 99th percentile of the bare round trips: tail
// against tail, as a shared machine delays both alike),
// overhead_p99_over_bare_p50 (the stricter tail against the median bare round
// trip), steps_10ms_over (steps whose O reached 10 ms), bare_rtt_max_ms and
// bare_rtts_10ms_over (the same for the bare round trips: stalls of a shared
// machine), server_compute_p50_us, request_bytes and reply_bytes (per step).

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "extension/inspector.h"
#include "extension/zefa.h"
#include "lib/case_file.h"
#include "lib/flowsheet_file.h"
#include "lib/integrator_run.h"
#include "socket_io.h"

namespace {

using zefa::bench::ReadAll;
using zefa::bench::WriteAll;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr int kWarmUpSteps = 200;
constexpr int kStepsPerBlock = 20;
constexpr int kBareTripsPerBlock = 20;

bool TwoCores() {
    return std::thread::hardware_concurrency() >= 2;
}

void PinThisThread(int cpu) {
    if (!TwoCores()) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

void NoDelay(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// A loopback port the client's 16-bit port number can carry, free a moment ago.
int FreeLowPort() {
    for (int attempt = 0; attempt < 500; ++attempt) {
        const int port = 20000 + static_cast<int>((getpid() * 31 + attempt * 97) % 12000);
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        if (ok) return port;
    }
    throw std::runtime_error("no free port");
}

// zefa-server in `dir`, pinned to CPU 1; killed on destruction.
class ServerProcess {
  public:
    ServerProcess(const std::string& dir, int port) {
        const std::string port_text = std::to_string(port);
        pid_ = ::fork();
        if (pid_ == 0) {
            if (TwoCores()) {
                cpu_set_t set;
                CPU_ZERO(&set);
                CPU_SET(1, &set);
                ::sched_setaffinity(0, sizeof set, &set);
            }
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            if (::chdir(dir.c_str()) != 0) ::_exit(127);
            ::execl(ZEFA_SERVER_PATH, ZEFA_SERVER_PATH, "-server", port_text.c_str(), "--bind",
                    "127.0.0.1", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (pid_ < 0) throw std::runtime_error("fork failed");
        const std::string stat = "/proc/" + std::to_string(pid_) + "/schedstat";
        schedstat_ = ::open(stat.c_str(), O_RDONLY | O_CLOEXEC);
    }
    ~ServerProcess() {
        if (schedstat_ >= 0) ::close(schedstat_);
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Nanoseconds the server has run on a CPU so far; negative when unknown.
    double CpuNs() const {
        char buf[128];
        const ssize_t n = ::pread(schedstat_, buf, sizeof buf - 1, 0);
        if (n <= 0) return -1;
        buf[n] = '\0';
        return std::strtod(buf, nullptr);
    }
    bool WaitListening(int port) const {
        for (int i = 0; i < 250; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<std::uint16_t>(port));
            const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            ::close(fd);
            if (ok) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

  private:
    pid_t pid_ = -1;
    int schedstat_ = -1;
};

// Answers every request of `request_bytes` with `reply_bytes` at once, on CPU 1.
class EchoPeer {
  public:
    EchoPeer(std::size_t request_bytes, std::size_t reply_bytes)
        : request_(request_bytes), reply_(reply_bytes, 0x5a) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listener_, 1) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("echo peer: no port");
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
        client_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        NoDelay(client_);
        if (::connect(client_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("echo peer: connect failed");
        request_out_.assign(request_bytes, 0xa5);
        reply_in_.resize(reply_bytes);
    }
    ~EchoPeer() {
        ::shutdown(client_, SHUT_RDWR);
        ::close(client_);
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    EchoPeer(const EchoPeer&) = delete;
    EchoPeer& operator=(const EchoPeer&) = delete;

    // One bare round trip: the request in one write, the whole reply read.
    bool RoundTrip() {
        return WriteAll(client_, request_out_.data(), request_out_.size()) &&
               ReadAll(client_, reply_in_.data(), reply_in_.size());
    }

  private:
    void Serve() {
        PinThisThread(1);
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        NoDelay(fd);
        while (ReadAll(fd, request_.data(), request_.size()) &&
               WriteAll(fd, reply_.data(), reply_.size())) {
        }
        ::close(fd);
    }

    std::vector<std::uint8_t> request_;
    std::vector<std::uint8_t> reply_;
    std::vector<std::uint8_t> request_out_;
    std::vector<std::uint8_t> reply_in_;
    int listener_ = -1;
    int client_ = -1;
    int port_ = 0;
    std::thread thread_;
};

// Bytes the socket has sent (acknowledged) and received so far.
struct ByteCounts {
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
};
ByteCounts SocketBytes(int fd) {
    tcp_info info{};
    socklen_t len = sizeof info;
    ByteCounts counts;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0) {
        counts.sent = info.tcpi_bytes_acked;
        counts.received = info.tcpi_bytes_received;
    }
    return counts;
}

// The extension, timing every call the host makes during a step and marking
// the arrival of each server step's results.
class TimedZefa final : public zefa::ZEFA {
  public:
    using ZEFA::ZEFA;

    struct Step {
        Clock::duration in_calls{};     // E_k, bookkeeping excluded
        Clock::duration bookkeeping{};  // inside the calls
        Clock::time_point pre_start{};
        Clock::time_point pre_end{};
        double server_cpu_ns = -1;  // at the arrival of the results
        int arrivals = 0;
    };
    Step step;
    const ServerProcess* server = nullptr;
    bool timing = false;

  private:
    // Runs `f`, adding its wall time to the step's.
    template <class F>
    auto Time(F&& f) {
        struct Add {
            Step& s;
            Clock::time_point start = Clock::now();
            ~Add() { s.in_calls += Clock::now() - start; }
        } add{step};
        return f();
    }

  public:
    void PreProcessStates() override {
        const auto start = Clock::now();
        step.pre_start = start;
        ZEFA::PreProcessStates();
        step.pre_end = Clock::now();
        step.in_calls += step.pre_end - start;
    }
    void FinishRunZefa() override {
        ZEFA::FinishRunZefa();
        if (!timing || server == nullptr) return;
        const auto start = Clock::now();
        step.server_cpu_ns = server->CpuNs();
        ++step.arrivals;
        step.bookkeeping += Clock::now() - start;
    }
    void PostProcessStates() override {
        Time([&] { ZEFA::PostProcessStates(); });
    }
    void StepEnergyExplicitly(double t) override {
        Time([&] { ZEFA::StepEnergyExplicitly(t); });
    }
    void StepCompositionExplicitly() override {
        Time([&] { ZEFA::StepCompositionExplicitly(); });
    }
    std::int32_t NumberOfPressBalEquations() override {
        return Time([&] { return ZEFA::NumberOfPressBalEquations(); });
    }
    std::optional<std::vector<std::int32_t>> VariablesInPressBalanceEquations() override {
        return Time([&] { return ZEFA::VariablesInPressBalanceEquations(); });
    }
    std::optional<std::vector<std::shared_ptr<host::RealValue>>> PressureBalanceEquationVars(
        std::int32_t& index) override {
        return Time([&] { return ZEFA::PressureBalanceEquationVars(index); });
    }
    std::optional<std::vector<double>> PressureBalanceEquationCoef(std::int32_t index) override {
        return Time([&] { return ZEFA::PressureBalanceEquationCoef(index); });
    }
    std::int32_t NumberOfFlowBalEquations() override {
        return Time([&] { return ZEFA::NumberOfFlowBalEquations(); });
    }
    std::optional<std::vector<std::int32_t>> VariablesInFlowBalanceEquations() override {
        return Time([&] { return ZEFA::VariablesInFlowBalanceEquations(); });
    }
    std::optional<std::vector<std::shared_ptr<host::RealValue>>> FlowBalanceEquationVars(
        std::int32_t& index) override {
        return Time([&] { return ZEFA::FlowBalanceEquationVars(index); });
    }
    std::optional<std::vector<double>> FlowBalanceEquationCoef(std::int32_t index) override {
        return Time([&] { return ZEFA::FlowBalanceEquationCoef(index); });
    }
    void UpdatePFEquationCoeffs() override {
        Time([&] { ZEFA::UpdatePFEquationCoeffs(); });
    }
};

// A feed of fixed mass flow into the pipeline's source IN; the pipeline's
// boundary OUT delivers into a terminal held at 20 bar.
json CaseDocument(const std::string& dir, int port) {
    json doc = json::parse(R"({
  "format": "zefalink-case",
  "version": 1,
  "solver": { "mode": 1, "step_size": 1.0, "time": 0.0 },
  "flowsheet": {
    "components": ["methane", "ethane", "propane", "n-butane", "n-pentane", "n-hexane", "c7+",
                   "carbon-dioxide", "nitrogen", "water"],
    "streams": [
      { "name": "Wellstream", "temperature": 60.0, "pressure": 2400.0 },
      { "name": "Arrival", "temperature": 30.0, "pressure": 2000.0 }
    ],
    "units": [
      { "name": "Well", "type": "feed", "outlet": "Wellstream",
        "composition": { "methane": 0.6, "ethane": 0.05, "propane": 0.04, "n-butane": 0.02,
                         "n-pentane": 0.02, "n-hexane": 0.03, "c7+": 0.08,
                         "carbon-dioxide": 0.02, "nitrogen": 0.01, "water": 0.13 },
        "temperature": 60.0, "mass_flow": 8.0 },
      { "name": "Arrival terminal", "type": "sink", "inlet": "Arrival", "pressure": 2000.0 }
    ]
  },
  "record": null,
  "units": [
    { "name": "PIPE-100", "type": "zefapipeline",
      "variables": {
        "Inlets": ["Wellstream"], "Outlets": ["Arrival"],
        "SourceTags": ["IN"], "BoundaryTags": ["OUT"],
        "InletBoundaryCB": [0], "OutletSourceCB": [0], "bFlowSwitch": [0],
        "ignoreZEFA": 0, "boolWritePFEquations": 1, "boolTraceErrors": 1,
        "boolUseAutoStart": 0, "useAutoConnect": 0, "boolAutoLoadSS": 0, "boolLogClient": 0,
        "ZEFARunInterval": 1.0, "ZEFAsimTime": 0, "syncZefatoKavris": 0,
        "TrendFrequency": 10, "ProfileFrequency": 10, "ControllersOn": 0, "shutin": 0,
        "TCPTimeOut": 5, "InitTimeOut": 300, "TimeStepTimeOut": 10,
        "InputFile": "flowline.inp"
      } }
  ]
})");
    auto& v = doc["units"][0]["variables"];
    v["zefaHost"] = "127.0.0.1";
    v["ServerName"] = std::to_string(port);
    v["PortNumber"] = port;
    v["zefaModelPath"] = dir;
    v["zefaExe"] = ZEFA_SERVER_PATH;
    return doc;
}

void BM_CoupledStep(benchmark::State& state) {
    PinThisThread(0);
    const fs::path dir =
        fs::temp_directory_path() / ("zefa-coupled-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    struct RemoveDir {
        fs::path p;
        ~RemoveDir() {
            std::error_code ec;
            fs::remove_all(p, ec);
        }
    } remove_dir{dir};
    fs::copy_file(fs::path(ZEFA_EXAMPLES_DIR) / "flowline.inp", dir / "flowline.inp");

    const int port = FreeLowPort();
    ServerProcess server(dir.string(), port);
    if (!server.WaitListening(port)) {
        state.SkipWithError("zefa-server did not start");
        return;
    }

    const std::string case_path = (dir / "coupled.case.json").string();
    const json doc = CaseDocument(dir.string(), port);
    std::ofstream(case_path) << doc.dump(2);
    auto plant = refhost::LoadFlowsheet(doc["flowsheet"], case_path);
    refhost::HostCase c = refhost::LoadCase(case_path, refhost::PlantStreams(*plant));
    refhost::AddPlantToCase(*plant, doc["flowsheet"], *c.host_case->Flowsheet());
    auto zefa = std::make_shared<TimedZefa>(c.ui);
    struct Terminate {
        std::shared_ptr<TimedZefa> z;
        ~Terminate() { z->Terminate(); }
    } terminate{zefa};
    zefa->Initialize(c.units.at(0), true);
    zefa->OpenTheConnection(false);
    if (zefa->ServerStateNumber() != 1 || !zefa->LoadZEFAFile() || !zefa->InitializeZEFA()) {
        state.SkipWithError("the pipeline model could not be loaded");
        return;
    }

    refhost::DynamicRun run(*plant, c.host_case->SolverObject(),
                            {refhost::MakeExtensionUnit(c.units.at(0), zefa)});
    const auto fail = [&](const std::string& why) {
        std::string text = why + ": " + run.Error();
        for (const auto& line : c.window->Lines()) text += " | " + line;
        state.SkipWithError(text.c_str());
    };
    if (!run.Start() || !run.RefusedUnits().empty()) return fail("the coupled run did not start");
    // A run whose steps report errors would time the error path.
    const std::size_t lines_at_start = c.window->Lines().size();
    // The client's socket: its byte counters give the step's message sizes,
    // and a readable socket tells that the outstanding step has finished.
    const int client_fd = zefa::ZefaInspector(*zefa).client().SocketHandle();

    // Warm-up: past the start-up transient; the step's request and reply sizes.
    zefa->server = &server;
    for (int i = 0; i < 20; ++i)
        if (!run.Step()) return fail("warm-up step failed");
    const ByteCounts before = SocketBytes(client_fd);
    for (int i = 0; i < kWarmUpSteps; ++i)
        if (!run.Step()) return fail("warm-up step failed");
    const ByteCounts after = SocketBytes(client_fd);
    const auto request_bytes = static_cast<std::size_t>((after.sent - before.sent) / kWarmUpSteps);
    const auto reply_bytes =
        static_cast<std::size_t>((after.received - before.received) / kWarmUpSteps);
    if (request_bytes == 0 || reply_bytes == 0) return fail("no traffic in the warm-up");
    EchoPeer peer(request_bytes, reply_bytes);
    for (int i = 0; i < 200; ++i) peer.RoundTrip();

    std::vector<double> overhead_us, server_us, bare_us;
    overhead_us.reserve(static_cast<std::size_t>(state.max_iterations));
    server_us.reserve(static_cast<std::size_t>(state.max_iterations));
    Clock::duration stepping{};
    long timed_steps = 0;

    zefa->timing = true;
    // The previous step's marks; `valid` is false after a bare block.
    Clock::time_point last_pre_end{};
    Clock::time_point last_step_end{};
    double last_cpu_ns = -1;
    bool valid = false;
    int in_block = 0;
    for (auto _ : state) {
        zefa->step = {};
        const auto step_start = Clock::now();
        const bool ok = run.Step();
        const auto step_end = Clock::now();
        if (!ok) return fail("step failed");
        const TimedZefa::Step& s = zefa->step;
        if (s.arrivals != 1) {
            fail("a step without exactly one server result");
            return;
        }
        if (valid && last_cpu_ns >= 0 && s.server_cpu_ns >= 0) {
            const double e = Micros(s.in_calls - s.bookkeeping);
            const double c_k = (s.server_cpu_ns - last_cpu_ns) / 1000.0;
            // Everything between two host steps is the benchmark's own.
            const double g = Micros((s.pre_start - last_pre_end) - (step_start - last_step_end));
            overhead_us.push_back(e - std::max(0.0, c_k - g));
            server_us.push_back(c_k);
            stepping += step_end - step_start;
            ++timed_steps;
        }
        last_pre_end = s.pre_end;
        last_step_end = step_end;
        last_cpu_ns = s.server_cpu_ns;
        valid = true;

        if (++in_block == kStepsPerBlock) {
            in_block = 0;
            // Wait for the outstanding step's results to reach the socket
            // (the server is idle then), and time bare round trips.
            pollfd p{client_fd, POLLIN, 0};
            ::poll(&p, 1, 10000);
            for (int i = 0; i < kBareTripsPerBlock; ++i) {
                const auto t0 = Clock::now();
                if (!peer.RoundTrip()) return fail("bare round trip failed");
                bare_us.push_back(Micros(Clock::now() - t0));
            }
            valid = false;
        }
    }
    zefa->timing = false;
    if (c.window->Lines().size() != lines_at_start) return fail("the steps reported errors");

    const double bare_p50 = Percentile(bare_us, 0.5);
    const double o50 = Percentile(overhead_us, 0.5);
    const double o99 = Percentile(overhead_us, 0.99);
    const double omax =
        overhead_us.empty() ? 0 : *std::max_element(overhead_us.begin(), overhead_us.end());
    state.counters["steps_per_second"] =
        static_cast<double>(timed_steps) / std::chrono::duration<double>(stepping).count();
    state.counters["overhead_p50_us"] = o50;
    state.counters["overhead_p99_us"] = o99;
    state.counters["max_overhead_ms"] = omax / 1000.0;
    state.counters["steps_10ms_over"] = static_cast<double>(
        std::count_if(overhead_us.begin(), overhead_us.end(), [](double o) { return o >= 1e4; }));
    state.counters["bare_rtt_p50_us"] = bare_p50;
    state.counters["bare_rtt_p99_us"] = Percentile(bare_us, 0.99);
    // A shared machine stalls the bare round trips too: these tell such
    // stalls from the extension's own.
    state.counters["bare_rtt_max_ms"] =
        bare_us.empty() ? 0 : *std::max_element(bare_us.begin(), bare_us.end()) / 1000.0;
    state.counters["bare_rtts_10ms_over"] = static_cast<double>(
        std::count_if(bare_us.begin(), bare_us.end(), [](double b) { return b >= 1e4; }));
    state.counters["overhead_ratio_p50"] = o50 / bare_p50;
    state.counters["overhead_ratio_p99"] = o99 / Percentile(bare_us, 0.99);
    state.counters["overhead_p99_over_bare_p50"] = o99 / bare_p50;
    state.counters["server_compute_p50_us"] = Percentile(server_us, 0.5);
    state.counters["request_bytes"] = static_cast<double>(request_bytes);
    state.counters["reply_bytes"] = static_cast<double>(reply_bytes);
    run.Stop();
}
BENCHMARK(BM_CoupledStep)->Iterations(3000)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
