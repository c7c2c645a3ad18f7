// Documented runs of the two-phase physics (not timed, not a unit test):
//  holdup  - steady holdup and pressure gradient of an oil-gas line against the
//            Beggs and Brill (1973) correlation, evaluated here on its own, over
//            inclinations from -90 to +90 degrees and four rate pairs;
//  slugging - the riser slugging example refined (40+10, 80+20, 160+40
//            sections) and at raised gas rates: outlet liquid amplitude, period,
//            and the swing of the riser base pressure.
// Usage: zefasim_physics_study [holdup] [slugging] (both without arguments).

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "input.h"

namespace {

using namespace zefasim;

struct Correlation {
    double holdup = 0, gradient = 0;  // liquid volume fraction; Pa/m along the flow
};

// Beggs and Brill: flow pattern from the mixture Froude number and the no-slip
// liquid fraction, horizontal holdup per pattern, inclination correction, and
// the two-phase friction factor from the no-slip one (smooth pipe).
Correlation BeggsBrill(double vsg, double vsl, double rho_g, double rho_l, double mu_g, double mu_l,
                       double sigma, double d, double theta) {
    const double vm = vsg + vsl, lam = vsl / vm, fr = vm * vm / (kGravity * d);
    const double l1 = 316 * std::pow(lam, 0.302), l2 = 0.0009252 * std::pow(lam, -2.4684);
    const double l3 = 0.1 * std::pow(lam, -1.4516), l4 = 0.5 * std::pow(lam, -6.738);
    const double nlv = vsl * std::pow(rho_l / (kGravity * sigma), 0.25);
    auto horizontal = [&](double a, double b, double c) {
        return std::max(lam, a * std::pow(lam, b) / std::pow(fr, c));
    };
    // pattern 0 segregated, 1 intermittent, 2 distributed
    auto inclined = [&](int pattern, double h0) {
        double dd, e, f, g;
        if (theta < 0) {
            dd = 4.70, e = -0.3692, f = 0.1244, g = -0.5056;
        } else if (pattern == 0) {
            dd = 0.011, e = -3.768, f = 3.539, g = -1.614;
        } else if (pattern == 1) {
            dd = 2.96, e = 0.305, f = -0.4473, g = 0.0978;
        } else {
            return h0;
        }
        double c = std::max(
            0.0, (1 - lam) * std::log(dd * std::pow(lam, e) * std::pow(nlv, f) * std::pow(fr, g)));
        double s = std::sin(1.8 * theta);
        return h0 * (1 + c * (s - 0.333 * s * s * s));
    };
    const double seg = inclined(0, horizontal(0.98, 0.4846, 0.0868));
    const double inter = inclined(1, horizontal(0.845, 0.5351, 0.0173));
    double hl;
    if ((lam < 0.01 && fr < l1) || (lam >= 0.01 && fr < l2)) {
        hl = seg;
    } else if (lam >= 0.01 && fr <= l3) {
        double a = (l3 - fr) / (l3 - l2);
        hl = a * seg + (1 - a) * inter;
    } else if ((lam < 0.4 && fr <= l1) || (lam >= 0.4 && fr <= l4)) {
        hl = inter;
    } else {
        hl = inclined(2, horizontal(1.065, 0.5824, 0.0609));
    }
    hl = std::clamp(hl, 0.0, 1.0);
    const double rho_n = rho_l * lam + rho_g * (1 - lam), mu_n = mu_l * lam + mu_g * (1 - lam);
    const double re = rho_n * vm * d / mu_n;
    const double fn = 1 / std::pow(2 * std::log10(re / (4.5223 * std::log10(re) - 3.8215)), 2);
    const double y = lam / (hl * hl), ly = std::log(y);
    const double s =
        y > 1 && y < 1.2
            ? std::log(2.2 * y - 1.2)
            : ly / (-0.0523 + 3.182 * ly - 0.8725 * ly * ly + 0.01853 * std::pow(ly, 4));
    const double rho_s = rho_l * hl + rho_g * (1 - hl);
    return {hl, fn * std::exp(s) * rho_n * vm * vm / (2 * d) + rho_s * kGravity * std::sin(theta)};
}

void HoldupStudy() {
    std::printf("holdup and pressure gradient against Beggs and Brill (0.1 m, 30 bar)\n");
    const double d = 0.1, len = 400, area = M_PI * d * d / 4;
    const double rates[][2] = {{0.5, 2}, {2, 8}, {0.3, 10}, {3, 0.5}};  // gas, oil kg/s
    for (double deg : {90.0, 45.0, 10.0, 0.0, -10.0, -45.0, -90.0}) {
        for (const auto& q : rates) {
            const double theta = deg * M_PI / 180;
            char text[1200];
            std::snprintf(text, sizeof text, R"(
FLUID GASMW = 20 kg/kmol, OILDENSITY = 800 kg/m3, OILVISCOSITY = 2 cP, GASVISCOSITY = 1.5e-5 Pa.s
INTEGRATION MAXDT = 1 s, MINDT = 1e-4 s
NODE LABEL = A, TYPE = CLOSED
NODE LABEL = B, TYPE = PRESSURE
BRANCH LABEL = L, FROM = A, TO = B
PIPE LABEL = P, BRANCH = L, LENGTH = %g m, DIAMETER = %g m, ELEVATION = %g m, NSECTIONS = 40
BOUNDARY LABEL = OUT, NODE = B, PRESSURE = 30 bar, TEMPERATURE = 30 C, GASFRACTION = 1
SOURCE LABEL = IN, BRANCH = L, SECTION = 1, MASSFLOW = %g kg/s, GASFRACTION = %g,
       TEMPERATURE = 30 C
INITIAL PRESSURE = 30 bar, TEMPERATURE = 30 C, HOLDUP = 0.3
)",
                          len, d, len * std::sin(theta), q[0] + q[1], q[0] / (q[0] + q[1]));
            Model m = BuildModel(text, "study.inp");
            bool steady = m.SolveSteady(200000);
            double hl = 0;
            for (int i = 15; i < 25; ++i) hl += 1 - m.StateOf(0, i).alpha[kGas];
            hl /= 10;
            const SectionState a = m.StateOf(0, 15), b = m.StateOf(0, 25), s = m.StateOf(0, 20);
            const double gradient = (a.p - b.p) / 100;
            const double vsg = q[0] / (s.rho_gas * area), vsl = q[1] / (s.rho_oil * area);
            Correlation c =
                BeggsBrill(vsg, vsl, s.rho_gas, s.rho_oil, 1.5e-5, 2e-3, 0.025, d, theta);
            std::printf(
                "%6.1f deg  vsg %5.2f  vsl %4.2f m/s%s  holdup %.3f / %.3f (%+4.0f %%)  "
                "gradient %6.0f / %6.0f Pa/m (%+4.0f %%)\n",
                deg, vsg, vsl, steady ? "" : " (not settled)", hl, c.holdup,
                100 * (hl / c.holdup - 1), gradient, c.gradient, 100 * (gradient / c.gradient - 1));
        }
    }
}

std::string ReadExample(const std::string& name) {
    std::ifstream in(std::string(ZEFA_EXAMPLES_DIR) + "/" + name);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void Slugging(int refine, double gas_factor) {
    std::string text = ReadExample("riser_slugging.inp");
    for (auto [from, to] :
         {std::pair{"NSECTIONS = 40", 40 * refine}, std::pair{"NSECTIONS = 10", 10 * refine}}) {
        size_t at = text.find(from);
        text.replace(at, std::string(from).size(), "NSECTIONS = " + std::to_string(to));
    }
    Model m = BuildModel(text, "riser_slugging.inp");
    Source& src = m.sources[0];
    double gas = src.mass_flow * src.gas_fraction * gas_factor;
    double liquid = src.mass_flow * (1 - src.gas_fraction);
    src.mass_flow = gas + liquid;
    src.gas_fraction = gas / (gas + liquid);
    const int base = 40 * refine - 1;
    std::vector<double> out, pressure;
    while (m.time < 3 * 3600) {
        m.Advance(m.time + 5);
        const Phases& q = m.branches[0].flux.back();
        out.push_back(q[kOil] + q[kWater]);
        pressure.push_back(m.StateOf(0, base).p);
    }
    const auto from = static_cast<long>(out.size() / 3);
    auto [lo, hi] = std::minmax_element(out.begin() + from, out.end());
    auto [p_lo, p_hi] = std::minmax_element(pressure.begin() + from, pressure.end());
    const double mid = (*lo + *hi) / 2;
    std::vector<double> ups;
    for (size_t i = static_cast<size_t>(from) + 1; i < out.size(); ++i)
        if (out[i - 1] < mid && out[i] >= mid) ups.push_back(5.0 * static_cast<double>(i));
    double period =
        ups.size() >= 2 ? (ups.back() - ups.front()) / static_cast<double>(ups.size() - 1) : 0;
    std::printf(
        "%3d+%-3d sections, gas x%.2f: outlet liquid %5.1f .. %5.1f kg/s, period %4.0f s, "
        "riser base swing %5.2f bar\n",
        40 * refine, 10 * refine, gas_factor, *lo, *hi, period, (*p_hi - *p_lo) / 1e5);
}

void SluggingStudy() {
    std::printf("riser slugging example, 3 h, the last two hours\n");
    for (int refine : {1, 2, 4}) Slugging(refine, 1);
    for (double gas : {1.25, 1.5, 2.0, 3.0}) Slugging(1, gas);
}

}  // namespace

int main(int argc, char** argv) {
    bool all = argc < 2;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "holdup") HoldupStudy();
        if (std::string(argv[i]) == "slugging") SluggingStudy();
    }
    if (all) {
        HoldupStudy();
        SluggingStudy();
    }
    return 0;
}
