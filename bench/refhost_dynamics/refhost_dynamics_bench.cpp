// Cost of the reference host's flashes, pressure-flow solve and dynamic step.
#include <benchmark/benchmark.h>

#include "lib/integrator_run.h"

using namespace refhost;

namespace {

std::string Name(const char* prefix, int i) {
    std::string name(prefix);
    name += std::to_string(i);
    return name;
}

const std::vector<std::string> kNames = {"methane",   "ethane",   "propane", "n-butane",
                                         "n-pentane", "n-hexane", "c7+",     "carbon-dioxide",
                                         "nitrogen",  "water"};
const std::vector<double> kWellFluid = {0.78, 0.07, 0.04, 0.02, 0.01, 0.01, 0.02, 0.02, 0.01, 0.02};

void BM_TPFlashThreePhase(benchmark::State& state) {
    auto set = std::make_shared<ComponentSet>(kNames);
    auto f = Fluid::Create(set, kWellFluid, 30.0, 5000.0, 1.0);
    for (auto _ : state) benchmark::DoNotOptimize(f->TPFlash(30.0, 5000.0));
}
BENCHMARK(BM_TPFlashThreePhase);

void BM_PHFlashAfterValve(benchmark::State& state) {
    auto set = std::make_shared<ComponentSet>(kNames);
    auto f = Fluid::Create(set, kWellFluid, 60.0, 9000.0, 1.0);
    const double h = f->MolarEnthalpy();
    for (auto _ : state) {
        f->SetTemperatureC(60.0);
        benchmark::DoNotOptimize(f->PHFlash(3000.0, h));
    }
}
BENCHMARK(BM_PHFlashAfterValve);

// A chain of n valves between a feed and a sink: 2(n+1) unknowns.
void BM_StepValveChain(benchmark::State& state) {
    const auto n = static_cast<int>(state.range(0));
    auto set = std::make_shared<ComponentSet>(kNames);
    Plant plant(set);
    std::vector<StreamPtr> streams;
    for (int i = 0; i <= n; ++i) {
        streams.push_back(plant.AddStream(
            Name("S", i), Fluid::Create(set, kWellFluid, 40.0, 9000.0 - 50.0 * i, 1.0)));
    }
    plant.AddOperation(std::make_shared<Feed>("Feed", streams[0], kWellFluid, Schedule(40.0),
                                              Feed::Mode::Pressure, Schedule(9000.0)));
    for (int i = 0; i < n; ++i) {
        plant.AddOperation(
            std::make_shared<Valve>(Name("V", i), streams[i], streams[i + 1], 0.5, 50.0));
    }
    plant.AddOperation(std::make_shared<Sink>("Sink", streams[n], Schedule(2000.0)));
    auto solver = std::make_shared<RefSolver>();
    DynamicRun run(plant, solver, {});
    if (!run.Start()) {
        state.SkipWithError(run.Error().c_str());
        return;
    }
    for (auto _ : state) {
        if (!run.Step()) {
            state.SkipWithError(run.Error().c_str());
            break;
        }
    }
}
BENCHMARK(BM_StepValveChain)->Arg(1)->Arg(10)->Arg(40);

}  // namespace
