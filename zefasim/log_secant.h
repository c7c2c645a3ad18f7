// Root finding for the closures' shares: the root in t = ln(lam) of a function
// that rises with t, lam a share of the flowing volume. Used where one share
// is solved for thousands of times a step, each from the one solved before.

#pragma once

#include <cmath>

namespace zefasim::step {

struct LogRoot {
    double lam = 0;
    int end = 0;  // -1: the function is positive already at t_lo, +1: negative still at t_hi
};

// Secant steps in t from `t` (the first with `slope`, which receives the
// last rising secant), kept within the bracket [lo, hi] of the root that the
// evaluations so far give (halving it where a step would leave it); an end of
// [t_lo, t_hi] is evaluated only where a step would go beyond it. `lo` may
// start as a known bound (`lo_known`: the function is negative there). A
// secant step below `tolerance` of lam ends the solve: the secant converges
// superlinearly, so lam is then well within that of the root. f(t, lam).
template <class F>
LogRoot RisingRootInLog(F f_of, double t, double& slope, double t_lo, double t_hi, double tolerance,
                        double lo, bool lo_known) {
    if (!lo_known) lo = t_lo;
    double hi = t_hi;
    bool hi_known = false;
    double lam = std::exp(t), f = f_of(t, lam), t_next = t - f / slope;
    for (int it = 0; it < 100 && f != 0; ++it) {
        if (f > 0) {
            hi = t, hi_known = true;
            if (t == t_lo) return {lam, -1};
        } else {
            lo = t, lo_known = true;
            if (t == t_hi) return {lam, 1};
        }
        bool secant_step = true;
        if (!(t_next > lo && t_next < hi)) {
            secant_step = false;
            if (!lo_known && f > 0) {
                t_next = lo;
            } else if (!hi_known && f < 0) {
                t_next = hi;
            } else {
                t_next = lo + (hi - lo) / 2;
                if (std::exp(hi) - std::exp(lo) <= 2 * tolerance) secant_step = true;
            }
        }
        const double lam_next = std::exp(t_next);
        if (secant_step && std::fabs(lam_next - lam) <= tolerance) {
            lam = lam_next;
            break;
        }
        const double t_last = t, f_last = f;
        t = t_next, lam = lam_next, f = f_of(t, lam);
        const double secant = (f - f_last) / (t - t_last);
        if (secant > 0) slope = secant;
        // A secant that does not rise leaves the bracket to choose the step.
        t_next = secant > 0 ? t - f / secant : hi + 1;
    }
    return {lam, 0};
}

}  // namespace zefasim::step
