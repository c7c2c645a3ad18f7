// The exchange tables of a Session: the inputs a client registers by label and
// kind, their sizes and data each step, and the outputs, trends and profiles
// it reads back.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <sstream>

#include "ranges.h"
#include "session.h"
#include "session_text.h"

namespace zefasim {

namespace proto = zefa::protocol;
using proto::MessageType;

bool Session::ResolveInputs(const std::string& text, std::vector<InputItem>& items,
                            std::string& errors) const {
    std::istringstream in(text);
    std::string label, kind;
    items.clear();
    while (in >> label) {
        if (label[0] != '$' || label.size() < 2) {
            AddProblem(errors, "'" + label + "' is not a $label");
            break;
        }
        label = label.substr(1);
        if (!(in >> kind)) {
            AddProblem(errors, "$" + label + " has no kind");
            break;
        }
        for (char& c : kind) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        InputItem item;
        item.label = label;
        const Model& m = *model_;
        if (kind == "SOURCE" || kind == "SOURCE_DERIV") {
            item.kind = kind == "SOURCE" ? InputKind::Source : InputKind::SourceDeriv;
            item.object = m.FindSource(label);
        } else if (kind == "BOUNDARY" || kind == "BOUNDARY_DERIV") {
            item.kind = kind == "BOUNDARY" ? InputKind::Boundary : InputKind::BoundaryDeriv;
            item.object = m.FindBoundary(label);
        } else if (kind == "CONTROLLER") {
            item.kind = InputKind::Controller;
            item.object = m.FindController(label);
        } else if (kind == "PLUG") {
            item.kind = InputKind::Plug;
            item.object = m.FindPlug(label);
        } else {
            AddProblem(errors,
                       "unknown input kind " + Printable(kind) + " for $" + Printable(label));
            continue;
        }
        if (item.object < 0) {
            AddProblem(errors, "no " + kind + " labelled " + Printable(label));
            continue;
        }
        items.push_back(item);
    }
    return errors.empty();
}

namespace {
int SizeOf(int kind) {
    static const int sizes[] = {5, 5, 1, 3, 4, 1};
    return sizes[kind];
}
}  // namespace

void Session::InputNames(const std::string& text, proto::Bytes& reply) {
    if (!RequireModel(reply)) return;
    std::vector<InputItem> items;
    std::string errors;
    if (!ResolveInputs(text, items, errors)) {
        Error(reply, "input names refused:" + errors);
        return;
    }
    inputs_ = std::move(items);
    input_names_text_ = text;
    inputs_sized_ = false;
    Ok(reply);
}

void Session::InputSizes(const proto::Bytes& payload, proto::Bytes& reply) {
    if (!RequireModel(reply)) return;
    auto sizes = proto::DecodeInts(payload);
    if (!sizes) {
        Error(reply, "input sizes: the payload is not a list of 4-byte integers");
        return;
    }
    if (sizes->size() != inputs_.size()) {
        Error(reply, "input sizes: " + std::to_string(sizes->size()) + " sizes for " +
                         std::to_string(inputs_.size()) + " input names");
        return;
    }
    std::string errors;
    for (size_t i = 0; i < inputs_.size(); ++i) {
        int want = SizeOf(static_cast<int>(inputs_[i].kind));
        if ((*sizes)[i] != want)
            AddProblem(errors, "$" + inputs_[i].label + " takes " + std::to_string(want) +
                                   " values, not " + std::to_string((*sizes)[i]));
    }
    if (!errors.empty()) {
        Error(reply, "input sizes refused:" + errors);
        return;
    }
    inputs_sized_ = true;
    Ok(reply);
}

void Session::InputData(const proto::Bytes& payload) {
    if (!model_) {
        Warn("input data ignored: no model loaded");
        return;
    }
    if (!inputs_sized_) {
        Warn("input data ignored: input names and sizes are not registered");
        return;
    }
    auto values = proto::DecodeFloats(payload);
    size_t expected = 0;
    for (const InputItem& it : inputs_) expected += SizeOf(static_cast<int>(it.kind));
    if (!values || values->size() != expected) {
        Warn("input data ignored: " +
             (values ? std::to_string(values->size()) + " values" : std::string("a payload")) +
             " where " + std::to_string(expected) + " values are registered");
        return;
    }
    for (float v : *values)
        if (!std::isfinite(v)) {
            Warn("input data ignored: a value is not a finite number");
            return;
        }
    // The same physical ranges as the input file (ranges.h); fractions within
    // float rounding of 0..1 are taken as 0 or 1.
    const Range pressure = PressureRange(model_->fluid);
    constexpr Range kLooseFraction{-1e-6, 1 + 1e-6, "-"};
    for (size_t i = 0, at = 0; i < inputs_.size(); ++i) {
        const InputItem& it = inputs_[i];
        const float* v = values->data() + at;
        at += SizeOf(static_cast<int>(it.kind));
        std::string why, who = "$" + it.label;
        auto check = [&](const char* what, float x, const Range& r) {
            if (why.empty()) why = OutOfRange(what, x, r);
        };
        switch (it.kind) {
            case InputKind::Source:
                // A withdrawal takes the section's own mix: a host sends its
                // fractions as -1 (unknown), and they are not used.
                if (v[1] > 0) check("gas fraction", v[0], kLooseFraction);
                check("mass flow", v[1], kMassFlowRange);
                check("temperature", v[3], kTemperatureRange);
                if (v[1] > 0) check("water fraction", v[4], kLooseFraction);
                who = "source " + who;
                break;
            case InputKind::Boundary:
                check("gas fraction", v[1], kLooseFraction);
                check("pressure", v[2], pressure);
                check("temperature", v[3], kTemperatureRange);
                check("water fraction", v[4], kLooseFraction);
                who = "boundary " + who;
                break;
            case InputKind::Controller:
                check("opening", v[0], kLooseFraction);
                who = "controller " + who;
                break;
            default:
                break;
        }
        if (!why.empty()) {
            Warn("input data ignored: " + who + " " + why);
            return;
        }
    }
    // Everything is valid: apply.
    Model& m = *model_;
    for (size_t i = 0, at = 0; i < inputs_.size(); ++i) {
        const InputItem& it = inputs_[i];
        const float* v = values->data() + at;
        at += SizeOf(static_cast<int>(it.kind));
        auto frac = [](float x) { return std::clamp(static_cast<double>(x), 0.0, 1.0); };
        switch (it.kind) {
            case InputKind::Source: {
                Source& s = m.sources[it.object];
                s.host_fed = true;
                s.gas_fraction = frac(v[0]);
                s.mass_flow = v[1];
                s.temperature = v[3];
                s.water_fraction = frac(v[4]);
                break;
            }
            case InputKind::Boundary: {
                Boundary& b = m.boundaries[it.object];
                b.open = v[0] != 0;
                b.gas_fraction = frac(v[1]);
                b.pressure = v[2];
                b.temperature = v[3];
                b.water_fraction = frac(v[4]);
                break;
            }
            case InputKind::Controller:
                m.controllers[it.object].opening = frac(v[0]);
                break;
            case InputKind::Plug:
                if (v[0] >= 0.5f) {
                    Plug& p = m.plugs[it.object];
                    p.launched = true;
                    p.arrived = false;
                    p.z = p.launch_z;
                    p.speed = 0;
                }
                break;
            case InputKind::SourceDeriv:
            case InputKind::BoundaryDeriv:
                break;  // derivatives are always computed for the keys asked for
        }
    }
}

bool Session::ResolveOutputs(const std::string& text, std::vector<OutputItem>& items,
                             std::string& errors) const {
    items.clear();
    for (const auto& [label, key] : ParseNameList(text)) {
        std::string why;
        auto p = ResolveProbe(*model_, label, key, why);
        if (!p) {
            AddProblem(errors, Printable(why));
            continue;
        }
        items.push_back({*p, label.empty() ? key : label + " " + key});
    }
    return errors.empty();
}

void Session::OutputNames(const std::string& text, proto::Bytes& reply) {
    if (!RequireModel(reply)) return;
    std::vector<OutputItem> items;
    std::string errors;
    if (!ResolveOutputs(text, items, errors)) {
        Error(reply, "output names refused:" + errors);
        return;
    }
    outputs_ = std::move(items);
    output_names_text_ = text;
    std::vector<std::int32_t> sizes(outputs_.size(), 1);
    Append(reply, proto::PackInts(MessageType::OuttrSizes, sizes));
}

std::vector<float> Session::OutputValues() const {
    std::vector<float> v;
    v.reserve(outputs_.size());
    for (const OutputItem& it : outputs_)
        v.push_back(static_cast<float>(Evaluate(*model_, it.probe)));
    return v;
}

void Session::TrendValues(const std::string& text, proto::Bytes& reply) {
    if (!RequireModel(reply)) return;
    std::vector<OutputItem> items;
    std::string errors;
    if (!ResolveOutputs(text, items, errors)) {
        Error(reply, "trend names refused:" + errors);
        return;
    }
    std::vector<std::int32_t> sizes(items.size(), 1);
    std::vector<float> values;
    for (const OutputItem& it : items)
        values.push_back(static_cast<float>(Evaluate(*model_, it.probe)));
    Append(reply, proto::PackInts(MessageType::SendtrSizes, sizes));
    Append(reply, proto::PackFloats(MessageType::SendtrData, values));
}

void Session::ProfileValues(const std::string& text, proto::Bytes& reply) {
    if (!RequireModel(reply)) return;
    auto names = ParseNameList(text);
    if (names.empty()) {
        Error(reply, "profile request names no variable");
        return;
    }
    std::vector<std::int32_t> sizes;
    std::vector<float> values;
    std::string errors;
    for (const auto& [branch, key] : names) {
        std::vector<double> v;
        std::string why;
        if (branch.empty()) {
            AddProblem(errors, key + " needs a $branch");
            continue;
        }
        if (!Profile(*model_, branch, key, v, why)) {
            AddProblem(errors, Printable(why));
            continue;
        }
        sizes.push_back(static_cast<std::int32_t>(v.size()));
        for (double x : v) values.push_back(static_cast<float>(x));
    }
    if (!errors.empty()) {
        Error(reply, "profile names refused:" + errors);
        return;
    }
    Append(reply, proto::PackInts(MessageType::SendprSizes, sizes));
    Append(reply, proto::PackFloats(MessageType::SendprData, values));
}

}  // namespace zefasim
