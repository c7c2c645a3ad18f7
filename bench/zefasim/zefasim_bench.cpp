// Benchmarks of the pipeline simulator stand-in: the model's real-time factor,
// one session step, and one step request over a loopback socket.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "client/protocol.h"
#include "example_cases.h"
#include "input.h"
#include "session.h"

extern char** environ;

namespace {

namespace proto = zefa::protocol;
using proto::MessageType;
using zefasim_bench::Scaled;

// CPU seconds this process has used: the figures per CPU second do not depend
// on how much of a core the machine's load leaves the benchmark.
double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// CPU seconds (user and system) a child process has used so far, from /proc.
double ChildCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14) ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Simulated seconds per CPU second, as a counter.
void CountPerCpuSecond(benchmark::State& state, double simulated, double cpu) {
    state.counters["sim_s_per_cpu_s"] = cpu > 0 ? simulated / cpu : 0.0;
}

const char* kExamples[] = {"flowline.inp",       "choke_well_plug.inp", "flowline-drift.inp",
                           "riser_slugging.inp", "export_line.inp",     "export_line-drift.inp"};

// Model alone: one-second run intervals, as a coupled run asks for them.
void BM_ModelRealTimeFactor(benchmark::State& state) {
    std::string name = kExamples[state.range(0)];
    zefasim::Model m = zefasim::BuildModel(Scaled(name, static_cast<int>(state.range(1))), name);
    m.Advance(120);
    double simulated = 0, cpu0 = ProcessCpuSeconds();
    const std::int64_t steps0 = m.steps;
    for (auto _ : state) {
        for (int i = 0; i < 60; ++i) m.Advance(m.time + 1);
        simulated += 60;
    }
    CountPerCpuSecond(state, simulated, ProcessCpuSeconds() - cpu0);
    state.counters["steps_per_sim_s"] = static_cast<double>(m.steps - steps0) / simulated;
    state.counters["sim_s_per_wall_s"] = benchmark::Counter(simulated, benchmark::Counter::kIsRate);
    state.SetLabel(name + " " + std::to_string(m.branches[0].sections.size()) + " sections");
}
// The export line only at its own 1,000 sections (its positions name sections
// beyond a coarser line's).
BENCHMARK(BM_ModelRealTimeFactor)
    ->ArgsProduct({{0, 1, 2, 3}, {100, 1000}})
    ->Args({4, 1000})
    ->Args({5, 1000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

proto::Message Msg(const proto::Bytes& b) {
    return *proto::SplitMessage(b);
}

// The coupling's trend list, with and without the derivative keys (which make
// every step also compute the boundary and source sensitivities).
const char* kOutputsWithDerivatives =
    " HT $IN PT DPDGGS DPDGLTHLS DPDGLTWTS GGSOUR GLHLMA GLWTMA TM "
    "$OUT PTBOU DGGDPB DGLTHLDPB DGLTWTDPB GGBOU GLTHLBOU GLTWTBOU TMBOU ";
const char* kOutputsPlain =
    " HT $IN PT GGSOUR GLHLMA GLWTMA TM $OUT PTBOU GGBOU GLTHLBOU GLTWTBOU TMBOU ";

// Benchmark arguments: case (0 flowline, 1 flowline with drift flux, 2 export
// line, 3 export line with drift flux), sections, derivatives (1) or not (0).
// The flowline is 4.2 km long: at 100 sections its sections are 50 m along the
// seabed and 10 m in the riser, at 1,000 sections 5 m and 1 m, finer than a
// pipeline model would be discretised. The export line (40 km, 1,000 sections
// of 41 m along the seabed and 10 m in the riser) is the 1,000-section case of
// realistic section length.
const char* kSessionCases[] = {"flowline.inp",       "flowline-drift.inp",
                               "export_line.inp",    "export_line-drift.inp",
                               "flowline-level.inp", "export_line-level.inp"};

void SessionArgs(benchmark::internal::Benchmark* b) {
    b->ArgsProduct({{0, 1, 4}, {100, 1000}, {0, 1}});
    b->ArgsProduct({{2, 3, 5}, {1000}, {0, 1}});
}

void Describe(benchmark::State& state) {
    state.SetLabel(std::string(kSessionCases[state.range(0)]) + " " +
                   std::to_string(state.range(1)) + " sections, " +
                   (state.range(2) ? "with" : "without") + " derivatives");
}

// Through the request handling in process, one-second run intervals.
void BM_SessionStep(benchmark::State& state) {
    std::string dir = (std::filesystem::temp_directory_path() / "zefasim-bench").string();
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/m.inp") << Scaled(kSessionCases[state.range(0)],
                                            static_cast<int>(state.range(1)));
    zefasim::Session s(dir);
    proto::Bytes reply;
    s.Handle(Msg(proto::PackText(MessageType::Start, "m.inp")), reply);
    s.Handle(Msg(proto::PackText(MessageType::OuttrNames,
                                 state.range(2) ? kOutputsWithDerivatives : kOutputsPlain)),
             reply);
    // Past the start-up transient.
    s.Handle(Msg(proto::PackFloat(MessageType::SetTend, 120.0f)), reply);
    s.Handle(Msg(proto::PackText(MessageType::SimStep, proto::kSimStepText)), reply);
    Describe(state);
    double t = 120, simulated = 0, cpu0 = ProcessCpuSeconds();
    for (auto _ : state) {
        t += 1;
        reply.clear();
        s.Handle(Msg(proto::PackFloat(MessageType::SetTend, static_cast<float>(t))), reply);
        s.Handle(Msg(proto::PackText(MessageType::SimStep, proto::kSimStepText)), reply);
        benchmark::DoNotOptimize(reply.data());
        simulated += 1;
    }
    CountPerCpuSecond(state, simulated, ProcessCpuSeconds() - cpu0);
    state.counters["sim_s_per_wall_s"] = benchmark::Counter(simulated, benchmark::Counter::kIsRate);
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_SessionStep)->Apply(SessionArgs)->Unit(benchmark::kMicrosecond)->UseRealTime();

// One step (one-second run interval) against the real program on loopback:
// from sending ZEFA_SET_TEND and ZEFA_SIM_STEP to the trend data. Reports the
// reply latency (time per iteration) and simulated seconds per wall second.
void BM_SimStepOverSocket(benchmark::State& state) {
    std::string dir = (std::filesystem::temp_directory_path() / "zefasim-bench-net").string();
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/m.inp") << Scaled(kSessionCases[state.range(0)],
                                            static_cast<int>(state.range(1)));
    Describe(state);
    // ZEFA_BENCH_PORT picks the port (on a shared machine, from one's own range).
    const char* port_env = std::getenv("ZEFA_BENCH_PORT");
    int port = port_env ? std::atoi(port_env) : 20000 + static_cast<int>(getpid() % 20000);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    std::string port_text = std::to_string(port);
    const char* argv[] = {ZEFA_SERVER_PATH, "-server",   port_text.c_str(),
                          "--bind",         "127.0.0.1", nullptr};
    pid_t pid = -1;
    posix_spawn(&pid, ZEFA_SERVER_PATH, &fa, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&fa);
    int fd = -1;
    for (int i = 0; i < 250 && fd < 0; ++i) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd);
            fd = -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    proto::FrameAssembler frames(1 << 24);
    auto send_all = [&](const proto::Bytes& b) { (void)!write(fd, b.data(), b.size()); };
    auto read_one = [&]() {
        std::uint8_t buf[65536];
        for (;;) {
            if (auto m = frames.Next()) return m->name;
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) return std::string();
            frames.Append(proto::ByteView(buf, static_cast<size_t>(n)));
        }
    };
    if (fd < 0) {
        state.SkipWithError("server did not start");
    } else {
        send_all(proto::PackText(MessageType::Start, "m.inp"));
        read_one();
        // Past the start-up transient, whose derivatives are not asked for: over
        // 120 s a line still settling from its initial state can carry a seed
        // beyond what a reply holds, and the step is then refused.
        float t = 120;
        send_all(proto::PackFloat(MessageType::SetTend, t));
        send_all(proto::PackText(MessageType::SimStep, proto::kSimStepText));
        const bool started = read_one() == "ZEFA_OK";
        if (started) read_one();
        send_all(proto::PackText(MessageType::OuttrNames,
                                 state.range(2) ? kOutputsWithDerivatives : kOutputsPlain));
        read_one();
        if (!started) state.SkipWithError("the start-up step was refused");
        double simulated = 0, cpu0 = ChildCpuSeconds(pid);
        for (auto _ : state) {
            t += 1;
            proto::Bytes req = proto::PackFloat(MessageType::SetTend, t);
            proto::Bytes step = proto::PackText(MessageType::SimStep, proto::kSimStepText);
            req.insert(req.end(), step.begin(), step.end());
            send_all(req);
            // A refused step is one reply (the error), not two.
            if (read_one() != "ZEFA_OK" || read_one() != "ZEFA_OUTTR_DATA") {
                state.SkipWithError("unexpected reply");
                break;
            }
            simulated += 1;
        }
        // The server's CPU time: the simulation runs there, not in this process.
        CountPerCpuSecond(state, simulated, ChildCpuSeconds(pid) - cpu0);
        state.counters["sim_s_per_wall_s"] =
            benchmark::Counter(simulated, benchmark::Counter::kIsRate);
        send_all(proto::PackEmpty(MessageType::StopServer));
        close(fd);
    }
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_SimStepOverSocket)->Apply(SessionArgs)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
