#pragma once

// The host's pressure-flow solver: the unknowns and equations of a network of
// streams and units, solved together by Newton's method.

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "stream.h"

namespace refhost {

// One entry of an equation's gradient: d(residual)/d(unknown).
struct PFTerm {
    int unknown;
    double coef;
};

// An equation of the pressure-flow network in residual form, r(u) = 0.
// `evaluate` returns the residual and fills the gradient.
struct PFEquation {
    std::string origin;  // names the equation in messages
    std::function<double(const std::vector<double>& u, std::vector<PFTerm>& gradient)> evaluate;
};

struct PFOptions {
    int max_iterations = 50;
    double relative_tolerance = 1e-10;
};

struct PFResult {
    bool converged = false;
    int iterations = 0;
    double max_residual = 0.0;  // scaled, at the end
    std::string message;        // why it failed; empty on success
};

// The unknown pressures and molar flows of a set of streams and the equations
// that tie them together. Unknown 2s is stream s's pressure (kPa), 2s+1 its
// molar flow (kgmole/s).
class PFNetwork {
  public:
    explicit PFNetwork(std::vector<StreamPtr> streams);

    std::size_t UnknownCount() const { return 2 * streams_.size(); }
    const std::vector<StreamPtr>& Streams() const { return streams_; }
    // Throws std::invalid_argument for a stream outside the network.
    int PressureUnknown(const Stream& s) const { return 2 * IndexOf(s); }
    int FlowUnknown(const Stream& s) const { return 2 * IndexOf(s) + 1; }
    // The unknown behind a host variable: a stream's pressure or molar flow.
    // Also returns the factor that turns the unknown into the variable's value
    // (a mass flow is the molar flow times the molecular weight).
    int UnknownOf(const host::RealValue& variable, double* factor) const;
    std::string UnknownName(int unknown) const;

    void Add(PFEquation equation) { equations_.push_back(std::move(equation)); }
    // sum(terms) = rhs.
    void AddLinear(std::string origin, std::vector<PFTerm> terms, double rhs);
    // One equation per active spec flag of every stream, holding the
    // stream's present value.
    void AddStreamSpecifications();
    const std::vector<PFEquation>& Equations() const { return equations_; }

    std::vector<double> CurrentValues() const;
    // Writes pressures and molar flows into the streams.
    void Apply(const std::vector<double>& u) const;

  private:
    int IndexOf(const Stream& s) const;

    std::vector<StreamPtr> streams_;
    std::map<const Stream*, int> index_;
    std::vector<PFEquation> equations_;
};

// Solves the network by Newton's method with a damped step. On success the
// streams receive the solution; on failure they keep their values and the
// result says why.
PFResult SolvePressureFlow(const PFNetwork& network, const PFOptions& options = {});

// Solves a dense linear system in place (partial pivoting). Returns the
// column of a zero pivot, or -1 on success.
int SolveDense(std::vector<std::vector<double>>& a, std::vector<double>& b);

}  // namespace refhost
