#pragma once

#include <string>
#include <vector>

#include "client/protocol.h"
#include "host_world.h"
#include "session.h"

namespace zefasim::testing {

namespace proto = zefa::protocol;

using zefa::test::ReadFile;

inline std::string Example(const std::string& name) {
    return ReadFile(std::string(ZEFA_EXAMPLES_DIR) + "/" + name);
}

// `text` with every `from` replaced by `to`.
inline std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
    return text;
}

// An example case with `keys` (e.g. "HOLDUP = NOSLIP, ") put first in its FLUID line.
inline std::string ExampleWithFluid(const std::string& name, const std::string& keys) {
    std::string text = Example(name);
    return text.replace(text.find("FLUID "), 6, "FLUID " + keys);
}

// A fresh folder, removed with everything in it at the end of the test.
class TempDir : public zefa::test::TempFolder {
  public:
    std::string path() const { return Str(); }
    std::string File(const std::string& name) const { return Str() + "/" + name; }
    void Write(const std::string& name, const std::string& text) const {
        zefa::test::WriteFile(File(name), text);
    }
    void CopyExample(const std::string& name) const { Write(name, Example(name)); }
};

inline proto::Message Text(proto::MessageType type, const std::string& text) {
    return *proto::SplitMessage(proto::PackText(type, text));
}
inline proto::Message Ints(proto::MessageType type, std::vector<std::int32_t> v) {
    return *proto::SplitMessage(proto::PackInts(type, v));
}
inline proto::Message Floats(proto::MessageType type, std::vector<float> v) {
    return *proto::SplitMessage(proto::PackFloats(type, v));
}

// Liquid holdup of section `i` of the first branch.
inline double Holdup(const Model& m, int i) {
    SectionState s = m.StateOf(0, i);
    return s.alpha[kOil] + s.alpha[kWater];
}

// All messages of a reply, in order.
inline std::vector<proto::Message> Split(const proto::Bytes& bytes) {
    std::vector<proto::Message> out;
    size_t at = 0;
    while (at < bytes.size()) {
        size_t used = 0;
        auto m = proto::SplitMessage(proto::ByteView(bytes).subspan(at), &used);
        if (!m) break;
        out.push_back(*m);
        at += used;
    }
    return out;
}

inline std::vector<proto::Message> Call(Session& s, const proto::Message& request) {
    proto::Bytes reply;
    s.Handle(request, reply);
    return Split(reply);
}

inline std::vector<float> FloatsOf(const proto::Message& m) {
    auto v = proto::DecodeFloats(m.payload);
    return v ? *v : std::vector<float>{};
}
inline std::vector<std::int32_t> IntsOf(const proto::Message& m) {
    auto v = proto::DecodeInts(m.payload);
    return v ? *v : std::vector<std::int32_t>{};
}
inline std::string TextOf(const proto::Message& m) {
    return proto::DecodeText(m.payload);
}

}  // namespace zefasim::testing
