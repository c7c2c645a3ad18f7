// Digest of zefa-server's results, to show that a change meant to make a step
// cheaper leaves them alone: for each benchmark case with the derivative keys,
// runs the request handling to 120 s and then through one-second intervals,
// and prints a hash of every reply and one of the model's state in full
// precision (masses, temperatures, flows, phase flows; the derivatives apart) after each
// interval. Two builds agree bit for bit when their lines are the same.
//
//   zefasim_result_digest [intervals (20)] [case (all)] [values]
//
// With `values` it also prints every derivative after each interval (%.17g),
// and a line of the state (the pressure of every 50th section and the last,
// the flow through every 50th face and the last, each branch's liquid mass),
// so that two builds whose results differ can be compared number by number.
//
// With a case it runs that one alone (for callgrind: --toggle-collect='*RunInterval*'
// counts the intervals after the start-up, without the hashing).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "client/protocol.h"
#include "example_cases.h"
#include "session.h"

namespace {

namespace proto = zefa::protocol;
using proto::MessageType;

const char* kOutputs =
    " HT $IN PT DPDGGS DPDGLTHLS DPDGLTWTS GGSOUR GLHLMA GLWTMA TM "
    "$OUT PTBOU DGGDPB DGLTHLDPB DGLTWTDPB GGBOU GLTHLBOU GLTWTBOU TMBOU ";

struct Case {
    const char* name;
    int sections;
};
const Case kCases[] = {
    {"flowline.inp", 100},        {"flowline.inp", 1000},          {"flowline-drift.inp", 100},
    {"flowline-drift.inp", 1000}, {"export_line.inp", 1000},       {"export_line-drift.inp", 1000},
    {"flowline-level.inp", 100},  {"export_line-level.inp", 1000}, {"flowline-level.inp", 1000}};

// 64-bit FNV-1a.
struct Hash {
    std::uint64_t h = 1469598103934665603ULL;
    void Add(const void* data, size_t n) {
        const auto* c = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < n; ++i) h = (h ^ c[i]) * 1099511628211ULL;
    }
    void Add(double v) { Add(&v, sizeof v); }
};

void AddState(Hash& h, const zefasim::Model& m) {
    h.Add(m.time);
    h.Add(static_cast<double>(m.steps));
    for (const zefasim::Branch& br : m.branches) {
        for (const zefasim::Phases& x : br.mass) h.Add(x.data(), sizeof x);
        for (double t : br.temp) h.Add(t);
        for (double g : br.flow) h.Add(g);
        for (const zefasim::Phases& x : br.flux) h.Add(x.data(), sizeof x);
    }
    for (const zefasim::Source& s : m.sources) h.Add(s.applied.data(), sizeof s.applied);
}

// The derivatives apart: a change to how they are computed shows there alone.
void AddDerivatives(Hash& h, const zefasim::Model& m) {
    for (const zefasim::Boundary& b : m.boundaries) h.Add(b.deriv.data(), sizeof b.deriv);
    for (const zefasim::Source& s : m.sources) h.Add(s.deriv.data(), sizeof s.deriv);
}

void PrintDerivatives(const zefasim::Model& m, int interval) {
    std::printf("%d", interval);
    for (const zefasim::Boundary& b : m.boundaries)
        for (double d : b.deriv) std::printf(" %.17g", d);
    for (const zefasim::Source& s : m.sources)
        for (double d : s.deriv) std::printf(" %.17g", d);
    std::printf("\n");
}

void PrintState(const zefasim::Model& m, int interval) {
    std::printf("%d state", interval);
    for (size_t b = 0; b < m.branches.size(); ++b) {
        const zefasim::Branch& br = m.branches[b];
        const int n = static_cast<int>(br.sections.size());
        for (int i = 0; i < n; i += 50) std::printf(" %.17g", m.StateOf(static_cast<int>(b), i).p);
        if ((n - 1) % 50 != 0) std::printf(" %.17g", m.StateOf(static_cast<int>(b), n - 1).p);
        for (int j = 0; j <= n; j += 50) std::printf(" %.17g", br.flow[j]);
        if (n % 50 != 0) std::printf(" %.17g", br.flow[n]);
        double liquid = 0;
        for (const zefasim::Phases& x : br.mass) liquid += x[zefasim::kOil] + x[zefasim::kWater];
        std::printf(" %.17g", liquid);
    }
    std::printf("\n");
}

void Send(zefasim::Session& s, const proto::Bytes& request, proto::Bytes& reply) {
    s.Handle(*proto::SplitMessage(request), reply);
}

// The measured part: one one-second run interval, ending at `t`.
__attribute__((noinline)) proto::Bytes RunInterval(zefasim::Session& s, float t) {
    proto::Bytes reply;
    Send(s, proto::PackFloat(MessageType::SetTend, t), reply);
    Send(s, proto::PackText(MessageType::SimStep, proto::kSimStepText), reply);
    return reply;
}

}  // namespace

int main(int argc, char** argv) {
    const int intervals = argc > 1 ? std::atoi(argv[1]) : 20;
    const int only = argc > 2 ? std::atoi(argv[2]) : -1;
    const bool values = argc > 3 && std::string(argv[3]) == "values";
    const std::string dir =
        (std::filesystem::temp_directory_path() / ("zefasim-digest-" + std::to_string(getpid())))
            .string();
    for (int c = 0; c < static_cast<int>(std::size(kCases)); ++c) {
        if (only >= 0 && c != only) continue;
        std::filesystem::create_directories(dir);
        std::ofstream(dir + "/m.inp") << zefasim_bench::Scaled(kCases[c].name, kCases[c].sections);
        zefasim::Session s(dir);
        proto::Bytes reply;
        Send(s, proto::PackText(MessageType::Start, "m.inp"), reply);
        Send(s, proto::PackText(MessageType::OuttrNames, kOutputs), reply);
        Send(s, proto::PackFloat(MessageType::SetTend, 120.0f), reply);
        Send(s, proto::PackText(MessageType::SimStep, proto::kSimStepText), reply);
        Hash replies, state, derivatives;
        replies.Add(reply.data(), reply.size());
        AddState(state, *s.model());
        AddDerivatives(derivatives, *s.model());
        const std::int64_t steps0 = s.model()->steps;
        for (int i = 1; i <= intervals; ++i) {
            const proto::Bytes r = RunInterval(s, 120.0f + static_cast<float>(i));
            replies.Add(r.data(), r.size());
            AddState(state, *s.model());
            AddDerivatives(derivatives, *s.model());
            if (values) {
                PrintDerivatives(*s.model(), i);
                PrintState(*s.model(), i);
            }
        }
        std::printf(
            "%d %s %d sections: replies %016llx state %016llx derivatives %016llx, %lld steps\n", c,
            kCases[c].name, kCases[c].sections, static_cast<unsigned long long>(replies.h),
            static_cast<unsigned long long>(state.h),
            static_cast<unsigned long long>(derivatives.h),
            static_cast<long long>(s.model()->steps - steps0));
        std::filesystem::remove_all(dir);
    }
    return 0;
}
