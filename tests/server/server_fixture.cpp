#include "server_fixture.h"

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include "server/server_start.h"

namespace zefa::test {

namespace fs = std::filesystem;

TempFolder::TempFolder() {
    static std::atomic<int> counter{0};
    path_ = fs::temp_directory_path() /
            ("zefa-server-test-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
    fs::remove_all(path_);
    fs::create_directories(path_);
}

TempFolder::~TempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void ServerTest::SetUp() {
    case_dir = std::make_unique<TempFolder>();
    model_dir = std::make_unique<TempFolder>();
    ext_dir = std::make_unique<TempFolder>();
    server_start::SetExtensionFolder(ext_dir->Str());
    host_case = std::make_shared<refhost::RefCase>(case_dir->Str());
    window = std::make_shared<refhost::MessageWindow>();
    ui = std::make_shared<refhost::ScriptedUserInterface>();
    unit = std::make_shared<refhost::PipelineUnit>("PIPE-100", host_case, window, ui);
    host_case->Flowsheet()->Add(unit);
    zefa = std::make_unique<ZEFA>(ui, clock);
}

void ServerTest::TearDown() {
    if (zefa && initialized && !terminated) zefa->Terminate();
    zefa.reset();
    server_start::SetExtensionFolder(std::nullopt);
}

std::int32_t ServerTest::NewCase() {
    initialized = true;
    return zefa->Initialize(unit, false);
}

std::int32_t ServerTest::Recall() {
    initialized = true;
    return zefa->Initialize(unit, true);
}

void ServerTest::UsePositionVariables() {
    auto definitions = refhost::PipelineVariableDefinitions();
    definitions.push_back({"PosLabel", host::VariableKind::Text});
    definitions.push_back({"PosBranch", host::VariableKind::Text});
    definitions.push_back({"PosPipe", host::VariableKind::Text});
    definitions.push_back({"PosSection", host::VariableKind::Number});
    unit = std::make_shared<refhost::PipelineUnit>("PIPE-100", host_case, window, ui, definitions);
}

std::vector<std::string> ServerTest::Boxes() const {
    std::vector<std::string> out;
    for (const auto& shown : ui->History())
        if (shown.kind == "message") out.push_back(shown.title + "|" + shown.text);
    return out;
}

std::vector<std::string> ServerTest::Questions() const {
    std::vector<std::string> out;
    for (const auto& shown : ui->History())
        if (shown.kind == "question") out.push_back(shown.title + "|" + shown.text);
    return out;
}

}  // namespace zefa::test
