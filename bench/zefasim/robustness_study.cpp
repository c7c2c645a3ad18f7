// Documented runs of the simulator on generated models (not timed, not a unit
// test): each seed builds one model of a family (a horizontal or undulating
// line, a well with flowline and riser, a shut-in and restart, a choke that
// opens and closes, a gas line blown down, a liquid-only and a gas-only line,
// a line between two pressures whose flow reverses), runs it under NOSLIP,
// DRIFTFLUX and DRIFTLEVEL through run intervals of 1, 10 or 60 s, and checks
// after every interval: no step refused at the shortest step, every value
// finite, volume fractions within [0, 1], masses not negative, pressures and
// absolute temperatures positive, each phase's mass balanced (inventory less
// the initial one and what came in) within 1e-6 of what crossed the model's
// edges and its inventory, and the steps of an interval bounded.
//
//   zefasim_robustness_study [cases (100)] [first seed (1)] [wide] [family F]
//   zefasim_robustness_study show SEED [wide]    the model text of a seed
//
// `wide` takes the extreme ranges: 2 to 48 inch, 10 m to 100 km, up to 2,000
// sections, 1 to 300 bar, steep and vertical pieces, tiny sections beside long ones.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "input.h"

namespace {

using namespace zefasim;

const char* const kFamilies[] = {"line",     "riser",  "shutin", "choke",
                                 "blowdown", "liquid", "gas",    "reversal"};
const char* const kLaws[] = {"NOSLIP", "DRIFTFLUX", "DRIFTLEVEL"};

struct Rng {
    std::mt19937_64 gen;
    explicit Rng(std::uint64_t seed) : gen(seed * 0x9E3779B97F4A7C15ULL + 1) {}
    double Uniform(double a, double b) { return std::uniform_real_distribution<>(a, b)(gen); }
    double Log(double a, double b) { return std::exp(Uniform(std::log(a), std::log(b))); }
    int Int(int a, int b) { return std::uniform_int_distribution<>(a, b)(gen); }
    bool Chance(double p) { return Uniform(0, 1) < p; }
};

// What changes while a case runs, at given fractions of its duration.
struct Event {
    double at = 0;        // fraction of the run
    int controller = -1;  // opening set
    double opening = 0;
    int boundary = -1;  // pressure set (N/m2)
    double pressure = 0;
};

struct Generated {
    std::string text;
    std::vector<Event> events;
    double duration = 600, interval = 1;
    int family = 0, sections = 0;
};

struct PipeDraw {
    double length, diameter, rise;
    int sections;
};

std::string Num(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.6g", v);
    return b;
}

// The pipes of one branch: `kind` 0 a line (level, undulating, or with steep
// pieces), 1 a well, flowline and riser.
std::vector<PipeDraw> MakePipes(Rng& r, bool wide, int kind) {
    const double d = wide ? r.Log(0.05, 1.22) : r.Log(0.08, 0.6);
    const int max_sections = wide ? 2000 : 300;
    std::vector<PipeDraw> pipes;
    if (kind == 1) {
        const double well = r.Uniform(300, 3000), line = r.Log(500, wide ? 50000 : 10000),
                     riser = r.Uniform(50, 300);
        pipes.push_back({well, d * r.Uniform(0.5, 1), well * r.Uniform(0.7, 1), 0});
        pipes.push_back({line, d, -line * r.Uniform(0, 0.02), 0});
        pipes.push_back({riser, d * r.Uniform(0.6, 1), riser * r.Uniform(0.9, 1), 0});
    } else {
        const int n = r.Int(1, 6);
        const double total = wide ? r.Log(10, 100000) : r.Log(100, 20000);
        const int shape = r.Int(0, 2);  // level, undulating, steep pieces
        for (int i = 0; i < n; ++i) {
            const double len = std::max(1.0, total * r.Uniform(0.2, 1) / n);
            double deg = shape == 0 ? 0 : shape == 1 ? r.Uniform(-3, 3) : r.Uniform(-90, 90);
            if (shape == 2 && r.Chance(0.3)) deg = r.Chance(0.5) ? 90 : -90;
            pipes.push_back({len, d * (r.Chance(0.2) ? r.Uniform(0.5, 1.5) : 1),
                             len * std::sin(deg * M_PI / 180), 0});
        }
    }
    double total_length = 0;
    for (const PipeDraw& p : pipes) total_length += p.length;
    const int budget =
        std::max(static_cast<int>(pipes.size()), static_cast<int>(r.Log(1, max_sections)));
    for (PipeDraw& p : pipes) {
        p.sections = std::max(1, static_cast<int>(budget * p.length / total_length));
        // (Sections of at least 0.1 m: shorter ones are refused at load.)
        p.sections = std::min(p.sections, std::max(1, static_cast<int>(p.length / 0.1)));
        // Now and then a pipe of one or a few short sections beside long ones.
        if (wide && pipes.size() > 1 && r.Chance(0.15)) {
            p.length = r.Uniform(0.5, 5);
            p.rise = std::clamp(p.rise, -p.length, p.length);
            p.sections = r.Int(1, 3);
        }
    }
    return pipes;
}

Generated Generate(std::uint64_t seed, bool wide, int only_family) {
    Rng r(seed);
    Generated g;
    g.family = only_family >= 0 ? only_family : r.Int(0, 7);
    const int f = g.family;
    std::ostringstream t;
    const double p_out = (wide ? r.Log(1, 300) : r.Log(2, 100)) * 1e5;
    t << "FLUID GASMW = " << Num(r.Uniform(16, 30)) << ", OILDENSITY = " << Num(r.Uniform(650, 950))
      << ", WATERDENSITY = " << Num(r.Uniform(1000, 1050))
      << ", OILVISCOSITY = " << Num(r.Log(0.5, wide ? 500 : 50)) << " cP, HOLDUP = @LAW@\n";
    const double maxdt = r.Chance(0.7) ? 1 : r.Chance(0.5) ? 2 : 5;
    t << "INTEGRATION MAXDT = " << Num(maxdt) << " s, MINDT = 0.001 s\n";
    const bool two_ends = f == 7;
    t << "NODE LABEL = A, TYPE = " << (two_ends ? "PRESSURE" : "CLOSED")
      << "\nNODE LABEL = B, TYPE = PRESSURE\nBRANCH LABEL = L, FROM = A, TO = B\n";
    const std::vector<PipeDraw> pipes = MakePipes(r, wide, f == 1 ? 1 : 0);
    double area = 0;
    for (size_t i = 0; i < pipes.size(); ++i) {
        const PipeDraw& p = pipes[i];
        t << "PIPE LABEL = P" << i + 1 << ", BRANCH = L, LENGTH = " << Num(p.length)
          << ", DIAMETER = " << Num(p.diameter)
          << ", ROUGHNESS = 0.05 mm, ELEVATION = " << Num(p.rise) << ", NSECTIONS = " << p.sections;
        if (r.Chance(0.5)) t << ", UVALUE = " << Num(r.Uniform(0, 20)) << ", TAMBIENT = 5 C";
        t << "\n";
        g.sections += p.sections;
        area = std::max(area, p.diameter * p.diameter * M_PI / 4);
    }
    const int last = static_cast<int>(pipes.size());
    const double gas = f == 5 ? 0 : f == 6 || f == 4 ? 1 : r.Uniform(0, 1);
    const double water = r.Chance(0.3) ? 0 : r.Uniform(0, 1);
    // Mass flow from a mixture velocity of 0.05 to 10 m/s at a rough mixture density.
    const double rho_gas = p_out * 20 / (kGasConstant * 300);
    const double rho_mix = 1 / (gas / rho_gas + (1 - gas) / 850);
    const double flow = r.Log(0.05, 10) * rho_mix * area;
    t << "BOUNDARY LABEL = OUT, NODE = B, PRESSURE = " << Num(p_out)
      << ", TEMPERATURE = 20 C, GASFRACTION = " << Num(r.Uniform(0, 1)) << "\n";
    if (two_ends)
        t << "BOUNDARY LABEL = IN, NODE = A, PRESSURE = " << Num(p_out * r.Uniform(1.05, 2))
          << ", TEMPERATURE = 40 C, GASFRACTION = " << Num(gas)
          << ", WATERFRACTION = " << Num(water) << "\n";
    if (f == 1) {
        const double head = 1000 * kGravity * (pipes[0].rise + pipes[2].rise);
        t << "WELL LABEL = W, BRANCH = L, PIPE = P1, SECTION = 1, RESPRESSURE = "
          << Num(std::min(5e8, p_out + head * r.Uniform(0.3, 1.5) + r.Uniform(5e5, 1e7)))
          << ", PI = " << Num(r.Log(1e-7, 1e-4)) << ", GASFRACTION = " << Num(gas)
          << ", WATERFRACTION = " << Num(water) << ", TEMPERATURE = 70 C\n";
    } else if (f != 4 && f != 7) {
        t << "SOURCE LABEL = S, BRANCH = L, PIPE = P1, SECTION = 1, MASSFLOW = " << Num(flow)
          << ", GASFRACTION = " << Num(gas) << ", WATERFRACTION = " << Num(water)
          << ", TEMPERATURE = " << Num(r.Uniform(5, 90)) << " C\n";
    }
    if (f == 3 || (f == 4 && r.Chance(0.5))) {
        t << "CONTROLLER LABEL = C, BRANCH = L, PIPE = P" << last
          << ", SECTION = " << pipes.back().sections
          << ", DIAMETER = " << Num(pipes.back().diameter * r.Uniform(0.05, 1))
          << ", OPENING = " << Num(r.Uniform(0.05, 1)) << "\n";
        // Fully closed, nearly closed (critical), reopened.
        for (double at : {0.2, 0.4, 0.6, 0.8})
            g.events.push_back({at, 0, r.Chance(0.3) ? 0.0 : r.Log(0.005, 1), -1, 0});
    }
    g.duration = r.Chance(0.5) ? r.Uniform(300, 800) : r.Uniform(800, 2500);
    if (f == 2) {
        t << "SHUTIN TSHUT1 = " << Num(g.duration * r.Uniform(0.15, 0.4))
          << " s, TSHUT2 = " << Num(g.duration * r.Uniform(0.5, 0.7)) << " s\n";
    }
    if (f == 7) {
        const double low = p_out * r.Uniform(0.5, 0.95);
        g.events.push_back({r.Uniform(0.2, 0.5), -1, 0, 1, low});
        g.events.push_back({r.Uniform(0.6, 0.8), -1, 0, 0, low * r.Uniform(0.3, 0.9)});
    }
    double p_init = p_out * r.Uniform(1, 1.3), holdup = r.Uniform(0, 0.5);
    if (f == 4) p_init = std::min(wide ? 3e7 : 1.5e7, p_out * r.Log(5, 100)), holdup = 0;
    if (f == 5) holdup = 1;
    if (f == 6) holdup = 0;
    t << "INITIAL PRESSURE = " << Num(std::min(p_init, 5e8))
      << ", TEMPERATURE = " << Num(r.Uniform(5, 60)) << " C, HOLDUP = " << Num(holdup)
      << ", WATERCUT = " << Num(water) << "\n";
    const double u = r.Uniform(0, 1);
    g.interval = u < 0.7 ? 1 : u < 0.9 ? 10 : 60;
    g.text = t.str();
    return g;
}

std::string WithLaw(std::string text, const char* law) {
    return text.replace(text.find("@LAW@"), 5, law);
}

// The first broken condition of the model's state, empty when there is none.
std::string CheckState(const Model& m, const Phases& cumulative) {
    char b[200];
    for (size_t bi = 0; bi < m.branches.size(); ++bi) {
        const Branch& br = m.branches[bi];
        if (const char* bad = NonFiniteState(br.mass, br.temp, br.flow))
            return std::string("non-finite ") + bad;
        for (size_t i = 0; i < br.sections.size(); ++i) {
            // Rounding may leave a phase a few ulps of what passes below zero.
            double passed = 0;
            for (int k = 0; k < 3; ++k)
                passed += std::max(0.0, br.mass[i][k]) +
                          m.last_step * (std::fabs(br.flux[i][k]) + std::fabs(br.flux[i + 1][k]));
            for (int k = 0; k < 3; ++k)
                if (!(br.mass[i][k] >= -1e-12 * passed - 1e-20)) {
                    std::snprintf(b, sizeof b, "negative mass %d %.3g kg in section %zu", k,
                                  br.mass[i][k], i + 1);
                    return b;
                }
            const SectionState s = m.StateOf(static_cast<int>(bi), static_cast<int>(i));
            // A section without gas whose liquid no longer fills it is a cavity
            // at zero pressure (the liquid has no vapour pressure).
            if (!(s.p > 0 || (s.p == 0 && br.mass[i][kGas] <= 0)) || !std::isfinite(s.p)) {
                std::snprintf(b, sizeof b, "pressure %.4g Pa in section %zu", s.p, i + 1);
                return b;
            }
            if (!(s.temp_k > 0) || !std::isfinite(s.temp_k)) {
                std::snprintf(b, sizeof b, "temperature %.4g K in section %zu", s.temp_k, i + 1);
                return b;
            }
            for (int k = 0; k < 3; ++k)
                if (!(s.alpha[k] >= 0 && s.alpha[k] <= 1)) {
                    std::snprintf(b, sizeof b, "volume fraction %d %.6g in section %zu", k,
                                  s.alpha[k], i + 1);
                    return b;
                }
        }
    }
    const Phases now = m.PhaseMass();
    for (int k = 0; k < 3; ++k) {
        const double expected = m.account.initial[k] + m.account.sources[k] +
                                m.account.boundaries[k] + m.account.wells[k];
        const double err = now[k] - expected;
        const double scale = cumulative[k] + std::max(now[k], m.account.initial[k]);
        if (!(std::fabs(err) <= 1e-6 * scale + 1e-9)) {
            std::snprintf(b, sizeof b, "mass balance of phase %d off by %.3g kg of %.3g kg", k, err,
                          scale);
            return b;
        }
    }
    return "";
}

struct Outcome {
    std::string failure;  // empty: clean
    double at = 0;        // model time of the failure
    std::int64_t steps = 0;
    std::int64_t most_steps = 0;  // in one interval
    int shortest = 0;             // steps at MINDT
};

bool trace = false;

Outcome RunCase(const Generated& g, const char* law) {
    Outcome o;
    Model m;
    try {
        m = BuildModel(WithLaw(g.text, law), "sweep.inp");
    } catch (const std::exception& e) {
        o.failure = std::string("refused at load: ") + e.what();
        return o;
    }
    const double t0 = m.time, maxdt = m.integration.max_step, mindt = m.integration.min_step;
    // A run stalls when its steps collapse: far more than the longest step needs.
    const std::int64_t bound = 200 + 20 * static_cast<std::int64_t>(std::ceil(g.interval / maxdt));
    Phases cumulative{0, 0, 0}, last_account{0, 0, 0};
    size_t next_event = 0;
    std::vector<double> used;
    for (double t = t0 + g.interval; t <= t0 + g.duration + 1e-9; t += g.interval) {
        while (next_event < g.events.size() && t0 + g.events[next_event].at * g.duration < t) {
            const Event& e = g.events[next_event++];
            if (e.controller >= 0) m.controllers[e.controller].opening = e.opening;
            if (e.boundary >= 0) m.boundaries[e.boundary].pressure = e.pressure;
        }
        const std::int64_t before = m.steps;
        used.clear();
        try {
            m.Advance(t, nullptr, &used);
        } catch (const std::exception& e) {
            o.failure = std::string("step refused: ") + e.what();
        }
        if (trace) {
            std::printf("t %g steps %zu:", m.time, used.size());
            for (double d : used) std::printf(" %.3g", d);
            std::printf("\n p:");
            for (size_t i = 0; i < m.branches[0].sections.size(); ++i)
                std::printf(" %.4g", m.StateOf(0, static_cast<int>(i)).p);
            std::printf("\n g:");
            for (double f : m.branches[0].flow) std::printf(" %.4g", f);
            std::printf("\n");
        }
        o.steps = m.steps;
        o.most_steps = std::max(o.most_steps, m.steps - before);
        for (size_t i = 0; i + 1 < used.size(); ++i) o.shortest += used[i] <= mindt * 1.0000001;
        for (int k = 0; k < 3; ++k) {
            const double a = m.account.sources[k] + m.account.boundaries[k] + m.account.wells[k];
            cumulative[k] += std::fabs(a - last_account[k]);
            last_account[k] = a;
        }
        if (o.failure.empty()) o.failure = CheckState(m, cumulative);
        if (o.failure.empty() && m.steps - before > bound)
            o.failure = "stalled: " + std::to_string(m.steps - before) + " steps in one interval";
        if (!o.failure.empty()) {
            o.at = m.time;
            return o;
        }
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const bool wide = std::find(args.begin(), args.end(), "wide") != args.end();
    int family = -1;
    trace = std::find(args.begin(), args.end(), "trace") != args.end();
    const char* only_law = nullptr;
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "law") only_law = argv[i + 2];
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "family") family = std::atoi(args[i + 1].c_str());
    if (!args.empty() && args[0] == "show" && args.size() > 1) {
        const Generated g = Generate(std::strtoull(args[1].c_str(), nullptr, 10), wide, family);
        std::printf("! family %s, %g s in intervals of %g s\n%s", kFamilies[g.family], g.duration,
                    g.interval, g.text.c_str());
        for (const Event& e : g.events)
            std::printf("! at %g s: controller %d opening %g, boundary %d pressure %g\n",
                        e.at * g.duration, e.controller, e.opening, e.boundary, e.pressure);
        return 0;
    }
    const int cases = !args.empty() ? std::atoi(args[0].c_str()) : 100;
    const std::uint64_t first = args.size() > 1 ? std::strtoull(args[1].c_str(), nullptr, 10) : 1;
    std::map<std::string, std::vector<std::string>> failures;  // class -> seeds
    int runs = 0, failed = 0;
    for (std::uint64_t seed = first; seed < first + static_cast<std::uint64_t>(cases); ++seed) {
        const Generated g = Generate(seed, wide, family);
        for (const char* law : kLaws) {
            if (only_law && std::strcmp(law, only_law) != 0) continue;
            const Outcome o = RunCase(g, law);
            ++runs;
            std::printf(
                "%llu %-8s %-10s %5d sections %5.0f s by %2.0f s: %lld steps, at most %lld "
                "an interval, %d at MINDT: %s",
                static_cast<unsigned long long>(seed), kFamilies[g.family], law, g.sections,
                g.duration, g.interval, static_cast<long long>(o.steps),
                static_cast<long long>(o.most_steps), o.shortest, o.failure.empty() ? "ok\n" : "");
            if (!o.failure.empty()) {
                std::printf("FAILED at %.6g s: %s\n", o.at, o.failure.c_str());
                ++failed;
                const std::string what = o.failure.substr(0, o.failure.find_first_of("0123456789"));
                failures[what].push_back(std::to_string(seed) + "/" + law);
            }
            std::fflush(stdout);
        }
    }
    std::printf("%d runs (%d seeds x 3 laws%s), %d failed\n", runs, cases, wide ? ", wide" : "",
                failed);
    for (const auto& [what, seeds] : failures) {
        std::printf("  %zu x %s:", seeds.size(), what.c_str());
        for (size_t i = 0; i < seeds.size() && i < 12; ++i) std::printf(" %s", seeds[i].c_str());
        std::printf("\n");
    }
    return failed ? 1 : 0;
}
