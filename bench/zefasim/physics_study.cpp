// Documented runs of the two-phase physics (not timed, not a unit test):
//  holdup  - steady holdup and pressure gradient of an oil-gas line against the
//            Beggs and Brill (1973) correlation, evaluated on its own
//            (beggs_brill.h), over inclinations from -90 to +90 degrees and five
//            rate pairs, for HOLDUP = DRIFTFLUX, DRIFTLEVEL and BEGGSBRILL;
//  tilt    - holdup of the same lines within a degree of horizontal;
//  slugging - the riser slugging example refined (40+10, 80+20, 160+40
//            sections) and at raised gas rates, under DRIFTFLUX and DRIFTLEVEL:
//            outlet liquid amplitude, period, the swing of the riser base
//            pressure (and its range), the gas that passes the low point while
//            the riser fills, the range of the gas through the low point and of
//            the riser's and the flowline's mean holdups (gas: the raised gas
//            rates alone);
//  steps   - steps per simulated second of the flowline with drift flux at 100
//            sections (80 + 20), one-second intervals from 120 to 1,320 s.
// Usage: zefasim_physics_study [holdup [LAW [DEG] [size D BAR]]] [tilt [LAW [slowest]]] [slugging]
//        [gas] [steps] [slug GASFACTOR REFINE LAW [block] [flowline N] [maxdt S]] (holdup and
//        tilt for one law or all three; size: the holdup lines at another
//        diameter (m) and outlet pressure (bar), their superficial velocities
//        about those at 0.1 m and 30 bar; block: the gas fed cut for 300 s at
//        1.5 h, see BlockWatch; flowline: the flowline refined N times and the
//        riser REFINE times; maxdt: the longest step in seconds, 2 otherwise).

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "beggs_brill.h"
#include "input.h"

namespace {

using namespace zefasim;

constexpr const char* kLaws[] = {"DRIFTFLUX", "DRIFTLEVEL", "BEGGSBRILL"};

void HoldupStudy(const char* law, const char* only_deg = nullptr, double diameter = 0.1,
                 double bar = 30) {
    std::printf(
        "HOLDUP = %s: holdup and pressure gradient against Beggs and Brill "
        "(%g m, %g bar)\n",
        law, diameter, bar);
    int rows = 0, holdup_ok = 0, gradient_ok = 0, skipped = 0;
    for (double deg : {90.0, 45.0, 10.0, 0.0, -10.0, -45.0, -90.0}) {
        if (only_deg && std::atof(only_deg) != deg) continue;
        for (const auto& q : reference::kRates) {
            reference::LineResult r =
                reference::SteadyLine({law, deg, q[0], q[1], 40, diameter, bar});
            if (!r.ref.valid) {
                std::printf(
                    "%6.1f deg  vsg %5.2f  vsl %4.2f m/s%s  holdup %.3f, gradient %6.0f Pa/m: not "
                    "compared (Beggs and Brill's downhill correction gives holdup %.3f)\n",
                    deg, r.vsg, r.vsl, r.settled ? "" : " (not settled)", r.holdup, r.gradient,
                    r.ref.holdup);
                ++skipped;
                continue;
            }
            const double eh = r.holdup / r.ref.holdup - 1, eg = r.gradient / r.ref.gradient - 1;
            ++rows, holdup_ok += std::fabs(eh) <= 0.25, gradient_ok += std::fabs(eg) <= 0.25;
            std::printf(
                "%6.1f deg  vsg %5.2f  vsl %4.2f m/s%s  holdup %.3f / %.3f (%+4.0f %%)  "
                "gradient %6.0f / %6.0f Pa/m (%+4.0f %%)\n",
                deg, r.vsg, r.vsl, r.settled ? "" : " (not settled)", r.holdup, r.ref.holdup,
                100 * eh, r.gradient, r.ref.gradient, 100 * eg);
        }
    }
    std::printf("within 25 %%: holdup %d, gradient %d of %d cases (%d not compared)\n", holdup_ok,
                gradient_ok, rows, skipped);
}

// Holdup near horizontal: the largest change for 0.1 degree of tilt (for the
// slowest rate pair alone where `slowest`, the one that moves most, with the
// range of its sections' holdups at each angle).
void TiltStudy(const char* law, bool slowest = false) {
    std::printf("HOLDUP = %s: holdup near horizontal (0.1 m, 30 bar)\n", law);
    const double angles[] = {-1, -0.5, -0.2, -0.1, 0, 0.1, 0.2, 0.5, 1};
    for (const auto& q : reference::kRates) {
        if (slowest && &q != &reference::kRates[std::size(reference::kRates) - 1]) continue;
        double last = 0, last_deg = 0, worst = 0;
        std::printf("gas %.2f, oil %.2f kg/s:", q[0], q[1]);
        for (double deg : angles) {
            const reference::LineResult r = reference::SteadyLine({law, deg, q[0], q[1]});
            const double h = r.holdup;
            std::printf(" %.4f", h);
            if (slowest) {
                // The spread of the sections' holdups: a line whose sections
                // settle at two holdups shows it here, not in the mean.
                double lo = 1, hi = 0;
                for (int i = 0; i < static_cast<int>(r.model.branches[0].sections.size()); ++i) {
                    const double hs = 1 - r.model.StateOf(0, i).alpha[kGas];
                    lo = std::min(lo, hs), hi = std::max(hi, hs);
                }
                std::printf(" (%+.1f deg: sections %.3f .. %.3f%s)\n", deg, lo, hi,
                            r.settled ? "" : ", not settled");
            }
            if (last > 0) worst = std::max(worst, std::fabs(h / last - 1) * 0.1 / (deg - last_deg));
            last = h, last_deg = deg;
        }
        std::printf("  (largest change per 0.1 deg %.1f %%)\n", 100 * worst);
    }
}

std::string ReadExample(const std::string& name) {
    std::ifstream in(std::string(ZEFA_EXAMPLES_DIR) + "/" + name);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A forced block (`slug ... block`): the gas fed is cut for kBlockS from
// kBlockAt, so that the low point seals whatever the gas rate; once the gas
// is fed again the riser either keeps filling with the gas held back in the
// flowline (Boe's balance: the head rises faster than the gas compresses)
// or the gas breaks through. Reported up to the blowout (outlet liquid above
// twice the fed) or kBlockWatch after the gas returns.
constexpr double kBlockAt = 5400, kBlockS = 300, kBlockWatch = 1500;
struct BlockWatch {
    double p_from = 0, p_top = 0, gas_sum = 0, until = 0;
    int taken = 0;
    bool done = false;
    void Take(double t, double p, double gas_lp, double outlet, double liquid) {
        if (done || t <= kBlockAt + kBlockS) return;
        if (p_from == 0) p_from = p;
        p_top = std::max(p_top, p), gas_sum += gas_lp, ++taken, until = t;
        done = outlet > 2 * liquid || t >= kBlockAt + kBlockS + kBlockWatch;
    }
};

// How a `slug` run departs from the example: the gas fed cut for a while
// (BlockWatch), the flowline refined otherwise than the riser (0: as the
// riser), the longest step (s; 0: the example's).
struct SlugOptions {
    bool block = false;
    int flowline_refine = 0;
    double max_step = 0;
};

void Slugging(int refine, double gas_factor, const char* law, SlugOptions opt = {}) {
    const bool block = opt.block;
    const int line_refine = opt.flowline_refine > 0 ? opt.flowline_refine : refine;
    std::string text = ReadExample("riser_slugging.inp");
    const std::string named = "HOLDUP = DRIFTLEVEL";
    text.replace(text.find(named), named.size(), std::string("HOLDUP = ") + law);
    for (auto [from, to] : {std::pair{"NSECTIONS = 40", 40 * line_refine},
                            std::pair{"NSECTIONS = 10", 10 * refine}}) {
        size_t at = text.find(from);
        text.replace(at, std::string(from).size(), "NSECTIONS = " + std::to_string(to));
    }
    const std::string step = "MAXDT = 2 s";
    if (opt.max_step > 0)
        text.replace(text.find(step), step.size(),
                     "MAXDT = " + std::to_string(opt.max_step) + " s");
    Model m = BuildModel(text, "riser_slugging.inp");
    Source& src = m.sources[0];
    double gas = src.mass_flow * src.gas_fraction * gas_factor;
    double liquid = src.mass_flow * (1 - src.gas_fraction);
    src.mass_flow = gas + liquid;
    src.gas_fraction = gas / (gas + liquid);
    const int base = 40 * line_refine - 1;
    // The riser's liquid head: its rise full of the fed liquid.
    double rise = 0;
    for (size_t i = static_cast<size_t>(base) + 1; i < m.branches[0].sections.size(); ++i)
        rise += m.branches[0].sections[i].dz;
    const double w = src.water_fraction;
    const double head =
        kGravity * rise / ((1 - w) / m.fluid.oil_density + w / m.fluid.water_density);
    // Four hours, of which the last two are measured: the line fills from its
    // initial holdup over more than an hour, and the first slug it sends is
    // larger than the cycle's.
    std::vector<double> out, pressure, leak, flowline, jagged, riser;
    const double fed_mass = src.mass_flow, fed_gas_share = src.gas_fraction;
    // The odd-even measure below leaves out the sections beside the low point
    // that pool under the seal: the pool of a level touching the pipe's top at
    // the dip is D / sin long (40 m; D / dz sections of one length), and the
    // section above it. Counted in, the pool's edge read as the mode (0.152
    // and 0.230 at 320+80 and 640+160 sections against 0.134 and 0.230 left
    // out).
    const Section& first = m.branches[0].sections[0];
    const auto pooled = static_cast<size_t>(2 + std::floor(first.diameter / std::fabs(first.dz)));
    BlockWatch watch;
    while (m.time < 4 * 3600) {
        const bool cut = block && m.time >= kBlockAt && m.time < kBlockAt + kBlockS;
        m.sources[0].mass_flow = cut ? liquid : fed_mass;
        m.sources[0].gas_fraction = cut ? 0 : fed_gas_share;
        m.Advance(m.time + 5);
        const Phases& q = m.branches[0].flux.back();
        out.push_back(q[kOil] + q[kWater]);
        pressure.push_back(m.StateOf(0, base).p);
        leak.push_back(m.branches[0].flux[static_cast<size_t>(base) + 1][kGas]);
        if (block) watch.Take(m.time, pressure.back(), leak.back(), out.back(), liquid);
        // The flowline's mean liquid holdup (its sections are of one length).
        std::vector<double> held(static_cast<size_t>(base) + 1);
        for (int i = 0; i <= base; ++i)
            held[static_cast<size_t>(i)] = 1 - m.StateOf(0, i).alpha[kGas];
        flowline.push_back(std::accumulate(held.begin(), held.end(), 0.0) / (base + 1));
        // The riser's mean liquid holdup (its sections are of one length too).
        const int n = static_cast<int>(m.branches[0].sections.size());
        double in_riser = 0;
        for (int i = base + 1; i < n; ++i) in_riser += 1 - m.StateOf(0, i).alpha[kGas];
        riser.push_back(in_riser / (n - base - 1));
        // How far a section's holdup stands off its neighbours' mean (an
        // odd-even mode), leaving out the pool at the low point.
        double off = 0;
        for (size_t i = 1; i + pooled < held.size(); ++i)
            off = std::max(off, std::fabs(held[i] - (held[i - 1] + held[i + 1]) / 2));
        jagged.push_back(off);
    }
    const auto from = static_cast<long>(out.size() / 2);
    auto [lo, hi] = std::minmax_element(out.begin() + from, out.end());
    auto [p_lo, p_hi] = std::minmax_element(pressure.begin() + from, pressure.end());
    const double mid = (*lo + *hi) / 2;
    std::vector<double> ups;
    for (size_t i = static_cast<size_t>(from) + 1; i < out.size(); ++i)
        if (out[i - 1] < mid && out[i] >= mid) ups.push_back(5.0 * static_cast<double>(i));
    // No period where the flow stays within 5 % of the liquid fed.
    double period = ups.size() >= 2 && *hi - *lo > 0.05 * liquid
                        ? (ups.back() - ups.front()) / static_cast<double>(ups.size() - 1)
                        : 0;
    // The gas that passes the low point while the riser fills (no liquid out).
    double passed = 0;
    int filling = 0;
    for (size_t i = static_cast<size_t>(from); i < out.size(); ++i)
        if (out[i] < 0.05 * liquid) passed += leak[i], ++filling;
    auto [h_lo, h_hi] = std::minmax_element(flowline.begin() + from, flowline.end());
    auto [r_lo, r_hi] = std::minmax_element(riser.begin() + from, riser.end());
    auto [g_lo, g_hi] = std::minmax_element(leak.begin() + from, leak.end());
    std::printf(
        "%s %3d+%-3d sections, gas x%.2f: outlet liquid %5.1f .. %5.1f kg/s, period %4.0f s, "
        "riser base swing %5.2f bar (%.0f %% of the riser's liquid head), gas into the filling "
        "riser %.1f %% of the fed\n",
        law, 40 * line_refine, 10 * refine, gas_factor, *lo, *hi, period, (*p_hi - *p_lo) / 1e5,
        100 * (*p_hi - *p_lo) / head, filling > 0 ? 100 * passed / filling / gas : 0.0);
    std::printf(
        "    riser base %.2f .. %.2f bar, flowline holdup %.3f .. %.3f, a section's holdup off "
        "its neighbours' mean by up to %.3f\n",
        *p_lo / 1e5, *p_hi / 1e5, *h_lo, *h_hi,
        *std::max_element(jagged.begin() + from, jagged.end()));
    // A cycle that blocks the low point takes its gas to nought and fills the
    // riser; one that does not (the gas-lifted riser's own oscillation) keeps
    // gas passing and the riser light.
    std::printf(
        "    gas through the low point %.2f .. %.2f kg/s (fed %.2f), riser holdup %.3f .. %.3f\n",
        *g_lo, *g_hi, gas, *r_lo, *r_hi);
    if (block)
        std::printf(
            "    gas cut at %.0f s for %.0f s: the riser base went from %.2f to %.2f bar over %.0f "
            "s "
            "after the gas returned, gas through the low point %.2f kg/s on average (%.0f %% of "
            "the fed)%s\n",
            kBlockAt, kBlockS, watch.p_from / 1e5, watch.p_top / 1e5,
            watch.until - kBlockAt - kBlockS, watch.gas_sum / std::max(1, watch.taken),
            100 * watch.gas_sum / std::max(1, watch.taken) / gas,
            watch.until < kBlockAt + kBlockS + kBlockWatch ? ", then blew out" : "");
    // Each cycle's peak (between up-crossings of the mid level): the window's
    // largest alone does not show whether the cycles repeat.
    std::printf("    cycle peaks (kg/s):");
    for (size_t k = 0; k + 1 < ups.size(); ++k) {
        double top = 0;
        for (auto i = static_cast<size_t>(ups[k] / 5); i < static_cast<size_t>(ups[k + 1] / 5); ++i)
            top = std::max(top, out[i]);
        std::printf(" %.1f", top);
    }
    std::printf("\n");
}

void StepsStudy() {
    std::string text = ReadExample("flowline.inp");
    text.replace(text.find("FLUID "), 6, "FLUID HOLDUP = DRIFTFLUX, ");
    for (auto [from, to] : {std::pair{"NSECTIONS = 40", "NSECTIONS = 80"},
                            std::pair{"NSECTIONS = 10", "NSECTIONS = 20"}})
        text.replace(text.find(from), std::string(from).size(), to);
    Model m = BuildModel(text, "flowline.inp");
    m.Advance(120);
    const std::int64_t before = m.steps;
    while (m.time < 1320) m.Advance(m.time + 1);
    std::printf("flowline, drift flux, 100 sections: %.2f steps per simulated second\n",
                static_cast<double>(m.steps - before) / 1200);
}

void SluggingStudy(bool grids) {
    std::printf("riser slugging example, 4 h, the last two hours\n");
    for (const char* law : kLaws) {
        if (law[0] == 'B') continue;  // the flowing-line law does not slug here
        for (int refine : {1, 2, 4})
            if (grids || refine == 1) Slugging(refine, 1, law);
        for (double gas : {1.25, 1.5, 1.75, 2.0, 2.5, 3.0, 3.5}) Slugging(1, gas, law);
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool all = argc < 2;
    for (int i = 1; i < argc; ++i) {
        // holdup and tilt take an optional law (all three otherwise).
        const bool one =
            i + 1 < argc && std::find_if(std::begin(kLaws), std::end(kLaws), [&](const char* law) {
                                return argv[i + 1] == std::string(law);
                            }) != std::end(kLaws);
        if (std::string(argv[i]) == "holdup") {
            // and then an optional inclination (degrees): its five lines alone.
            const bool deg =
                one && i + 2 < argc &&
                std::isdigit(static_cast<unsigned char>(argv[i + 2][argv[i + 2][0] == '-']));
            if (one) {
                const char* law = argv[i + 1];
                const char* only = deg ? argv[i + 2] : nullptr;
                i += deg ? 2 : 1;
                // and then optionally `size D BAR`: another diameter and pressure.
                double diameter = 0.1, bar = 30;
                if (i + 3 < argc && argv[i + 1] == std::string("size")) {
                    diameter = std::atof(argv[i + 2]), bar = std::atof(argv[i + 3]);
                    i += 3;
                }
                if (diameter > 0 && bar > 0) HoldupStudy(law, only, diameter, bar);
            } else
                for (const char* law : kLaws) HoldupStudy(law);
        }
        if (std::string(argv[i]) == "tilt") {
            const bool slowest = one && i + 2 < argc && argv[i + 2] == std::string("slowest");
            if (one)
                TiltStudy(argv[++i], slowest), i += slowest;
            else
                for (const char* law : kLaws) TiltStudy(law);
        }
        if (std::string(argv[i]) == "slugging") SluggingStudy(true);
        if (std::string(argv[i]) == "gas") SluggingStudy(false);
        if (std::string(argv[i]) == "steps") StepsStudy();
        if (std::string(argv[i]) == "slug" && i + 3 < argc) {  // gas factor, refinement, law
            SlugOptions opt;
            const int gas = i + 1, refine = i + 2, law = i + 3;
            for (i += 4; i < argc; ++i) {
                const std::string a = argv[i];
                if (a == "block")
                    opt.block = true;
                else if (a == "flowline" && i + 1 < argc)
                    opt.flowline_refine = std::atoi(argv[++i]);
                else if (a == "maxdt" && i + 1 < argc)
                    opt.max_step = std::atof(argv[++i]);
                else
                    break;
            }
            --i;
            Slugging(std::atoi(argv[refine]), std::atof(argv[gas]), argv[law], opt);
        }
    }
    if (all) {
        for (const char* law : kLaws) HoldupStudy(law), TiltStudy(law);
        SluggingStudy(true);
        StepsStudy();
    }
    return 0;
}
