// Snapshots: the whole model written to and read from one checksummed binary
// file, field by field.
#include "snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <type_traits>

#include "ranges.h"

namespace zefasim {

namespace {

constexpr char kMagic[8] = {'Z', 'E', 'F', 'A', 'S', 'N', 'P', '3'};
constexpr size_t kMaxSnapshotBytes = 64u << 20;

std::uint64_t Fnv1a(const std::string& s, size_t begin, size_t end) {
    std::uint64_t h = 1469598103934665603ull;
    for (size_t i = begin; i < end; ++i) {
        h ^= static_cast<unsigned char>(s[i]);
        h *= 1099511628211ull;
    }
    return h;
}

// Every part of the model is visited by one function for both directions.
template <class Ar>
void Visit(Ar& ar, double& v);
template <class Ar>
void Visit(Ar& ar, int& v);
template <class Ar>
void Visit(Ar& ar, Phases& v);
template <class Ar>
void Visit(Ar& ar, Section& s);
template <class Ar>
void Visit(Ar& ar, Pipe& p);
template <class Ar>
void Visit(Ar& ar, Branch& b);
template <class Ar>
void Visit(Ar& ar, Boundary& b);
template <class Ar>
void Visit(Ar& ar, Source& s);
template <class Ar>
void Visit(Ar& ar, Well& w);
template <class Ar>
void Visit(Ar& ar, Controller& c);
template <class Ar>
void Visit(Ar& ar, Position& p);
template <class Ar>
void Visit(Ar& ar, Plug& p);
template <class Ar>
void Visit(Ar& ar, InitialState& i);
template <class Ar>
void Visit(Ar& ar, Model& m);

class Writer {
  public:
    std::string out;
    void U64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    }
    void operator()(double& v) { U64(std::bit_cast<std::uint64_t>(v)); }
    void operator()(int& v) { U64(static_cast<std::uint64_t>(static_cast<std::int64_t>(v))); }
    void operator()(std::int64_t& v) { U64(static_cast<std::uint64_t>(v)); }
    void operator()(bool& v) { out.push_back(v ? 1 : 0); }
    void operator()(std::string& s) {
        U64(s.size());
        out += s;
    }
    void operator()(Phases& p) {
        for (double& d : p) (*this)(d);
    }
    template <class T>
    void operator()(std::vector<T>& v) {
        U64(v.size());
        for (T& item : v) Visit(*this, item);
    }
};

class Reader {
  public:
    explicit Reader(const std::string& in, size_t begin, size_t end)
        : in_(in), pos_(begin), end_(end) {}
    std::uint64_t U64() {
        Need(8);
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i)
            v |= static_cast<std::uint64_t>(static_cast<unsigned char>(in_[pos_ + i])) << (8 * i);
        pos_ += 8;
        return v;
    }
    void operator()(double& v) { v = std::bit_cast<double>(U64()); }
    void operator()(int& v) {
        auto x = static_cast<std::int64_t>(U64());
        if (x < INT32_MIN || x > INT32_MAX) throw SnapshotError("integer out of range");
        v = static_cast<int>(x);
    }
    void operator()(std::int64_t& v) { v = static_cast<std::int64_t>(U64()); }
    void operator()(bool& v) {
        Need(1);
        char c = in_[pos_++];
        if (c != 0 && c != 1) throw SnapshotError("bad flag");
        v = c == 1;
    }
    void operator()(std::string& s) {
        std::uint64_t n = U64();
        Need(n);
        s.assign(in_, pos_, n);
        pos_ += n;
    }
    void operator()(Phases& p) {
        for (double& d : p) (*this)(d);
    }
    template <class T>
    void operator()(std::vector<T>& v) {
        std::uint64_t n = U64();
        // Every element takes at least eight bytes: a count beyond the remaining
        // bytes is corrupt, and checking it first bounds the allocation.
        if (n > (end_ - pos_) / 8) throw SnapshotError("snapshot is truncated");
        // Elements are added as their bytes are read, so what is held in memory
        // grows with the bytes consumed, never with a count the file claims.
        v.clear();
        for (std::uint64_t i = 0; i < n; ++i) {
            T item{};
            Visit(*this, item);
            v.push_back(std::move(item));
        }
    }
    bool AtEnd() const { return pos_ == end_; }

  private:
    void Need(std::uint64_t n) {
        if (n > end_ - pos_) throw SnapshotError("snapshot is truncated");
    }
    const std::string& in_;
    size_t pos_, end_;
};

template <class Ar>
void Visit(Ar& ar, double& v) {
    ar(v);
}
template <class Ar>
void Visit(Ar& ar, int& v) {
    ar(v);
}
template <class Ar>
void Visit(Ar& ar, Phases& v) {
    ar(v);
}
template <class Ar>
void Visit(Ar& ar, Section& s) {
    ar(s.length), ar(s.diameter), ar(s.roughness), ar(s.dz), ar(s.area), ar(s.volume);
    ar(s.z_start), ar(s.u_value), ar(s.t_ambient), ar(s.pipe);
    ar(s.wall_compliance);
}
template <class Ar>
void Visit(Ar& ar, Pipe& p) {
    ar(p.label), ar(p.first_section), ar(p.sections);
}
template <class Ar>
void Visit(Ar& ar, Branch& b) {
    ar(b.label), ar(b.pipes), ar(b.sections), ar(b.inlet_boundary), ar(b.outlet_boundary);
    ar(b.mass), ar(b.temp), ar(b.flow), ar(b.flux), ar(b.choke);
}
template <class Ar>
void Visit(Ar& ar, Boundary& b) {
    ar(b.label), ar(b.node), ar(b.branch), ar(b.at_inlet), ar(b.open), ar(b.pressure);
    ar(b.temperature), ar(b.gas_fraction), ar(b.water_fraction), ar(b.deriv);
}
template <class Ar>
void Visit(Ar& ar, Source& s) {
    ar(s.label), ar(s.branch), ar(s.section), ar(s.mass_flow), ar(s.gas_fraction);
    ar(s.water_fraction), ar(s.temperature), ar(s.extra), ar(s.applied), ar(s.deriv);
}
template <class Ar>
void Visit(Ar& ar, Well& w) {
    ar(w.label), ar(w.branch), ar(w.section), ar(w.res_pressure), ar(w.productivity);
    ar(w.gas_fraction), ar(w.water_fraction), ar(w.temperature), ar(w.applied);
}
template <class Ar>
void Visit(Ar& ar, Controller& c) {
    ar(c.label), ar(c.branch), ar(c.face), ar(c.choke_diameter), ar(c.discharge_coefficient);
    ar(c.opening);
}
template <class Ar>
void Visit(Ar& ar, Position& p) {
    ar(p.label), ar(p.branch), ar(p.section);
}
template <class Ar>
void Visit(Ar& ar, Plug& p) {
    ar(p.label), ar(p.branch), ar(p.launch_z), ar(p.launched), ar(p.arrived), ar(p.z);
    ar(p.speed);
}
template <class Ar>
void Visit(Ar& ar, InitialState& i) {
    ar(i.pressure), ar(i.temperature), ar(i.holdup), ar(i.water_cut), ar(i.flow);
}
template <class Ar>
void Visit(Ar& ar, Model& m) {
    Fluid& f = m.fluid;
    ar(f.gas_mw), ar(f.oil_density), ar(f.water_density), ar(f.gas_viscosity);
    ar(f.oil_viscosity), ar(f.water_viscosity), ar(f.bulk_modulus), ar(f.heat_capacity);
    ar(f.slip), ar(f.holdup_model), ar(f.surface_tension), ar(f.gas_kappa);
    ar(f.gas_jt);
    ar(m.integration.start_time), ar(m.integration.max_step), ar(m.integration.min_step);
    Visit(ar, m.initial);
    ar(m.branch_initial), ar(m.steady_start);
    ar(m.branches), ar(m.boundaries), ar(m.sources), ar(m.wells), ar(m.controllers);
    ar(m.positions), ar(m.plugs), ar(m.shut_from), ar(m.shut_until);
    ar(m.time), ar(m.planned_step), ar(m.last_step), ar(m.steps);
    ar(m.account.initial), ar(m.account.sources), ar(m.account.boundaries), ar(m.account.wells);
}

// Finds the first value of a decoded model that is not a finite number.
class FiniteCheck {
  public:
    void operator()(double& v) {
        if (!std::isfinite(v)) ok = false;
    }
    void operator()(int&) {}
    void operator()(std::int64_t&) {}
    void operator()(bool&) {}
    void operator()(std::string&) {}
    void operator()(Phases& p) {
        for (double& d : p) (*this)(d);
    }
    template <class T>
    void operator()(std::vector<T>& v) {
        for (T& item : v) Visit(*this, item);
    }
    bool ok = true;
};

// A snapshot carries a checksum, not a guarantee: its values must lie in the
// ranges the input file and the protocol accept, and its state must be a
// physical one, or the next step would compute with them.
void CheckSnapshotValues(Model& m) {
    FiniteCheck finite;
    Visit(finite, m);
    if (!finite.ok) throw std::runtime_error("a value is not a finite number");
    auto range = [](const std::string& owner, const std::string& what, double v, const Range& r) {
        const std::string why = OutOfRange(what, v, r);
        if (!why.empty()) throw std::runtime_error(owner + ": " + why);
    };
    const Fluid& f = m.fluid;
    for (double v : {f.gas_mw, f.oil_density, f.water_density, f.gas_viscosity, f.oil_viscosity,
                     f.water_viscosity, f.bulk_modulus, f.heat_capacity, f.slip, f.surface_tension,
                     f.gas_kappa, m.integration.max_step, m.integration.min_step})
        if (!(v > 0)) throw std::runtime_error("a fluid or integration property is not positive");
    const Range pressure = PressureRange(f);
    range("initial state", "pressure", m.initial.pressure, pressure);
    range("initial state", "temperature", m.initial.temperature, kTemperatureRange);
    range("initial state", "holdup", m.initial.holdup, kFractionRange);
    range("initial state", "water cut", m.initial.water_cut, kFractionRange);
    range("initial state", "flow", m.initial.flow, kMassFlowRange);
    for (const Boundary& b : m.boundaries) {
        range("boundary " + b.label, "gas fraction", b.gas_fraction, kFractionRange);
        range("boundary " + b.label, "water fraction", b.water_fraction, kFractionRange);
    }
    for (const Source& s : m.sources) {
        range("source " + s.label, "gas fraction", s.gas_fraction, kFractionRange);
        range("source " + s.label, "water fraction", s.water_fraction, kFractionRange);
    }
    for (const Well& w : m.wells) {
        range("well " + w.label, "gas fraction", w.gas_fraction, kFractionRange);
        range("well " + w.label, "water fraction", w.water_fraction, kFractionRange);
    }
    for (const Controller& c : m.controllers)
        range("controller " + c.label, "opening", c.opening, kFractionRange);
    // No section holds more than ten times its volume of water, or less than
    // nothing; flows stay within ten times what a source may feed.
    const Range flow{-10 * kMassFlowRange.hi, 10 * kMassFlowRange.hi, "kg/s"};
    for (const Branch& br : m.branches) {
        const std::string owner = "branch " + br.label;
        for (std::size_t i = 0; i < br.mass.size() && i < br.sections.size(); ++i) {
            const Range mass{0, 10 * f.water_density * br.sections[i].volume, "kg"};
            range(owner, "section mass", br.mass[i][0] + br.mass[i][1] + br.mass[i][2], mass);
        }
        for (double t : br.temp) range(owner, "temperature", t, kTemperatureRange);
        for (double g : br.flow) range(owner, "flow", g, flow);
    }
}

}  // namespace

std::string EncodeSnapshot(const Model& model) {
    Model copy = model;
    Writer w;
    w.out.append(kMagic, sizeof kMagic);
    w.U64(0);  // content length, filled in below
    size_t begin = w.out.size();
    Visit(w, copy);
    size_t length = w.out.size() - begin;
    for (int i = 0; i < 8; ++i)
        w.out[8 + i] = static_cast<char>((static_cast<std::uint64_t>(length) >> (8 * i)) & 0xff);
    w.U64(Fnv1a(w.out, begin, begin + length));
    return w.out;
}

Model DecodeSnapshot(const std::string& bytes) {
    if (bytes.size() < 24 || bytes.compare(0, 8, kMagic, 8) != 0)
        throw SnapshotError("not a snapshot file");
    Reader head(bytes, 8, 16);
    std::uint64_t length = head.U64();
    if (length != bytes.size() - 24) throw SnapshotError("snapshot is truncated or too long");
    Reader tail(bytes, 16 + length, bytes.size());
    if (tail.U64() != Fnv1a(bytes, 16, 16 + length))
        throw SnapshotError("snapshot checksum does not match (corrupt file)");
    Model m;
    Reader r(bytes, 16, 16 + length);
    Visit(r, m);
    if (!r.AtEnd()) throw SnapshotError("snapshot has trailing data");
    try {
        m.Validate();
        CheckSnapshotValues(m);
        if (m.branch_initial.size() != m.branches.size())
            throw std::runtime_error("initial conditions do not match the branches");
    } catch (const std::exception& e) {
        throw SnapshotError(std::string("snapshot is inconsistent: ") + e.what());
    }
    return m;
}

void SaveSnapshotFile(const Model& model, const std::string& path) {
    std::string bytes = EncodeSnapshot(model);
    std::string tmp = path + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0) throw SnapshotError("cannot write " + path);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    bool ok = done == bytes.size() && fchmod(fd, 0644) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        throw SnapshotError("cannot write " + path);
    }
}

Model LoadSnapshotFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw SnapshotError("cannot open " + path);
    std::string bytes;
    char buf[65536];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        bytes.append(buf, static_cast<size_t>(in.gcount()));
        if (bytes.size() > kMaxSnapshotBytes) throw SnapshotError("snapshot file too large");
    }
    return DecodeSnapshot(bytes);
}

}  // namespace zefasim
