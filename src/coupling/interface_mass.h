#pragma once

// The mass that crossed each connection of a coupled run twice over: as the
// host booked it (its stream's mass flow over each host step) and as the
// pipeline passed it (its flow over each server interval). The two clocks
// do not meet: the pipeline sees a pressure or a mass flow the host set one
// interval after the host booked the flow that belongs to it. The account's
// defect, fed back over the next interval, keeps the mass at the interface
// conserved over the run without touching any slope the host solves with.

#include <cstddef>
#include <vector>

namespace zefa {

class InterfaceMass {
  public:
    static constexpr double kMostRepaidShare = 0.25;
    // Starts an empty account of `connections` connections at time `t`, s.
    void Start(std::size_t connections, double t);
    // The host's flows (kg/s, one per connection in walking order, in the
    // host's sign) over the time since the last booking, up to host time
    // `t`. A clock set back books nothing and restarts from `t`.
    void Book(const std::vector<double>& flows, double t);
    // The pipeline's flows (kg/s, as Book) held from the last results up
    // to pipeline time `t`: the server's flow at the end of an interval
    // stands for the interval.
    void Pass(const std::vector<double>& flows, double t);
    // Flow to add over `interval` seconds to the pipeline's side of
    // `connection`, whose flow there is `flow` (kg/s, host's sign), to pay
    // back what the host booked beyond what the pipeline passed: added to the
    // mass flow a source is sent, taken from the flow a boundary's equation
    // gives the host. At most kMostRepaidShare of `flow` itself, so never
    // turns the flow round: the rest is left for later intervals.
    double Correction(std::size_t connection, double flow, double interval) const;
    // What the host booked less what the pipeline passed up to the host's
    // last booking, kg.
    double Defect(std::size_t connection) const;

  private:
    std::vector<double> booked_, passed_, rate_;
    double bookedTime_ = 0.0, passedTime_ = 0.0;
};

}  // namespace zefa
