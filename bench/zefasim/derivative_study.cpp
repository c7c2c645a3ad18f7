// Documented runs of the derivatives (not timed, not a unit test).
//
//   zefasim_derivative_study [LAW (DRIFTLEVEL)] [gas fractions (0.3 0.4 0.6)] [choke]
//                            [scale S] [from T0 (600)]
//     each source and boundary derivative zefa-server reports against central
//     differences of whole run intervals driven through the protocol, as the
//     derivative test takes them (sources +-0.01 kg/s, the outlet 0.1 to 0.4
//     bar either side, both times S), on the flowline example at the gas
//     fractions given and the line with well and choke: 1, 10 and 60 s after
//     T0 s (from 0: while the line still settles from its initial state).
//     Prints the relative errors (%) of the boundary's gas, oil and water
//     derivatives and of the source's gas, oil and oil+water ones.
//
//   zefasim_derivative_study step LAW GAS T0 [BLOCKS (mtgq)]
//     one step's tangent against central differences of that step along each
//     seed's own direction, from the state T0 s of an interval from 600 s left
//     on the flowline: the seed's responses named in BLOCKS (m masses, t
//     temperatures, g the last flows, q the last phase flows; the rest zero)
//     and its own input move the state by +-eps. Prints, per seed, the relative
//     error of the step's increment of each phase mass, of the flows, the phase
//     flows and the temperatures' increment, with the worst section or face.
//
//   zefasim_derivative_study chain LAW GAS LENGTH SEED [BLOCKS]
//     the interval carried step by step by central differences of each step in
//     the BLOCKS named (the exact tangent of the step there) and by the model's
//     tangent in the rest (with L in BLOCKS the last step by the tangent alone);
//     prints the outlet phase flows' and the inlet pressure's response. SEED: 0
//     the outlet pressure, 1 to 3 the source's gas, oil, water.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "client/protocol.h"
#include "example_cases.h"
#include "input.h"
#include "session.h"
#include "snapshot.h"

namespace {

namespace proto = zefa::protocol;
using proto::MessageType;
using namespace zefasim;

const char* kOutputs =
    " HT $IN PT DPDGGS DPDGLTHLS DPDGLTWTS GGSOUR GLHLMA GLWTMA TM $OUT PTBOU DGGDPB DGLTHLDPB "
    "DGLTWTDPB GGBOU GLTHLBOU GLTWTBOU TMBOU ";

proto::Bytes Call(Session& s, const proto::Bytes& request) {
    proto::Bytes reply;
    s.Handle(*proto::SplitMessage(request), reply);
    return reply;
}

// The output values of a step's reply.
std::vector<float> StepTo(Session& s, float t) {
    Call(s, proto::PackFloat(MessageType::SetTend, t));
    const proto::Bytes r = Call(s, proto::PackText(MessageType::SimStep, "x"));
    size_t at = 0, used = 0;
    std::vector<float> out;
    while (at < r.size()) {
        auto m = proto::SplitMessage(proto::ByteView(r).subspan(at), &used);
        if (!m) break;
        if (m->name == "ZEFA_OUTTR_DATA") out = *proto::DecodeFloats(m->payload);
        at += used;
    }
    return out;
}

// The flowline example under `law` at gas fraction x.
std::string Flowline(const std::string& law, float x) {
    std::string text = zefasim_bench::ReadExample("flowline.inp");
    text.replace(text.find("FLUID "), 6, "FLUID HOLDUP = " + law + ", ");
    const std::string from = "GASFRACTION = 0.15";
    char to[64];
    std::snprintf(to, sizeof to, "GASFRACTION = %.2f", x);
    text.replace(text.find(from), from.size(), to);
    return text;
}

struct Case {
    std::string text;
    float gas_fraction, total, p_out;
    std::string name;
};

void Study(const std::string& dir, const Case& c, float scale, float start) {
    std::ofstream(dir + "/m.inp") << c.text;
    Session s(dir);
    Call(s, proto::PackText(MessageType::Start, "m.inp"));
    Call(s, proto::PackText(MessageType::InpNames, " $IN SOURCE $OUT BOUNDARY"));
    const std::vector<std::int32_t> sizes = {5, 5};
    Call(s, proto::PackInts(MessageType::InpSizes, sizes));
    if (start > 0) StepTo(s, start);
    Call(s, proto::PackText(MessageType::OuttrNames, kOutputs));
    std::ofstream(dir + "/base.snp", std::ios::binary) << EncodeSnapshot(*s.model());
    const Model& m = *s.model();
    const float gas = c.total * c.gas_fraction, liquid = c.total * (1 - c.gas_fraction),
                water = liquid * 0.3f;
    for (float interval : {1.0f, 10.0f, 60.0f}) {
        auto run = [&](float dg, float dl, float dw, float dp) {
            Call(s, proto::PackText(MessageType::LoadSnap, "base.snp"));
            const float total = (gas + dg) + (liquid + dl);
            const std::vector<float> data = {
                (gas + dg) / total, total, 0, 60, (water + dw) / (liquid + dl), 1, 1,
                c.p_out + dp,       30,    0};
            Call(s, proto::PackFloats(MessageType::InpData, data));
            return StepTo(s, start + interval);
        };
        const std::vector<float> base = run(0, 0, 0, 0);
        double err[6];
        Phases slope{}, at[6];
        double sxx = 0;
        for (int r = 0; r < 6; ++r) {
            const float dp =
                scale * 1e4f * (r < 3 ? -1.0f : 1.0f) * float(1 << (r < 3 ? 2 - r : r - 3));
            run(0, 0, 0, dp);
            at[r] = m.branches[0].flux.back();
            for (int k = 0; k < 3; ++k) slope[k] += dp * at[r][k];
            sxx += double(dp) * dp;
        }
        for (int k = 0; k < 3; ++k) err[k] = 100 * (base[10 + k] / (slope[k] / sxx) - 1);
        const float dg = 0.01f * scale;
        for (int k = 0; k < 3; ++k) {
            run(k == 0 ? dg : 0, k > 0 ? dg : 0, k == 2 ? dg : 0, 0);
            const double hi = m.StateOf(0, 0).p;
            run(k == 0 ? -dg : 0, k > 0 ? -dg : 0, k == 2 ? -dg : 0, 0);
            const double lo = m.StateOf(0, 0).p;
            err[3 + k] = 100 * (base[2 + k] / ((hi - lo) / (2 * dg)) - 1);
        }
        if (base.size() < 13) {
            std::printf("%-26s %3.0f s  no reply values (the step failed)\n", c.name.c_str(),
                        interval);
            continue;
        }
        std::printf(
            "%-26s %3.0f s  boundary %+6.1f %+6.1f %+6.1f  source %+6.1f %+6.1f %+6.1f %%\n",
            c.name.c_str(), interval, err[0], err[1], err[2], err[3], err[4], err[5]);
        std::fflush(stdout);
    }
}

// The seeds of the flowline: the outlet pressure and the source's three phases.
std::vector<Sensitivity> FlowlineSeeds() {
    std::vector<Sensitivity> seeds(4);
    for (int k = 0; k < 3; ++k)
        seeds[1 + k].seed = Sensitivity::Seed::SourcePhase, seeds[1 + k].phase = k;
    return seeds;
}

// The step of model `m` of size dt from its state moved by f times the seed's
// responses (and its input), without derivatives.
Model StepMoved(const Model& m, const Sensitivity& sv, double f, double dt) {
    Model q = m;
    q.EndSensitivities();
    Branch& br = q.branches[0];
    const size_t n = br.sections.size();
    for (size_t i = 0; i < n; ++i) {
        for (int k = 0; k < 3; ++k) br.mass[i][k] += f * sv.dmass[i][k];
        br.temp[i] += f * sv.dtemp[i];
    }
    for (size_t j = 0; j <= n; ++j) {
        br.flow[j] += f * sv.dflow[j];
        for (int k = 0; k < 3; ++k) br.flux[j][k] += f * sv.dflux[j][k];
    }
    if (sv.seed == Sensitivity::Seed::BoundaryPressure)
        q.boundaries[0].pressure += f;
    else
        q.sources[0].extra[sv.phase] += f;
    const std::vector<double> forced = {dt};
    q.Advance(m.time + dt, &forced);
    return q;
}

// The seed's pressures at its masses and temperatures (the state `br` derived).
void SeedPressures(const Branch& br, Sensitivity& sv) {
    for (size_t i = 0; i < br.sections.size(); ++i) {
        const SectionState& st = br.state_after[i];
        double dp = st.dpdt * sv.dtemp[i];
        for (int k = 0; k < 3; ++k) dp += st.dpdm_t[k] * sv.dmass[i][k];
        sv.dpressure[i] = dp;
    }
}

double Eps(const Sensitivity& sv) {
    return sv.seed == Sensitivity::Seed::BoundaryPressure ? 100.0 : 2e-4;
}

// The relative error of `a` against `b` over `count` values, and where it is worst.
void Report(const char* what, int count, const std::function<double(int)>& a,
            const std::function<double(int)>& b) {
    double num = 0, den = 0, worst = 0;
    int at = -1;
    for (int i = 0; i < count; ++i) {
        const double d = a(i) - b(i);
        num += d * d, den += b(i) * b(i);
        if (std::fabs(d) > worst) worst = std::fabs(d), at = i;
    }
    std::printf(" %s %.2g%%@%d", what, 100 * std::sqrt(num / std::max(den, 1e-300)), at);
}

void StepCheck(const std::string& law, float x, double t0, const std::string& blocks) {
    Model m = BuildModel(Flowline(law, x), "flowline.inp");
    m.Advance(600);
    m.BeginSensitivities(FlowlineSeeds());
    m.Advance(600 + t0);
    const Branch& br0 = m.branches[0];
    const int n = static_cast<int>(br0.sections.size());
    const char* names[4] = {"boundary", "gas src", "oil src", "water src"};
    const double dt = m.planned_step;
    const std::vector<double> forced = {dt};
    auto has = [&](char c) { return blocks.find(c) != std::string::npos; };
    for (int si = 0; si < 4; ++si) {
        Sensitivity sv = m.sensitivities[si];
        // A mass response of no size keeps the composition's tangent in use.
        if (!has('m')) sv.dmass.assign(n, Phases{1e-300, 0, 0});
        if (!has('t')) sv.dtemp.assign(n, 0);
        if (!has('g')) sv.dflow.assign(n + 1, 0);
        if (!has('q')) sv.dflux.assign(n + 1, Phases{0, 0, 0});
        SeedPressures(br0, sv);
        Model t = m;
        t.sensitivities = {sv};
        t.Advance(m.time + dt, &forced);
        const Sensitivity& r = t.sensitivities[0];
        const double eps = Eps(sv);
        const Model hi = StepMoved(m, sv, eps, dt), lo = StepMoved(m, sv, -eps, dt);
        const Branch &bp = hi.branches[0], &bm = lo.branches[0];
        std::printf("t %.1f dt %.3f %-9s", m.time - 600, dt, names[si]);
        const char* mass[3] = {"mg", "mo", "mw"};
        const char* flux[3] = {"qg", "qo", "qw"};
        for (int k = 0; k < 3; ++k)
            Report(
                mass[k], n, [&](int i) { return r.dmass[i][k] - sv.dmass[i][k]; },
                [&](int i) {
                    return (bp.mass[i][k] - bm.mass[i][k]) / (2 * eps) - sv.dmass[i][k];
                });
        Report(
            "g", n + 1, [&](int j) { return r.dflow[j]; },
            [&](int j) { return (bp.flow[j] - bm.flow[j]) / (2 * eps); });
        for (int k = 0; k < 3; ++k)
            Report(
                flux[k], n + 1, [&](int j) { return r.dflux[j][k]; },
                [&](int j) { return (bp.flux[j][k] - bm.flux[j][k]) / (2 * eps); });
        Report(
            "T", n, [&](int i) { return r.dtemp[i] - sv.dtemp[i]; },
            [&](int i) { return (bp.temp[i] - bm.temp[i]) / (2 * eps) - sv.dtemp[i]; });
        std::printf("\n");
    }
}

void ChainCheck(const std::string& law, float x, double length, int si, const std::string& blocks) {
    Model m = BuildModel(Flowline(law, x), "flowline.inp");
    m.Advance(600);
    m.BeginSensitivities({FlowlineSeeds()[si]});
    Sensitivity sv = m.sensitivities[0];
    m.EndSensitivities();
    const int n = static_cast<int>(m.branches[0].sections.size());
    const double end = 600 + length;
    auto has = [&](char c) { return blocks.find(c) != std::string::npos; };
    while (m.time < end - 1e-9) {
        const double dt = std::min(m.planned_step, end - m.time);
        const std::vector<double> forced = {dt};
        Model t = m;
        t.sensitivities = {sv};
        t.Advance(m.time + dt, &forced);
        Sensitivity next = t.sensitivities[0];
        const bool last = m.time + dt >= end - 1e-9;
        if (!(last && has('L'))) {
            const double eps = Eps(sv);
            const Model hi = StepMoved(m, sv, eps, dt), lo = StepMoved(m, sv, -eps, dt);
            const Branch &bp = hi.branches[0], &bm = lo.branches[0];
            for (int i = 0; i < n; ++i) {
                for (int k = 0; k < 3; ++k)
                    if (has('m')) next.dmass[i][k] = (bp.mass[i][k] - bm.mass[i][k]) / (2 * eps);
                if (has('t')) next.dtemp[i] = (bp.temp[i] - bm.temp[i]) / (2 * eps);
            }
            for (int j = 0; j <= n; ++j) {
                if (has('g')) next.dflow[j] = (bp.flow[j] - bm.flow[j]) / (2 * eps);
                for (int k = 0; k < 3; ++k)
                    if (has('q')) next.dflux[j][k] = (bp.flux[j][k] - bm.flux[j][k]) / (2 * eps);
            }
            SeedPressures(t.branches[0], next);
        }
        sv = next;
        m.Advance(m.time + dt, &forced);
    }
    std::printf(
        "%s %.0f %% gas, %.0f s, seed %d, differences in '%s': outlet %.6g %.6g %.6g, "
        "inlet p %.6g\n",
        law.c_str(), 100 * x, length, si, blocks.c_str(), sv.dflux[n][0], sv.dflux[n][1],
        sv.dflux[n][2], sv.dpressure[0]);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "step" && argc > 4) {
        StepCheck(argv[2], static_cast<float>(std::atof(argv[3])), std::atof(argv[4]),
                  argc > 5 ? argv[5] : "mtgq");
        return 0;
    }
    if (mode == "chain" && argc > 5) {
        ChainCheck(argv[2], static_cast<float>(std::atof(argv[3])), std::atof(argv[4]),
                   std::clamp(std::atoi(argv[5]), 0, 3), argc > 6 ? argv[6] : "");
        return 0;
    }
    const std::string law = argc > 1 ? argv[1] : "DRIFTLEVEL";
    std::vector<float> fractions;
    bool choke = false;
    float scale = 1, start = 600;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "choke")
            choke = true;
        else if (a == "scale" && i + 1 < argc)
            scale = static_cast<float>(std::atof(argv[++i]));
        else if (a == "from" && i + 1 < argc)
            start = std::max(0.0f, static_cast<float>(std::atof(argv[++i])));
        else
            fractions.push_back(static_cast<float>(std::atof(argv[i])));
    }
    if (fractions.empty() && !choke) fractions = {0.3f, 0.4f, 0.6f}, choke = true;
    const std::string dir = (std::filesystem::temp_directory_path() /
                             ("zefasim-derivatives-" + std::to_string(getpid())))
                                .string();
    std::filesystem::create_directories(dir);
    std::printf(
        "Derivatives against central differences of whole intervals from %.0f s, HOLDUP = %s\n",
        start, law.c_str());
    for (float x : fractions) {
        char name[64];
        std::snprintf(name, sizeof name, "flowline, %.0f %% gas", 100 * x);
        Study(dir, Case{Flowline(law, x), x, 8, 20e5f, name}, scale, start);
    }
    if (choke) {
        std::string text = zefasim_bench::ReadExample("choke_well_plug.inp");
        text.replace(text.find("FLUID "), 6, "FLUID HOLDUP = " + law + ", ");
        Study(dir, Case{text, 0.3f, 4, 30e5f, "line with well and choke"}, scale, start);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
