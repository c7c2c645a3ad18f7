// How a coupled run scales with its pipelines: one case with 1, 2, 4 and 8
// pipeline units, each coupled to a zefa-server of its own, started as a
// host starts them (all servers side by side, then each unit's
// initialisation connects to its own).
//
// Each unit is the well-and-flowline chain of examples/two_flowlines
// (well_flowline.inp, run interval equal to the 1 s host step, three trends,
// one profile), repeated with its own streams, port and server. A host step
// sends every unit's boundary data and starts every server's step before
// the host computes its own; the next host step waits for each server in
// turn, so the servers compute side by side while CPUs are free.
//
// Counters, per unit count:
//   steps_per_second   host steps per wall second over the timed steps;
//   ms_per_step        wall milliseconds of the median host step;
//   step_vs_1_unit     ms_per_step over that of the 1-unit case measured
//                      earlier in the same run (1 for the 1-unit case);
//   start_s            wall seconds from the first server start to the end of
//                      the last unit's initialisation (model loaded and
//                      initialised, tables registered);
//   start_one_by_one_s the same with each server started only when its unit
//                      initialises, one after another;
//   server_cpu_ms_per_step  CPU milliseconds all servers together used per host
//                      step (the CPU column is the host thread's own);
//   cpus               CPUs this process may use.
// The machine's load from other work shows in every figure: compare the rows
// of one run, not runs on different days.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "extension/zefa.h"
#include "lib/case_file.h"
#include "lib/flowsheet_file.h"
#include "lib/integrator_run.h"
#include "server/server_start.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr int kWarmUpSteps = 20;
constexpr int kTimedSteps = 400;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// `count` loopback ports in a row that the client's 16-bit port number can
// carry, each free a moment ago.
// ZEFA_BENCH_PORT, when set, is the first port tried.
int FreePorts(int count) {
    const char* env = std::getenv("ZEFA_BENCH_PORT");
    const int base = env && *env ? std::atoi(env) : 0;
    for (int attempt = 0; attempt < 500; ++attempt) {
        const int first = base > 0
                              ? base + attempt * count
                              : 20000 + static_cast<int>((getpid() * 31 + attempt * 97) % 12000);
        if (first + count > 32767) break;
        bool all = true;
        for (int k = 0; k < count && all; ++k) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<std::uint16_t>(first + k));
            all = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            ::close(fd);
        }
        if (all) return first;
    }
    throw std::runtime_error("no free ports");
}

// Replaces every " A" ending of a name by " <suffix>".
std::string Renamed(const std::string& name, const std::string& suffix) {
    std::string out = name;
    if (out.size() >= 2 && out.compare(out.size() - 2, 2, " A") == 0) {
        out.pop_back();
        out.append(suffix);
    }
    return out;
}

// The case: chain A of the two-flowline example, `units` times over.
json CaseDocument(int units, int first_port, const std::string& dir) {
    json example;
    std::ifstream(std::string(ZEFA_EXAMPLES_DIR) + "/two_flowlines.case.json") >> example;
    json doc = example;
    doc["flowsheet"]["streams"] = json::array();
    doc["flowsheet"]["units"] = json::array();
    doc["units"] = json::array();
    doc["record"] = {{"variables", json::array()}};
    const json& pipe_a = example["units"][0];
    for (int k = 0; k < units; ++k) {
        std::string suffix = std::to_string(k);
        suffix.insert(suffix.begin(), 'U');
        for (const auto& stream : example["flowsheet"]["streams"]) {
            const std::string name = stream["name"];
            if (Renamed(name, suffix) == name) continue;
            json s = stream;
            s["name"] = Renamed(name, suffix);
            doc["flowsheet"]["streams"].push_back(s);
        }
        for (const auto& op : example["flowsheet"]["units"]) {
            const std::string name = op["name"];
            if (Renamed(name, suffix) == name) continue;
            json u = op;
            u["name"] = Renamed(name, suffix);
            for (const char* end : {"inlet", "outlet"})
                if (u.contains(end)) u[end] = Renamed(u[end], suffix);
            doc["flowsheet"]["units"].push_back(u);
        }
        json pipe = pipe_a;
        pipe["name"] = std::string("PIPE-").append(suffix);
        auto& v = pipe["variables"];
        v["Inlets"] = {Renamed(v["Inlets"][0], suffix)};
        v["Outlets"] = {Renamed(v["Outlets"][0], suffix)};
        v["ReferenceStream"] = Renamed(v["ReferenceStream"], suffix);
        v["ServerName"] = std::to_string(first_port + k);
        v["PortNumber"] = first_port + k;
        v["zefaModelPath"] = dir;
        v["zefaExe"] = ZEFA_SERVER_PATH;
        doc["units"].push_back(pipe);
    }
    return doc;
}

// The flowline model with `sections` sections: its step's compute grows with
// them, while the messages of a step stay the same.
void WriteModel(const fs::path& to, int sections) {
    std::ifstream in(std::string(ZEFA_EXAMPLES_DIR) + "/well_flowline.inp");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto replace = [&](const std::string& from, const std::string& with) {
        const std::size_t at = text.find(from);
        if (at == std::string::npos) throw std::runtime_error("model text changed: " + from);
        text.replace(at, from.size(), with);
    };
    const std::string n = std::to_string(sections);
    replace("NSECTIONS = 15", "NSECTIONS = " + n);
    replace("PIPE = LINE, SECTION = 15", "PIPE = LINE, SECTION = " + n);
    std::ofstream(to) << text;
}

// Ends a server this process started, once its stop request has had time.
void EnsureGone(std::int32_t pid) {
    if (pid < 1) return;
    for (int i = 0; i < 300 && zefa::server_start::IsProcessRunning(pid); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (zefa::server_start::IsProcessRunning(pid)) ::kill(pid, SIGKILL);
    for (int i = 0; i < 100 && zefa::server_start::IsProcessRunning(pid); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// One case of `units` pipeline units in its own folder, loaded and started.
class ScaledCase {
  public:
    ScaledCase(int units, int sections, bool side_by_side)
        : dir_(fs::temp_directory_path() /
               ("zefa-scaling-bench-" + std::to_string(getpid()) + "-" + std::to_string(units))) {
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        zefa::server_start::SetExtensionFolder(dir_.string());
        WriteModel(dir_ / "well_flowline.inp", sections);
        const std::string case_path = (dir_ / "scaled.case.json").string();
        const json doc = CaseDocument(units, FreePorts(units), dir_.string());
        std::ofstream(case_path) << doc.dump(2);
        plant_ = refhost::LoadFlowsheet(doc["flowsheet"], case_path);
        c_ = refhost::LoadCase(case_path, refhost::PlantStreams(*plant_));
        refhost::AddPlantToCase(*plant_, doc["flowsheet"], *c_.host_case->Flowsheet());
        std::vector<refhost::ExtensionUnit> run_units;
        for (const auto& unit : c_.units) {
            auto z = std::make_shared<zefa::ZEFA>(c_.ui);
            z->Initialize(unit, true);
            zefas_.push_back(z);
            run_units.push_back(refhost::MakeExtensionUnit(unit, z));
        }
        run_ = std::make_unique<refhost::DynamicRun>(*plant_, c_.host_case->SolverObject(),
                                                     std::move(run_units));
        const auto start = Clock::now();
        if (side_by_side)
            for (auto& z : zefas_) z->LaunchServerAhead();
        started_ = run_->Start() && run_->RefusedUnits().empty();
        for (auto& z : zefas_) started_ = started_ && z->ServerStateNumber() == 4;
        start_s_ = Seconds(Clock::now() - start);
    }
    ~ScaledCase() {
        if (run_) run_->Stop();
        for (auto& z : zefas_) {
            const std::int32_t pid = z->StartedServerPid();
            z->Terminate();
            EnsureGone(pid);
        }
        zefas_.clear();
        zefa::server_start::SetExtensionFolder(std::nullopt);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    ScaledCase(const ScaledCase&) = delete;
    ScaledCase& operator=(const ScaledCase&) = delete;

    // Nanoseconds all the servers have run on a CPU so far (the kernel's
    // per-task schedstat counter of each server this case started).
    double ServerCpuNs() const {
        double total = 0;
        for (const auto& z : zefas_) {
            std::ifstream stat("/proc/" + std::to_string(z->StartedServerPid()) + "/schedstat");
            double ns = 0;
            if (stat >> ns) total += ns;
        }
        return total;
    }
    bool Started() const { return started_; }
    double StartSeconds() const { return start_s_; }
    refhost::DynamicRun& Run() { return *run_; }
    std::string Why() {
        std::string text = run_->Error();
        for (const auto& line : c_.window->Lines()) text += " | " + line;
        return text;
    }

  private:
    fs::path dir_;
    std::shared_ptr<refhost::Plant> plant_;
    refhost::HostCase c_;
    std::vector<std::shared_ptr<zefa::ZEFA>> zefas_;
    std::unique_ptr<refhost::DynamicRun> run_;
    bool started_ = false;
    double start_s_ = 0;
};

// ms per host step of the 1-unit case, by model size.
std::map<int, double> one_unit_ms_per_step;

int UsableCpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
}

void BM_PipelineUnits(benchmark::State& state) {
    const int units = static_cast<int>(state.range(0));
    const int sections = static_cast<int>(state.range(1));
    double one_by_one_s = 0;
    {
        ScaledCase one_by_one(units, sections, false);
        if (!one_by_one.Started()) {
            state.SkipWithError(("one-by-one start failed: " + one_by_one.Why()).c_str());
            return;
        }
        one_by_one_s = one_by_one.StartSeconds();
    }
    ScaledCase scaled(units, sections, true);
    if (!scaled.Started()) {
        state.SkipWithError(("the coupled run did not start: " + scaled.Why()).c_str());
        return;
    }
    for (int i = 0; i < kWarmUpSteps; ++i) {
        if (!scaled.Run().Step()) {
            state.SkipWithError(("warm-up step failed: " + scaled.Why()).c_str());
            return;
        }
    }
    const double server_ns_before = scaled.ServerCpuNs();
    std::vector<double> step_ms;
    step_ms.reserve(kTimedSteps);
    const auto begin = Clock::now();
    for (auto _ : state) {
        const auto step_start = Clock::now();
        const bool ok = scaled.Run().Step();
        step_ms.push_back(1000.0 * Seconds(Clock::now() - step_start));
        if (!ok) {
            state.SkipWithError(("step failed: " + scaled.Why()).c_str());
            return;
        }
    }
    const double seconds = Seconds(Clock::now() - begin);
    const double server_ns = scaled.ServerCpuNs() - server_ns_before;
    const double steps = static_cast<double>(state.iterations());
    // The median step: a shared machine's stalls move the mean, not it.
    std::sort(step_ms.begin(), step_ms.end());
    const double ms_per_step = step_ms[step_ms.size() / 2];
    if (units == 1) one_unit_ms_per_step[sections] = ms_per_step;
    const double one_unit = one_unit_ms_per_step[sections];
    state.counters["steps_per_second"] = steps / seconds;
    state.counters["ms_per_step"] = ms_per_step;
    state.counters["step_vs_1_unit"] = one_unit > 0 ? ms_per_step / one_unit : 0;
    state.counters["server_cpu_ms_per_step"] = server_ns / 1e6 / steps;
    state.counters["start_s"] = scaled.StartSeconds();
    state.counters["start_one_by_one_s"] = one_by_one_s;
    state.counters["cpus"] = UsableCpus();
}
// Units by model size: 15 sections (the example: a step is mostly messages)
// and 1500 (a step is mostly the server's compute).
BENCHMARK(BM_PipelineUnits)
    ->ArgNames({"units", "sections"})
    ->ArgsProduct({{1, 2, 4, 8}, {15, 1500}})
    ->Iterations(kTimedSteps)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
