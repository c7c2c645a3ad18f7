#pragma once

// The variables zefa-server reports: trend values by label and key, profiles
// along a branch, and the name lists in which clients ask for them.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "model.h"

namespace zefasim {

// One reportable value: what it belongs to and which quantity it is.
struct Probe {
    enum class Owner { Global, Boundary, Source, Controller, Plug, Well, Section, Face };
    Owner owner = Owner::Global;
    int object = 0;  // boundary, source, ..., position index
    std::string key;
};

// A name list as the protocol carries it: "$LABEL KEY KEY $LABEL KEY ...";
// keys before the first "$" and after a lone "$" have no label.
std::vector<std::pair<std::string, std::string>> ParseNameList(const std::string& text);

// Resolves a label (possibly empty) and a key; nothing, with `why` set, when the
// model cannot compute it.
std::optional<Probe> ResolveProbe(const Model& model, const std::string& label,
                                  const std::string& key, std::string& why);
double Evaluate(const Model& model, const Probe& probe);

// Values of `key` along `branch`: at the faces for flow quantities (abscissa
// ZZBOU), at the section centres for volume quantities (abscissa ZZVOL).
bool Profile(const Model& model, const std::string& branch, const std::string& key,
             std::vector<double>& out, std::string& why);

// Whether the key is one of the derivative keys of a boundary or a source.
bool IsBoundaryDerivative(const std::string& key);
bool IsSourceDerivative(const std::string& key);

// Labels of one kind (BRANCH, SOURCE, BOUNDARY, POSITION, CONTROLLER, PLUG, WELL);
// nothing for an unknown kind.
std::optional<std::vector<std::string>> LabelsOf(const Model& model, const std::string& kind);

}  // namespace zefasim
