// The pressure-flow network: its unknowns and equations, and the damped Newton
// solve over a dense linear system.
#include "pf_solver.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>

namespace refhost {

PFNetwork::PFNetwork(std::vector<StreamPtr> streams) : streams_(std::move(streams)) {
    for (std::size_t i = 0; i < streams_.size(); ++i) {
        if (!streams_[i]) throw std::invalid_argument("pressure-flow network: empty stream entry");
        if (!index_.emplace(streams_[i].get(), static_cast<int>(i)).second) {
            throw std::invalid_argument("pressure-flow network: stream " + streams_[i]->Name() +
                                        " listed twice");
        }
    }
}

int PFNetwork::IndexOf(const Stream& s) const {
    auto it = index_.find(&s);
    if (it == index_.end()) {
        throw std::invalid_argument("stream " + s.Name() + " is not part of the flowsheet");
    }
    return it->second;
}

int PFNetwork::UnknownOf(const host::RealValue& variable, double* factor) const {
    const auto* value = dynamic_cast<const StreamValue*>(&variable);
    if (!value) throw std::invalid_argument("equation variable is not a stream variable");
    *factor = 1.0;
    const Stream& s = *value->GetStream();
    switch (value->Which()) {
        case StreamValue::What::Pressure:
            return PressureUnknown(s);
        case StreamValue::What::MolarFlow:
            return FlowUnknown(s);
        case StreamValue::What::MassFlow:
            *factor = s.GetFluid()->MolecularWeight();
            return FlowUnknown(s);
        case StreamValue::What::Temperature:
            break;
    }
    throw std::invalid_argument("stream " + s.Name() +
                                ": temperature cannot be a pressure-flow variable");
}

std::string PFNetwork::UnknownName(int unknown) const {
    const auto& s = streams_.at(static_cast<std::size_t>(unknown / 2));
    return (unknown % 2 == 0 ? "pressure of " : "flow of ") + s->Name();
}

void PFNetwork::AddLinear(std::string origin, std::vector<PFTerm> terms, double rhs) {
    for (const auto& t : terms) {
        if (t.unknown < 0 || static_cast<std::size_t>(t.unknown) >= UnknownCount()) {
            throw std::out_of_range("pressure-flow equation " + origin + ": unknown out of range");
        }
    }
    Add({std::move(origin), [terms, rhs](const std::vector<double>& u, std::vector<PFTerm>& g) {
             double r = -rhs;
             for (const auto& t : terms) {
                 r += t.coef * u[static_cast<std::size_t>(t.unknown)];
                 g.push_back(t);
             }
             return r;
         }});
}

void PFNetwork::AddStreamSpecifications() {
    for (const auto& s : streams_) {
        if (s->PressureSpecified()) {
            AddLinear(s->Name() + " pressure spec", {{PressureUnknown(*s), 1.0}},
                      s->GetFluid()->PressureKPa());
        }
        if (s->FlowSpecified()) {
            const Fluid& f = *s->GetFluid();
            if (s->FlowBasisIndex() == Stream::kMassBasis) {
                AddLinear(s->Name() + " mass flow spec",
                          {{FlowUnknown(*s), f.MolecularWeight()}}, f.MassFlowValue());
            } else {
                AddLinear(s->Name() + " molar flow spec", {{FlowUnknown(*s), 1.0}},
                          f.MolarFlowKmol());
            }
        }
    }
}

std::vector<double> PFNetwork::CurrentValues() const {
    std::vector<double> u(UnknownCount());
    for (std::size_t i = 0; i < streams_.size(); ++i) {
        u[2 * i] = streams_[i]->GetFluid()->PressureKPa();
        u[2 * i + 1] = streams_[i]->GetFluid()->MolarFlowKmol();
    }
    return u;
}

void PFNetwork::Apply(const std::vector<double>& u) const {
    for (std::size_t i = 0; i < streams_.size(); ++i) {
        streams_[i]->GetFluid()->SetPressureKPa(u[2 * i]);
        streams_[i]->GetFluid()->SetMolarFlowKmol(u[2 * i + 1]);
    }
}

int SolveDense(std::vector<std::vector<double>>& a, std::vector<double>& b) {
    const std::size_t n = b.size();
    for (std::size_t col = 0; col < n; ++col) {
        std::size_t pivot = col;
        for (std::size_t r = col + 1; r < n; ++r) {
            if (std::abs(a[r][col]) > std::abs(a[pivot][col])) pivot = r;
        }
        if (!(std::abs(a[pivot][col]) > 1e-300)) return static_cast<int>(col);
        std::swap(a[pivot], a[col]);
        std::swap(b[pivot], b[col]);
        for (std::size_t r = col + 1; r < n; ++r) {
            const double f = a[r][col] / a[col][col];
            if (f == 0.0) continue;
            for (std::size_t c = col; c < n; ++c) a[r][c] -= f * a[col][c];
            b[r] -= f * b[col];
        }
    }
    for (std::size_t i = n; i-- > 0;) {
        double s = b[i];
        for (std::size_t c = i + 1; c < n; ++c) s -= a[i][c] * b[c];
        b[i] = s / a[i][i];
    }
    return -1;
}

namespace {

struct Evaluation {
    std::vector<double> r;
    std::vector<std::vector<double>> jacobian;
    bool finite = true;
};

Evaluation Evaluate(const PFNetwork& network, const std::vector<double>& u) {
    const std::size_t n = network.UnknownCount();
    Evaluation e;
    e.r.resize(network.Equations().size());
    e.jacobian.assign(e.r.size(), std::vector<double>(n, 0.0));
    std::vector<PFTerm> gradient;
    for (std::size_t i = 0; i < e.r.size(); ++i) {
        gradient.clear();
        e.r[i] = network.Equations()[i].evaluate(u, gradient);
        if (!std::isfinite(e.r[i])) e.finite = false;
        for (const auto& t : gradient) {
            if (t.unknown < 0 || static_cast<std::size_t>(t.unknown) >= n) {
                throw std::out_of_range("pressure-flow equation " + network.Equations()[i].origin +
                                        ": unknown out of range");
            }
            e.jacobian[i][static_cast<std::size_t>(t.unknown)] += t.coef;
        }
    }
    return e;
}

// Residuals measured against the size of their row, so that equations in
// kPa and in kgmole/s weigh alike.
double Merit(const std::vector<double>& r, const std::vector<double>& row_scale) {
    double m = 0.0;
    for (std::size_t i = 0; i < r.size(); ++i) m = std::max(m, std::abs(r[i]) / row_scale[i]);
    return m;
}

}  // namespace

PFResult SolvePressureFlow(const PFNetwork& network, const PFOptions& options) {
    PFResult result;
    const std::size_t n = network.UnknownCount();
    const std::size_t m = network.Equations().size();
    if (m != n) {
        std::ostringstream msg;
        msg << "pressure-flow network has " << m << " equations for " << n << " unknowns";
        // Name the unknowns that no equation mentions: they lack a spec.
        if (m < n) {
            auto e = Evaluate(network, network.CurrentValues());
            std::vector<std::string> free;
            for (std::size_t j = 0; j < n; ++j) {
                bool used = false;
                for (std::size_t i = 0; i < m && !used; ++i) used = e.jacobian[i][j] != 0.0;
                if (!used) free.push_back(network.UnknownName(static_cast<int>(j)));
            }
            if (!free.empty()) {
                msg << "; nothing determines the ";
                for (std::size_t k = 0; k < free.size(); ++k) msg << (k ? ", " : "") << free[k];
            }
        } else {
            msg << "; a stream is over-specified";
        }
        result.message = msg.str();
        return result;
    }
    if (n == 0) {
        result.converged = true;
        return result;
    }

    std::vector<double> u = network.CurrentValues();
    std::vector<double> floor(n);
    for (std::size_t j = 0; j < n; ++j) floor[j] = (j % 2 == 0) ? 1e-3 : 1e-7;

    for (int it = 1; it <= options.max_iterations; ++it) {
        result.iterations = it;
        Evaluation e = Evaluate(network, u);
        if (!e.finite) {
            result.message = "pressure-flow equations give a value that is not a number";
            return result;
        }
        std::vector<double> row_scale(m, 1.0);
        for (std::size_t i = 0; i < m; ++i) {
            double s = 0.0;
            for (std::size_t j = 0; j < n; ++j)
                s = std::max(s, std::abs(e.jacobian[i][j]) * floor[j]);
            row_scale[i] = s > 0.0 ? s : 1.0;
        }
        const double merit0 = Merit(e.r, row_scale);
        // Residuals worth less than a millionth of the smallest resolved change
        // of any unknown: solved.
        if (merit0 <= 1e-6) {
            result.max_residual = merit0;
            result.converged = true;
            network.Apply(u);
            return result;
        }
        std::vector<double> step(e.r);
        for (double& v : step) v = -v;
        auto a = e.jacobian;
        const int zero = SolveDense(a, step);
        if (zero >= 0) {
            result.message =
                "pressure-flow equations are singular: check the specifications of the " +
                network.UnknownName(zero);
            return result;
        }
        // Damp the step while it makes things worse or drives a pressure to zero.
        double lambda = 1.0;
        std::vector<double> trial(n);
        for (int cut = 0; cut < 30; ++cut) {
            bool positive = true;
            for (std::size_t j = 0; j < n; ++j) {
                trial[j] = u[j] + lambda * step[j];
                if (j % 2 == 0 && trial[j] <= 0.0) positive = false;
            }
            if (positive) {
                Evaluation t = Evaluate(network, trial);
                if (t.finite && Merit(t.r, row_scale) <= merit0 * (1.0 + 1e-9)) break;
                if (t.finite && cut >= 10) break;  // accept a small step; Newton goes on
            }
            lambda *= 0.5;
        }
        bool small = true;
        for (std::size_t j = 0; j < n; ++j) {
            if (std::abs(trial[j] - u[j]) >
                options.relative_tolerance * std::max(std::abs(u[j]), floor[j]) + 1e-14) {
                small = false;
            }
        }
        u = trial;
        bool any_nonpositive = false;
        for (std::size_t j = 0; j < n; j += 2) any_nonpositive = any_nonpositive || u[j] <= 0.0;
        if (any_nonpositive) continue;
        if (small && lambda == 1.0) {
            Evaluation final_eval = Evaluate(network, u);
            result.max_residual = Merit(final_eval.r, row_scale);
            result.converged = true;
            network.Apply(u);
            return result;
        }
    }
    Evaluation e = Evaluate(network, u);
    std::size_t worst = 0;
    for (std::size_t i = 0; i < m; ++i) {
        if (std::abs(e.r[i]) > std::abs(e.r[worst])) worst = i;
    }
    std::ostringstream msg;
    msg << "pressure-flow solver did not converge in " << options.max_iterations
        << " iterations (largest residual " << e.r[worst] << " in "
        << network.Equations()[worst].origin << ")";
    result.message = msg.str();
    return result;
}

}  // namespace refhost
