#include "server_fixture.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

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
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string ReadFile(const fs::path& path) {
    std::stringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

bool WaitGone(int pid, int ms) {
    for (int i = 0; i < ms / 10; ++i) {
        if (!server_start::IsProcessRunning(pid)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
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
    zefa = std::make_unique<ZEFA>(ui, clock);
}

void ServerTest::TearDown() {
    if (zefa && initialized && !terminated) zefa->Terminate();
    zefa.reset();
    server_start::SetExtensionFolder(std::nullopt);
}

std::int32_t ServerTest::Initialize(bool recalled) {
    initialized = true;
    return zefa->Initialize(unit, recalled);
}

void ServerTest::UsePositionVariables() {
    auto definitions = refhost::PipelineVariableDefinitions();
    for (const char* tag : {"PosLabel", "PosBranch", "PosPipe"})
        definitions.push_back({tag, host::VariableKind::Text});
    definitions.push_back({"PosSection", host::VariableKind::Number});
    unit = std::make_shared<refhost::PipelineUnit>("PIPE-100", host_case, window, ui, definitions);
}

void ServerTest::ConnectNewCase(int port) {
    ASSERT_EQ(Initialize(false), 4815);
    SetText("zefaHost", "127.0.0.1");
    SetNumber("PortNumber", port);
    SetNumber("useAutoConnect", 0);
    SetText("zefaModelPath", model_dir->Str());
    SetText("InputFile", "m.inp");
    SetNumber("TCPTimeOut", 2);
    zefa->mobjZefaClient->TCPTimeOut = 2;
    zefa->OpenTheConnection(false);
    ASSERT_EQ(zefa->lngServerState, 1) << ::testing::PrintToString(window->Lines());
}

std::vector<std::string> ServerTest::Shown(const std::string& kind) const {
    std::vector<std::string> out;
    for (const auto& shown : ui->History())
        if (shown.kind == kind) out.push_back(shown.title + "|" + shown.text);
    return out;
}

std::vector<std::string> ServerTest::Reports() const {
    auto lines = window->Lines();
    if (!lines.empty() && lines.front().starts_with("It is recommended"))
        lines.erase(lines.begin());
    return lines;
}

}  // namespace zefa::test
