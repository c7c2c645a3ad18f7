#pragma once

// The request handling of zefa-server, apart from the sockets: one Session holds
// the loaded model and what the client registered, takes one request at a time
// and produces the bytes of the reply (none, one or two messages).

#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "client/protocol.h"
#include "model.h"
#include "outputs.h"

namespace zefasim {

// Checks a file name sent by a client: a plain name inside the working folder.
bool IsSafeFileName(const std::string& name, std::string& why);

class Session {
  public:
    explicit Session(std::string folder);

    // Handles one request; appends the reply bytes to `reply`. Returns false once
    // the client asked the server to stop.
    bool Handle(const zefa::protocol::Message& request, zefa::protocol::Bytes& reply);

    const Model* model() const { return model_ ? &*model_ : nullptr; }
    // Asked after every internal step of a run interval; answering true ends the
    // interval there (a stop request or a closed connection).
    void SetInterrupt(std::function<bool()> interrupt) { interrupt_ = std::move(interrupt); }
    // Warnings about requests that get no reply, kept until the next step reply.
    const std::vector<std::string>& warnings() const { return warnings_; }

  private:
    enum class InputKind { Source, Boundary, Controller, SourceDeriv, BoundaryDeriv, Plug };
    struct InputItem {
        InputKind kind;
        std::string label;
        int object = 0;
    };
    struct OutputItem {
        Probe probe;
        std::string name;  // "LABEL KEY" or "KEY", as the host named it
    };

    void Log(const zefa::protocol::Message& request);
    void DropWarnings();
    // Whether `name` may be written: never an input file (.inp), and an existing
    // file only when it is empty or begins with `signature`, as the files
    // zefa-server writes of that kind do. `why` names the file otherwise.
    bool MayWrite(const std::string& name, const char* signature, const char* kind,
                  std::string& why) const;

    void Warn(const std::string& text);
    std::string PathOf(const std::string& name) const { return folder_ + "/" + name; }
    bool RequireModel(zefa::protocol::Bytes& reply);
    void Error(zefa::protocol::Bytes& reply, const std::string& text);
    void Ok(zefa::protocol::Bytes& reply, const std::string& text = "done");
    void Append(zefa::protocol::Bytes& reply, const zefa::protocol::Bytes& message);

    void LoadInput(const std::string& name, bool initialise, zefa::protocol::Bytes& reply);
    std::string Initialise();  // returns a warning text, empty when fine
    void AdoptModel(Model&& m);
    void InputNames(const std::string& text, zefa::protocol::Bytes& reply);
    void InputSizes(const zefa::protocol::Bytes& payload, zefa::protocol::Bytes& reply);
    void InputData(const zefa::protocol::Bytes& payload);
    void OutputNames(const std::string& text, zefa::protocol::Bytes& reply);
    void TrendValues(const std::string& text, zefa::protocol::Bytes& reply);
    void ProfileValues(const std::string& text, zefa::protocol::Bytes& reply);
    void Step(zefa::protocol::Bytes& reply);
    void Derivatives();
    std::vector<float> OutputValues() const;
    std::string NonFiniteResult(const std::vector<float>& values, bool after_step) const;
    void LogOn(const std::string& name, zefa::protocol::Bytes& reply);
    void LabelList(const std::string& text, zefa::protocol::Bytes& reply);
    bool ResolveOutputs(const std::string& text, std::vector<OutputItem>& items,
                        std::string& errors) const;
    bool ResolveInputs(const std::string& text, std::vector<InputItem>& items,
                       std::string& errors) const;

    std::string folder_;
    std::optional<Model> model_;
    double end_time_ = 0;
    std::string input_names_text_;
    std::vector<InputItem> inputs_;
    bool inputs_sized_ = false;
    std::string output_names_text_;
    std::vector<OutputItem> outputs_;
    std::vector<std::string> warnings_;
    std::unique_ptr<std::ofstream> log_;
    std::string current_request_;
    std::function<bool()> interrupt_;
};

}  // namespace zefasim
