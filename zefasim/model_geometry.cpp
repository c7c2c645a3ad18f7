// Grid and geometry: what the step needs of each face and section that depends
// only on the pipes, derived once per branch.

#include <cmath>

#include "step.h"

namespace zefasim::step {

namespace {

// The geometry terms of each face and section of a branch (see FaceGeometry).
void DeriveGeometry(Branch& br) {
    const int n = static_cast<int>(br.sections.size());
    br.face_geometry.assign(n + 1, FaceGeometry{});
    br.section_drift_incl.assign(n, 0);
    for (int i = 0; i < n; ++i) {
        const Section& sec = br.sections[i];
        br.section_drift_incl[i] = ShiInclinationFactor(sec.dz / sec.length);
    }
    for (int j = 0; j <= n; ++j) {
        FaceGeometry& fg = br.face_geometry[j];
        const Section& sl = br.sections[j > 0 ? j - 1 : 0];
        const Section& sr = br.sections[j < n ? j : n - 1];
        double rough;
        if (j == 0) {  // half sections at the branch ends
            fg.length = sr.length / 2, fg.area = sr.area, fg.diameter = sr.diameter;
            rough = sr.roughness, fg.dz = sr.dz / 2;
        } else if (j == n) {
            fg.length = sl.length / 2, fg.area = sl.area, fg.diameter = sl.diameter;
            rough = sl.roughness, fg.dz = sl.dz / 2;
        } else {
            fg.length = (sl.length + sr.length) / 2, fg.area = (sl.area + sr.area) / 2;
            fg.diameter = (sl.diameter + sr.diameter) / 2;
            rough = (sl.roughness + sr.roughness) / 2, fg.dz = (sl.dz + sr.dz) / 2;
            fg.sin_incl = (sl.dz + sr.dz) / (sl.length + sr.length);
            fg.drift_incl = ShiInclinationFactor(fg.sin_incl);
        }
        fg.roughness_term = std::pow(rough / fg.diameter / 3.7, 1.11);
    }
}

}  // namespace

void EnsureGeometry(Branch& br) {
    const size_t n = br.sections.size();
    if (br.face_geometry.size() != n + 1 || br.section_drift_incl.size() != n) DeriveGeometry(br);
}

}  // namespace zefasim::step
