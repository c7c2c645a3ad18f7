// zefa-server's requests: the Session's dispatch of each request type, the
// model it loads and initialises, the run interval and its log. The exchange
// tables a client registers are handled in session_exchange.cpp.
#include "session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "input.h"
#include "ranges.h"
#include "session_text.h"
#include "snapshot.h"

namespace zefasim {

namespace proto = zefa::protocol;
using proto::MessageType;

namespace {

// How an input log begins (every line is a request's type name).
constexpr char kLogSignature[] = "ZEFA_";

// Longest run interval accepted, in maximum time steps.
constexpr double kMaxStepsPerInterval = 1e6;

std::string TrimBlanks(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string FormatNumber(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

}  // namespace

std::string Printable(const std::string& s) {
    std::string out;
    for (char c : s) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 32 && u < 127) {
            out += c;
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", u);
            out += buf;
        }
    }
    return out;
}

// Adds one problem to a list of problems (" what;" each).
void AddProblem(std::string& list, const std::string& what) {
    list.append(" ").append(what).append(";");
}

bool IsSafeFileName(const std::string& name, std::string& why) {
    if (name.empty()) {
        why = "empty file name";
        return false;
    }
    if (name.size() > 255) {
        why = "file name too long";
        return false;
    }
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127) {
            why = "file name contains a control character";
            return false;
        }
        if (c == '/' || c == '\\' || c == ':') {
            why = "file name '" + name + "' must not contain a path separator";
            return false;
        }
    }
    if (name.find("..") != std::string::npos || name == ".") {
        why = "file name '" + name + "' must stay inside the working folder";
        return false;
    }
    return true;
}

Session::Session(std::string folder) : folder_(std::move(folder)) {}

void Session::Append(proto::Bytes& reply, const proto::Bytes& message) {
    reply.insert(reply.end(), message.begin(), message.end());
}

void Session::Error(proto::Bytes& reply, const std::string& text) {
    Append(reply, proto::PackText(MessageType::Error, text));
}

void Session::Ok(proto::Bytes& reply, const std::string& text) {
    Append(reply, proto::PackText(MessageType::Ok, text));
}

void Session::Warn(const std::string& text) {
    // A warning names the request that caused it.
    std::string tagged = current_request_.empty() ? text : current_request_ + ": " + text;
    std::cerr << "zefa-server: " << tagged << "\n";
    if (warnings_.size() < 100) warnings_.push_back(tagged);
}

namespace {

bool EndsWithNoCase(const std::string& s, const std::string& tail) {
    if (s.size() < tail.size()) return false;
    for (size_t i = 0; i < tail.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[s.size() - tail.size() + i])) != tail[i])
            return false;
    return true;
}

}  // namespace

bool Session::MayWrite(const std::string& name, const char* signature, const char* kind,
                       std::string& why) const {
    if (EndsWithNoCase(name, ".inp")) {
        why = "refusing to write '" + name + "': it is an input file (.inp)";
        return false;
    }
    struct stat st {};
    if (lstat(PathOf(name).c_str(), &st) != 0) return errno == ENOENT;  // a new file
    if (!S_ISREG(st.st_mode)) {
        why = "refusing to write '" + name + "': it is not a plain file";
        return false;
    }
    // An empty file holds nothing to lose (a log just opened is one).
    if (st.st_size == 0) return true;
    // Written by a zefa-server: it begins as such a file does.
    std::string head;
    {
        std::ifstream in(PathOf(name), std::ios::binary);
        char buf[16] = {};
        in.read(buf, sizeof buf);
        head.assign(buf, static_cast<size_t>(in.gcount()));
    }
    std::string sig = signature;
    if (head.size() >= sig.size() && head.compare(0, sig.size(), sig) == 0) return true;
    why = "refusing to overwrite '" + name + "': it exists and is not " + kind +
          " written by zefa-server";
    return false;
}

bool Session::RequireModel(proto::Bytes& reply) {
    if (model_) return true;
    Error(reply, "no model loaded: read an input file or a snapshot first");
    return false;
}

// Appends in place: " " + text here gives GCC 12 a false -Wrestrict in Release.
void Session::Log(const proto::Message& request) {
    if (!log_) return;
    std::string line = Printable(request.name);
    auto type = proto::TypeFromName(request.name);
    proto::PayloadForm form = type ? proto::FormOf(*type) : proto::PayloadForm::Unread;
    if (form == proto::PayloadForm::IntList) {
        if (auto v = proto::DecodeInts(request.payload))
            for (std::int32_t x : *v) line.append(" ").append(std::to_string(x));
    } else if (form == proto::PayloadForm::FloatList || form == proto::PayloadForm::OneFloat) {
        if (auto v = proto::DecodeFloats(request.payload))
            for (float x : *v) line.append(" ").append(FormatNumber(x));
    } else if (!request.payload.empty()) {
        line.append(" ").append(Printable(proto::DecodeText(request.payload)));
    }
    *log_ << line << "\n";
    log_->flush();
}

bool Session::Handle(const proto::Message& request, proto::Bytes& reply) {
    Log(request);
    current_request_ = Printable(request.name);
    auto type = proto::TypeFromName(request.name);
    if (!type || !proto::IsRequest(*type)) {
        Error(reply, "unknown request type '" + Printable(request.name) + "'");
        return true;
    }
    const std::string text = proto::DecodeText(request.payload);
    try {
        switch (*type) {
            case MessageType::Ping:
                Append(reply, proto::PackText(MessageType::Pong, proto::kPongText));
                break;
            case MessageType::ReadInput:
                LoadInput(TrimBlanks(text), false, reply);
                break;
            case MessageType::Start:
                LoadInput(TrimBlanks(text), true, reply);
                break;
            case MessageType::Initialize: {
                if (!RequireModel(reply)) break;
                std::string warning = Initialise();
                if (warning.empty()) {
                    Ok(reply);
                } else {
                    Error(reply, "warning: " + warning);
                }
                break;
            }
            case MessageType::SaveSnap: {
                if (!RequireModel(reply)) break;
                std::string name = TrimBlanks(text), why;
                if (!IsSafeFileName(name, why) ||
                    !MayWrite(name, kSnapshotSignature, "a snapshot", why)) {
                    Error(reply, "save snapshot: " + (why.empty() ? "cannot write " + name : why));
                    break;
                }
                SaveSnapshotFile(*model_, PathOf(name));
                Ok(reply);
                break;
            }
            case MessageType::LoadSnap: {
                std::string name = TrimBlanks(text), why;
                if (!IsSafeFileName(name, why)) {
                    Error(reply, "load snapshot: " + why);
                    break;
                }
                Model m = LoadSnapshotFile(PathOf(name));
                AdoptModel(std::move(m));
                Ok(reply);
                break;
            }
            case MessageType::StopServer:
                return false;
            case MessageType::InpNames:
                InputNames(text, reply);
                break;
            case MessageType::InpSizes:
                InputSizes(request.payload, reply);
                break;
            case MessageType::InpData:
                InputData(request.payload);
                break;
            case MessageType::OuttrNames:
                OutputNames(text, reply);
                break;
            case MessageType::GettrResult: {
                if (!RequireModel(reply)) break;
                std::vector<float> v = OutputValues();
                Append(reply, proto::PackFloats(MessageType::OuttrData, v));
                break;
            }
            case MessageType::SendtrNames:
                TrendValues(text, reply);
                break;
            case MessageType::SendprNames:
                ProfileValues(text, reply);
                break;
            case MessageType::SimStep:
                Step(reply);
                break;
            case MessageType::SetTend:
            case MessageType::SetTime: {
                auto v = proto::DecodeFloats(request.payload);
                const char* what = *type == MessageType::SetTend ? "end time" : "simulation time";
                if (!v || v->size() != 1 || !std::isfinite((*v)[0]) || std::fabs((*v)[0]) > 1e12f) {
                    Warn(std::string(what) + " ignored: expected one finite float below 1e12");
                    break;
                }
                double t = static_cast<double>((*v)[0]);
                if (*type == MessageType::SetTend) {
                    end_time_ = t;
                } else if (model_) {
                    model_->time = t;
                } else {
                    Warn("simulation time ignored: no model loaded");
                }
                break;
            }
            case MessageType::GetTime: {
                if (!RequireModel(reply)) break;
                float t = static_cast<float>(model_->time);
                Append(reply, proto::PackFloats(MessageType::OutTime, std::span(&t, 1)));
                break;
            }
            case MessageType::GetStep: {
                if (!RequireModel(reply)) break;
                float dt = static_cast<float>(model_->planned_step);
                Append(reply, proto::PackFloats(MessageType::OutStep, std::span(&dt, 1)));
                break;
            }
            case MessageType::InputLogOn:
                LogOn(TrimBlanks(text), reply);
                break;
            case MessageType::InputLogOff:
                log_.reset();
                Ok(reply);
                break;
            case MessageType::KeywordInput:
                if (!RequireModel(reply)) break;
                ApplyKeywords(*model_, text);
                Ok(reply);
                break;
            case MessageType::GetLabelList:
                LabelList(text, reply);
                break;
            default:
                Error(reply, "unknown request type '" + request.name + "'");
                break;
        }
    } catch (const std::exception& e) {
        Error(reply, Printable(e.what()));
    }
    return true;
}

void Session::LoadInput(const std::string& name, bool initialise, proto::Bytes& reply) {
    std::string why;
    if (!IsSafeFileName(name, why)) {
        Error(reply, "input file: " + why);
        return;
    }
    Model m = LoadModelFile(PathOf(name), name);
    AdoptModel(std::move(m));
    std::string warning;
    if (initialise) warning = Initialise();
    if (warning.empty()) {
        Ok(reply);
    } else {
        Error(reply, "warning: " + warning);
    }
}

std::string Session::Initialise() {
    DropWarnings();
    // The initial state is the input file's: a host's source flows count
    // again once the host sends them.
    for (Source& s : model_->sources) s.host_fed = false;
    model_->SetInitialState();
    if (model_->steady_start && !model_->SolveSteady())
        return "steady state not reached; the model starts from the state reached";
    return "";
}

void Session::DropWarnings() {
    // Warnings about requests before a model was loaded or initialised concern a
    // state that is gone: they were reported on standard error and end here.
    warnings_.clear();
}

void Session::AdoptModel(Model&& m) {
    DropWarnings();
    model_ = std::move(m);
    // Registrations stay when they still fit the new model.
    std::string errors;
    std::vector<InputItem> in;
    if (!input_names_text_.empty() && ResolveInputs(input_names_text_, in, errors)) {
        inputs_ = std::move(in);
    } else {
        inputs_.clear();
        inputs_sized_ = false;
        input_names_text_.clear();
    }
    std::vector<OutputItem> out;
    if (!output_names_text_.empty() && ResolveOutputs(output_names_text_, out, errors)) {
        outputs_ = std::move(out);
    } else {
        outputs_.clear();
        output_names_text_.clear();
    }
}

void Session::Step(proto::Bytes& reply) {
    if (!RequireModel(reply)) return;
    Model& m = *model_;
    double interval = end_time_ - m.time;
    if (interval > kMaxStepsPerInterval * m.integration.max_step) {
        Error(reply, "run interval of " + FormatNumber(interval) + " s is too long for MAXDT " +
                         FormatNumber(m.integration.max_step) + " s (at most " +
                         FormatNumber(kMaxStepsPerInterval) + " MAXDT)");
        return;
    }
    const std::int64_t steps_before = m.steps;
    bool derivatives = std::any_of(outputs_.begin(), outputs_.end(), [](const OutputItem& it) {
        return IsBoundaryDerivative(it.probe.key) || IsSourceDerivative(it.probe.key);
    });
    if (end_time_ > m.time) {
        if (derivatives) {
            // One seed per boundary pressure and per source phase asked for; the
            // step carries them along with its own linearisation.
            std::vector<bool> boundary_wanted(m.boundaries.size(), false);
            std::vector<bool> source_wanted(m.sources.size(), false);
            for (const OutputItem& it : outputs_) {
                if (IsBoundaryDerivative(it.probe.key)) boundary_wanted[it.probe.object] = true;
                if (IsSourceDerivative(it.probe.key)) source_wanted[it.probe.object] = true;
            }
            std::vector<Sensitivity> seeds;
            for (size_t b = 0; b < m.boundaries.size(); ++b)
                if (boundary_wanted[b]) {
                    Sensitivity sv;
                    sv.seed = Sensitivity::Seed::BoundaryPressure;
                    sv.object = static_cast<int>(b);
                    seeds.push_back(sv);
                }
            for (size_t si = 0; si < m.sources.size(); ++si)
                if (source_wanted[si])
                    for (int k = 0; k < 3; ++k) {
                        Sensitivity sv;
                        sv.seed = Sensitivity::Seed::SourcePhase;
                        sv.object = static_cast<int>(si);
                        sv.phase = k;
                        seeds.push_back(sv);
                    }
            m.BeginSensitivities(std::move(seeds));
        }
        bool complete = m.Advance(end_time_, nullptr, nullptr, interrupt_ ? &interrupt_ : nullptr);
        if (derivatives) {
            if (complete) Derivatives();
            m.EndSensitivities();
        }
        if (!complete) {
            Error(reply, "step interrupted at " + FormatNumber(m.time) +
                             " s (stop request or closed connection)");
            return;
        }
    }
    // A step that left a value that is not a number did not succeed, whatever
    // the solver made of it: the host would take it up as a boundary value.
    // A completed interval that took a step left the state its last step
    // committed and checked.
    std::vector<float> values = OutputValues();
    if (std::string bad = NonFiniteResult(values, m.steps != steps_before); !bad.empty()) {
        Error(reply, "step to " + FormatNumber(m.time) + " s gave " + bad);
        return;
    }
    std::string ok = "done";
    if (!warnings_.empty()) {
        // Problems with requests that get no reply travel with the step's reply.
        ok +=
            " ZEFA_ERROR \x83"
            "error: ";
        for (const std::string& w : warnings_) ok += w + "; ";
        warnings_.clear();
    }
    Ok(reply, ok);
    Append(reply, proto::PackFloats(MessageType::OuttrData, values));
}

// What a step left that is not a number: the first output value that is not a
// finite number in single precision, as the reply carries it to the host, or the
// first part of the model's state that is not finite (`after_step`: what a step
// that just ran checked, and the geometry its load checked, are not checked
// again). Empty when all is finite.
std::string Session::NonFiniteResult(const std::vector<float>& values, bool after_step) const {
    for (size_t i = 0; i < values.size() && i < outputs_.size(); ++i)
        if (!std::isfinite(values[i]))
            return "a value of " + Printable(outputs_[i].name) + " its reply cannot carry (" +
                   FormatNumber(Evaluate(*model_, outputs_[i].probe)) + ")";
    try {
        model_->Validate(after_step);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

void Session::Derivatives() {
    Model& m = *model_;
    for (const Sensitivity& sv : m.sensitivities) {
        if (sv.seed == Sensitivity::Seed::BoundaryPressure) {
            Boundary& bd = m.boundaries[sv.object];
            bd.deriv = bd.at_inlet ? sv.dflux_inlet : sv.dflux_outlet;
        } else {
            Source& src = m.sources[sv.object];
            src.deriv[sv.phase] = sv.dpressure[src.section];
        }
    }
}

void Session::LogOn(const std::string& name, proto::Bytes& reply) {
    std::string why;
    if (!IsSafeFileName(name, why)) {
        Error(reply, "input log: " + why);
        return;
    }
    if (!MayWrite(name, kLogSignature, "an input log", why)) {
        Error(reply, "input log: " + (why.empty() ? "cannot write " + name : why));
        return;
    }
    // An existing log (one this server wrote) is continued, never truncated.
    log_.reset();
    // Opened without following a link planted after the check above; the
    // stream then reopens that very file through its descriptor.
    const int fd =
        ::open(PathOf(name).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        Error(reply, "input log: cannot write " + name);
        return;
    }
    auto f = std::make_unique<std::ofstream>("/proc/self/fd/" + std::to_string(fd), std::ios::app);
    ::close(fd);
    if (!*f) {
        Error(reply, "input log: cannot write " + name);
        return;
    }
    log_ = std::move(f);
    Ok(reply);
}

void Session::LabelList(const std::string& text, proto::Bytes& reply) {
    if (!RequireModel(reply)) return;
    std::string kind = TrimBlanks(text);
    for (char& c : kind) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto labels = LabelsOf(*model_, kind);
    if (!labels) {
        Error(reply, "unknown label kind '" + Printable(kind) +
                         "' (BRANCH, SOURCE, BOUNDARY, POSITION, CONTROLLER, PLUG or WELL)");
        return;
    }
    std::string joined;
    for (const std::string& l : *labels) joined += (joined.empty() ? "" : " ") + l;
    Append(reply, proto::PackText(MessageType::LabelList, joined));
}

}  // namespace zefasim
