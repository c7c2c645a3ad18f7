#include "fixture.h"

namespace zefa::test {

void ExtensionTest::SetUp() {
    host_case = std::make_shared<refhost::RefCase>("/tmp/case");
    window = std::make_shared<refhost::MessageWindow>();
    ui = std::make_shared<refhost::ScriptedUserInterface>();
    unit = std::make_shared<refhost::PipelineUnit>("PIPE-100", host_case, window, ui);
    host_case->Flowsheet()->Add(unit);
    zefa = std::make_unique<ZEFA>(ui);
    ASSERT_EQ(zefa->Initialize(unit, false), ZEFA::kInterfaceVersion);
}

void ExtensionTest::TearDown() {
    if (zefa) zefa->Terminate();
}

std::vector<std::string> ExtensionTest::Boxes() const {
    std::vector<std::string> out;
    for (const auto& shown : ui->History()) {
        if (shown.kind == "message") out.push_back(shown.title + "|" + shown.text);
    }
    return out;
}

std::vector<std::string> ExtensionTest::StreamNames(const std::string& tag) {
    std::vector<std::string> names;
    for (const auto& s : Var<host::StreamListVariable>(tag)->GetStreams()) {
        names.push_back(s ? s->Name() : "<none>");
    }
    return names;
}

}  // namespace zefa::test
