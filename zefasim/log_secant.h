// Root finding for the closures' shares: the root in t = ln(lam) of a function
// that rises with t, lam a share of the flowing volume. Used where one share
// is solved for thousands of times a step, each from the one solved before.

#pragma once

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace zefasim::step {

struct LogRoot {
    double lam = 0;
    int end = 0;   // -1: the function is positive already at t_lo, +1: negative still at t_hi
    double v = 0;  // the solve's step variable at lam (below), to start another solve from
};

// The solve steps in v, the logarithm of the smaller of lam and 1 - lam,
// mirrored so that it rises with lam: v = ln(lam) up to lam = 1/2, beyond it
// 2 ln(1/2) - ln(1 - lam) (continuous there, with its slope). Where lam nears
// 1 (a thin stream of gas over a liquid layer) a function of the gas's
// velocity is close to linear in v but steep and curved in ln(lam), where
// secant steps from a neighbouring face's root took ten evaluations and more.
namespace log_share {
constexpr double kLnHalf = -0.693147180559945309417;
// `mirror`: the variable mirrors beyond lam = 1/2 (else v = t throughout).
inline double VOfT(double t, bool mirror = true) {
    return !mirror || t <= kLnHalf ? t : 2 * kLnHalf - std::log(-std::expm1(t));
}
inline double LamOfV(double v, bool mirror = true) {
    return !mirror || v <= kLnHalf ? std::exp(v) : 1 - 0.25 * std::exp(-v);
}
inline double TOfV(double v, bool mirror = true) {
    return !mirror || v <= kLnHalf ? v : std::log1p(-0.25 * std::exp(-v));
}
// dt/dv at lam: 1, beyond lam = 1/2 (1 - lam) / lam.
inline double DtDv(double lam, bool mirror = true) {
    return !mirror || lam <= 0.5 ? 1.0 : (1 - lam) / lam;
}
}  // namespace log_share

// Secant steps in v from `t` (the first with `slope`, which receives the
// last rising secant, both in t), kept within the bracket [lo, hi] of the root
// that the evaluations so far give (where a step would leave it, false
// position between its ends, the end kept twice halved in weight (Illinois),
// or halving the bracket where an end is not evaluated); an end of
// [t_lo, t_hi] is evaluated only where a step would go beyond it. `lo` may
// start as a known bound (`lo_known`: the function is negative there). A
// secant step below `tolerance` of lam ends the solve: the secant converges
// superlinearly, so lam is then well within that of the root. f(t, lam), or
// f(lam) where the function does not depend on t apart from lam.
//
// RisingRootFrom starts at the step variable `from` of a solve before (LogRoot::v)
// and its share `lam_from` (LogRoot::lam, the same to the bit as lam at v):
// started from the share alone, each solve took a logarithm, in the mirrored
// range a second logarithm and an exponential, and an exponential more to
// return to the share it started from.
template <class F>
LogRoot RisingRootFrom(F f_of_t, double from, double lam_from, double& slope_t, double t_lo_t,
                       double t_hi_t, double tolerance, double lo_t, bool lo_known,
                       bool mirror = true) {
    using namespace log_share;
    // Below t is the step variable v; f_of and the slope are taken in it.
    const double t_lo = VOfT(t_lo_t, mirror), t_hi = VOfT(t_hi_t, mirror);
    double lo = VOfT(lo_t, mirror), t = std::clamp(from, t_lo, t_hi);
    // f(lam) alone where the function does not take t (not evaluated then).
    auto f_of = [&](double v, double lam_v) {
        if constexpr (std::is_invocable_v<F, double>)
            return f_of_t(lam_v);
        else
            return f_of_t(TOfV(v, mirror), lam_v);
    };
    double lam = t == from && lam_from >= 0 ? lam_from : LamOfV(t, mirror);
    double slope = slope_t / DtDv(lam, mirror);
    struct SlopeOut {  // hands the last rising secant back in t
        double& out;
        const double& slope_v;
        const double& lam;
        bool mirror_v;
        ~SlopeOut() { out = slope_v * DtDv(lam, mirror_v); }
    };
    if (!lo_known) lo = t_lo;
    double hi = t_hi;
    bool hi_known = false;
    // The function's values at the bracket's ends where evaluated there (0:
    // not), and which end the last evaluation moved (+1 hi, -1 lo).
    double f_lo = 0, f_hi = 0;
    int moved = 0;
    const SlopeOut slope_out{slope_t, slope, lam, mirror};
    double f = f_of(t, lam), t_next = t - f / slope;
    for (int it = 0; it < 100 && f != 0; ++it) {
        if (f > 0) {
            hi = t, hi_known = true, f_hi = f;
            if (t == t_lo) return {lam, -1, t};
            if (moved > 0) f_lo /= 2;  // Illinois: the end kept twice counts for less
            moved = 1;
        } else {
            lo = t, lo_known = true, f_lo = f;
            if (t == t_hi) return {lam, 1, t};
            if (moved < 0) f_hi /= 2;
            moved = -1;
        }
        bool secant_step = true;
        if (!(t_next > lo && t_next < hi)) {
            secant_step = false;
            if (!lo_known && f > 0) {
                t_next = lo;
            } else if (!hi_known && f < 0) {
                t_next = hi;
            } else {
                // Between two evaluated ends by false position (where the
                // function is flat far from its root a secant leaves the
                // bracket, and halving a bracket in t many units wide takes
                // tens of evaluations); else halved.
                t_next = f_lo < 0 && f_hi > 0 ? lo - f_lo * (hi - lo) / (f_hi - f_lo) : lo;
                if (!(t_next > lo && t_next < hi)) t_next = lo + (hi - lo) / 2;
                if (LamOfV(hi, mirror) - LamOfV(lo, mirror) <= 2 * tolerance) {
                    t_next = lo + (hi - lo) / 2;
                    secant_step = true;
                }
            }
        }
        const double lam_next = LamOfV(t_next, mirror);
        if (secant_step && std::fabs(lam_next - lam) <= tolerance) {
            lam = lam_next, t = t_next;
            break;
        }
        const double t_last = t, f_last = f;
        t = t_next, lam = lam_next, f = f_of(t, lam);
        const double secant = (f - f_last) / (t - t_last);
        if (secant > 0) slope = secant;
        // A secant that does not rise leaves the bracket to choose the step.
        t_next = secant > 0 ? t - f / secant : hi + 1;
    }
    return {lam, 0, t};
}

// RisingRootFrom from t_start = ln(lam) of a share alone (or a first guess).
template <class F>
LogRoot RisingRootInLog(F f_of_t, double t_start, double& slope_t, double t_lo_t, double t_hi_t,
                        double tolerance, double lo_t, bool lo_known, bool mirror = true) {
    return RisingRootFrom(f_of_t, log_share::VOfT(t_start, mirror), -1.0, slope_t, t_lo_t, t_hi_t,
                          tolerance, lo_t, lo_known, mirror);
}

}  // namespace zefasim::step
