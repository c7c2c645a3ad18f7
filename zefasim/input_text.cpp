// Model input text: splitting it into statements of KEY = VALUE [UNIT]
// entries, the text helpers and the table of units the reader converts with.

#include "input_text.h"

#include <cctype>
#include <sstream>

namespace zefasim {

namespace input_detail {

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\f\v");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\f\v");
    return s.substr(b, e - b + 1);
}

bool IsIdentifier(const std::string& s) {
    if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    });
}

// A label is printable, without blanks, commas, "=" or "$" (they separate names
// in the protocol's name lists).
bool IsLabel(const std::string& s) {
    if (s.empty() || s.size() > 64) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        unsigned char u = static_cast<unsigned char>(c);
        return u > 32 && u < 127 && c != ',' && c != '=' && c != '$' && c != '!' && c != '#';
    });
}

std::string Fail(const std::string& origin, int line, const std::string& what) {
    return origin + ":" + std::to_string(line) + ": " + what;
}

const std::map<std::string, UnitDef>& Units() {
    static const std::map<std::string, UnitDef> units = {
        {"-", {Dim::Number, 1, 0}},
        {"%", {Dim::Fraction, 0.01, 0}},
        {"M", {Dim::Length, 1, 0}},
        {"KM", {Dim::Length, 1000, 0}},
        {"CM", {Dim::Length, 0.01, 0}},
        {"MM", {Dim::Length, 0.001, 0}},
        {"UM", {Dim::Length, 1e-6, 0}},
        {"IN", {Dim::Length, 0.0254, 0}},
        {"FT", {Dim::Length, 0.3048, 0}},
        {"PA", {Dim::Pressure, 1, 0}},
        {"N/M2", {Dim::Pressure, 1, 0}},
        {"KPA", {Dim::Pressure, 1e3, 0}},
        {"MPA", {Dim::Pressure, 1e6, 0}},
        {"GPA", {Dim::Pressure, 1e9, 0}},
        {"BAR", {Dim::Pressure, 1e5, 0}},
        {"BARA", {Dim::Pressure, 1e5, 0}},
        {"ATM", {Dim::Pressure, 101325, 0}},
        {"PSI", {Dim::Pressure, 6894.757293168, 0}},
        {"S", {Dim::Time, 1, 0}},
        {"MIN", {Dim::Time, 60, 0}},
        {"H", {Dim::Time, 3600, 0}},
        {"D", {Dim::Time, 86400, 0}},
        {"KG/S", {Dim::MassFlow, 1, 0}},
        {"KG/H", {Dim::MassFlow, 1.0 / 3600, 0}},
        {"KG/D", {Dim::MassFlow, 1.0 / 86400, 0}},
        {"T/H", {Dim::MassFlow, 1000.0 / 3600, 0}},
        {"C", {Dim::Temperature, 1, 0}},
        {"K", {Dim::Temperature, 1, -273.15}},
        {"F", {Dim::Temperature, 5.0 / 9, -32 * 5.0 / 9}},
        {"KG/M3", {Dim::Density, 1, 0}},
        {"PA.S", {Dim::Viscosity, 1, 0}},
        {"PA*S", {Dim::Viscosity, 1, 0}},
        {"NS/M2", {Dim::Viscosity, 1, 0}},
        {"N.S/M2", {Dim::Viscosity, 1, 0}},
        {"CP", {Dim::Viscosity, 1e-3, 0}},
        {"MPA.S", {Dim::Viscosity, 1e-3, 0}},
        {"KG/KMOL", {Dim::MolarMass, 1, 0}},
        {"G/MOL", {Dim::MolarMass, 1, 0}},
        {"KG/S/PA", {Dim::Productivity, 1, 0}},
        {"KG/S/BAR", {Dim::Productivity, 1e-5, 0}},
        {"KG/S/MPA", {Dim::Productivity, 1e-6, 0}},
        {"W/M2K", {Dim::HeatTransfer, 1, 0}},
        {"W/M2-K", {Dim::HeatTransfer, 1, 0}},
        {"J/KGK", {Dim::HeatCapacity, 1, 0}},
        {"J/KG-K", {Dim::HeatCapacity, 1, 0}},
        {"N/M", {Dim::SurfaceTension, 1, 0}},
        {"MN/M", {Dim::SurfaceTension, 1e-3, 0}},
        {"DYN/CM", {Dim::SurfaceTension, 1e-3, 0}},
        {"K/PA", {Dim::JouleThomson, 1, 0}},
        {"K/BAR", {Dim::JouleThomson, 1e-5, 0}},
        {"K/MPA", {Dim::JouleThomson, 1e-6, 0}},
    };
    return units;
}

}  // namespace input_detail

using namespace input_detail;

namespace {

constexpr size_t kMaxStatements = 20000;

}  // namespace

std::vector<Statement> ParseStatements(const std::string& text, const std::string& origin) {
    std::vector<Statement> out;
    std::istringstream in(text);
    std::string raw;
    int line_no = 0;
    std::string pending;
    int pending_line = 0;
    auto finish = [&](const std::string& body, int line) {
        Statement st;
        st.line = line;
        size_t sp = body.find_first_of(" \t");
        st.keyword = Upper(body.substr(0, sp));
        if (!IsIdentifier(st.keyword))
            throw InputError(Fail(origin, line, "expected a keyword, found '" + st.keyword + "'"));
        std::string rest = sp == std::string::npos ? "" : Trim(body.substr(sp));
        if (rest.empty()) {
            out.push_back(std::move(st));
            return;
        }
        std::set<std::string> seen;
        size_t pos = 0;
        while (pos <= rest.size()) {
            size_t comma = rest.find(',', pos);
            std::string part = Trim(
                rest.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
            if (part.empty())
                throw InputError(Fail(origin, line, st.keyword + ": empty entry between commas"));
            size_t eq = part.find('=');
            if (eq == std::string::npos)
                throw InputError(
                    Fail(origin, line, st.keyword + ": expected KEY = VALUE in '" + part + "'"));
            Entry e;
            e.key = Upper(Trim(part.substr(0, eq)));
            if (!IsIdentifier(e.key))
                throw InputError(Fail(origin, line, st.keyword + ": bad key '" + e.key + "'"));
            std::istringstream words(part.substr(eq + 1));
            std::string extra;
            words >> e.value >> e.unit >> extra;
            if (e.value.empty())
                throw InputError(Fail(origin, line, st.keyword + ": " + e.key + " has no value"));
            if (!extra.empty())
                throw InputError(
                    Fail(origin, line,
                         st.keyword + ": " + e.key + " has unexpected text '" + extra + "'"));
            if (!seen.insert(e.key).second)
                throw InputError(Fail(origin, line, st.keyword + ": " + e.key + " given twice"));
            st.entries.push_back(std::move(e));
            if (comma == std::string::npos) break;
            pos = comma + 1;
        }
        out.push_back(std::move(st));
    };
    while (std::getline(in, raw)) {
        ++line_no;
        size_t cut = raw.find_first_of("!#");
        std::string line = Trim(cut == std::string::npos ? raw : raw.substr(0, cut));
        for (char c : line) {
            unsigned char u = static_cast<unsigned char>(c);
            if (u < 32 && c != '\t')
                throw InputError(Fail(origin, line_no, "control character in line"));
        }
        if (line.empty()) {
            if (!pending.empty())
                throw InputError(Fail(origin, pending_line, "statement ends with a comma"));
            continue;
        }
        if (pending.empty()) pending_line = line_no;
        pending += (pending.empty() ? "" : " ") + line;
        if (line.back() == ',') continue;
        if (out.size() >= kMaxStatements)
            throw InputError(Fail(origin, pending_line, "too many statements"));
        finish(pending, pending_line);
        pending.clear();
    }
    if (!pending.empty())
        throw InputError(Fail(origin, pending_line, "statement ends with a comma"));
    return out;
}

}  // namespace zefasim
