#pragma once

// The text layer of the model input, shared by the parser and the model
// builder: text helpers, the table of units, and the reader that takes one
// statement's entries as checked labels, words and SI numbers.

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <string>

#include "input.h"
#include "ranges.h"

namespace zefasim::input_detail {

std::string Upper(std::string s);
std::string Trim(const std::string& s);
bool IsIdentifier(const std::string& s);
// A label is printable, without blanks, commas, "=" or "$" (they separate names
// in the protocol's name lists).
bool IsLabel(const std::string& s);
std::string Fail(const std::string& origin, int line, const std::string& what);

enum class Dim {
    Number,
    Fraction,
    Length,
    Pressure,
    Time,
    MassFlow,
    Temperature,
    Density,
    Viscosity,
    MolarMass,
    Productivity,
    HeatTransfer,
    HeatCapacity,
    SurfaceTension,
    JouleThomson,
};

struct UnitDef {
    Dim dim;
    double factor;
    double offset;  // SI = value * factor + offset
};

const std::map<std::string, UnitDef>& Units();

// Reads the entries of one statement; every entry must be used exactly once.
class Reader {
  public:
    Reader(const Statement& st, const std::string& origin) : st_(st), origin_(origin) {}

    [[noreturn]] void Error(const std::string& what) const {
        throw InputError(Fail(origin_, st_.line, st_.keyword + ": " + what));
    }

    const Entry* Find(const std::string& key) {
        for (const Entry& e : st_.entries)
            if (e.key == key) {
                used_.insert(key);
                return &e;
            }
        return nullptr;
    }
    bool Has(const std::string& key) const {
        return std::any_of(st_.entries.begin(), st_.entries.end(),
                           [&](const Entry& e) { return e.key == key; });
    }

    std::string Label(const std::string& key, bool required = true) {
        const Entry* e = Find(key);
        if (!e) {
            if (required) Error(key + " is missing");
            return "";
        }
        if (!e->unit.empty()) Error(key + " takes no unit");
        if (!IsLabel(e->value)) Error("'" + e->value + "' is not a valid label for " + key);
        return e->value;
    }

    std::string Word(const std::string& key, std::initializer_list<const char*> allowed,
                     const std::string& fallback) {
        const Entry* e = Find(key);
        if (!e) return fallback;
        std::string v = Upper(e->value);
        for (const char* a : allowed)
            if (v == a) return v;
        Error("'" + e->value + "' is not a valid value for " + key);
    }

    double Number(const std::string& key, Dim dim, double fallback, bool required = false) {
        const Entry* e = Find(key);
        if (!e) {
            if (required) Error(key + " is missing");
            return fallback;
        }
        const char* begin = e->value.c_str();
        char* end = nullptr;
        double v = std::strtod(begin, &end);
        if (end == begin || *end != '\0' || !std::isfinite(v))
            Error(key + ": '" + e->value + "' is not a number");
        if (e->unit.empty()) return v;
        auto it = Units().find(Upper(e->unit));
        if (it == Units().end()) Error(key + ": unknown unit '" + e->unit + "'");
        Dim udim = it->second.dim;
        bool fits = udim == dim || (dim == Dim::Fraction && udim == Dim::Number) ||
                    (dim == Dim::Number && udim == Dim::Number);
        if (!fits) Error(key + ": unit '" + e->unit + "' does not fit");
        double si = v * it->second.factor + it->second.offset;
        if (!std::isfinite(si)) Error(key + ": value out of range");
        return si;
    }

    double Positive(const std::string& key, Dim dim, double fallback, bool required = false) {
        double v = Number(key, dim, fallback, required);
        if (!(v > 0)) Error(key + " must be positive");
        return v;
    }
    double NonNegative(const std::string& key, Dim dim, double fallback) {
        double v = Number(key, dim, fallback);
        if (v < 0) Error(key + " must not be negative");
        return v;
    }
    // A number that must lie in one of the shared physical ranges.
    double InRange(const std::string& key, Dim dim, double fallback, const Range& range,
                   bool required = false) {
        double v = Number(key, dim, fallback, required);
        std::string why = OutOfRange(key, v, range);
        if (!why.empty()) Error(why);
        return v;
    }
    double Fraction(const std::string& key, double fallback) {
        double v = Number(key, Dim::Fraction, fallback);
        if (v < 0 || v > 1) Error(key + " must lie between 0 and 1");
        return v;
    }
    long Count(const std::string& key, long lo, long hi, bool required) {
        const Entry* e = Find(key);
        if (!e) {
            if (required) Error(key + " is missing");
            return lo;
        }
        double v = Number(key, Dim::Number, 0);
        if (v != std::floor(v) || v < static_cast<double>(lo) || v > static_cast<double>(hi))
            Error(key + " must be a whole number from " + std::to_string(lo) + " to " +
                  std::to_string(hi));
        return static_cast<long>(v);
    }

    void CheckAllUsed() const {
        for (const Entry& e : st_.entries)
            if (!used_.count(e.key)) Error("unknown key " + e.key);
    }

  private:
    const Statement& st_;
    const std::string& origin_;
    std::set<std::string> used_;
};

}  // namespace zefasim::input_detail
