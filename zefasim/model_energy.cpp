// Energy: the temperature of each section, carried with the mass that flows in
// and out (at the temperature of where it comes from), brought by sources and
// wells, and exchanged with the surroundings (TAMBIENT) through UVALUE,
// implicitly.

#include <algorithm>
#include <cmath>

#include "step.h"

namespace zefasim::step {

void UpdateTemperatures(BranchStep& s) {
    const Branch& br = s.br;
    BranchScratch& w = s.w;
    const double dt = s.dt;
    w.temp_new.resize(s.n);
    for (int i = 0; i < s.n; ++i) {
        double m_old = Sum(br.mass[i]);
        double tk = w.st[i].temp_k;
        double e = m_old * tk;
        double gl = Sum(w.flux[i]), gr = Sum(w.flux[i + 1]);
        if (gl > 0) e += dt * gl * w.left[i].temp_k;
        if (gl < 0) e += dt * gl * tk;
        if (gr < 0) e -= dt * gr * w.right[i + 1].temp_k;
        if (gr > 0) e -= dt * gr * tk;
        e += dt * (w.src_energy[i] + w.well_energy[i]);
        double src_out = 0;
        for (int k = 0; k < 3; ++k) src_out += std::min(0.0, w.src[i][k]);
        e += dt * src_out * tk;
        const Section& sec = br.sections[i];
        double h = sec.u_value * kPi * sec.diameter * sec.length / s.model.fluid.heat_capacity;
        double m_new = Sum(w.mass_new[i]);
        double denom_t = m_new + dt * h;
        if (denom_t > 1e-12) {
            double t_new = (e + dt * h * (sec.t_ambient + kKelvin)) / denom_t - kKelvin;
            w.temp_new[i] = std::isfinite(t_new) ? std::clamp(t_new, -250.0, 5000.0) : br.temp[i];
        } else {
            w.temp_new[i] = br.temp[i];
        }
    }
}

}  // namespace zefasim::step
