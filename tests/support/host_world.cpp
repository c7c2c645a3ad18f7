// The extension tests' host world: a pipeline unit in a reference-host case
// with a fixed clock, a temporary folder and its variables bound.
#include "host_world.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "lib/fluid.h"
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

void HostWorld::SetUp() {
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

void HostWorld::TearDown() {
    if (zefa && initialized && !terminated) zefa->Terminate();
    zefa.reset();
    server_start::SetExtensionFolder(std::nullopt);
}

std::int32_t HostWorld::Initialize(bool recalled) {
    initialized = true;
    return zefa->Initialize(unit, recalled);
}

void HostWorld::UsePositionVariables() {
    auto definitions = refhost::PipelineVariableDefinitions();
    for (const char* tag : {"PosLabel", "PosBranch", "PosPipe"})
        definitions.push_back({tag, host::VariableKind::Text});
    definitions.push_back({"PosSection", host::VariableKind::Number});
    unit = std::make_shared<refhost::PipelineUnit>("PIPE-100", host_case, window, ui, definitions);
}

void HostWorld::ConnectNewCase(int port) {
    ASSERT_EQ(Initialize(false), 4815);
    SetText("zefaHost", "127.0.0.1");
    SetNumber("PortNumber", port);
    SetNumber("useAutoConnect", 0);
    SetText("zefaModelPath", model_dir->Str());
    SetText("InputFile", "m.inp");
    SetNumber("TCPTimeOut", 2);
    State().client().TCPTimeOut = 2;
    zefa->OpenTheConnection(false);
    ASSERT_EQ(zefa->ServerStateNumber(), 1) << ::testing::PrintToString(window->Lines());
}

void HostWorld::ConnectFlowline(double flow_switch) {
    auto set = std::make_shared<refhost::ComponentSet>(
        std::vector<std::string>{"methane", "propane", "n-hexane", "water"});
    const std::vector<double> z = {0.7, 0.1, 0.15, 0.05};
    inlet = refhost::Stream::Create("FEED", refhost::Fluid::Create(set, z, 60.0, 6000.0, 0.5));
    outlet = refhost::Stream::Create("PRODUCT", refhost::Fluid::Create(set, z, 30.0, 2000.0, 0.5));
    // As the view connects them: a row per stream, then the labels.
    Var<host::StreamListVariable>("Inlets")->SetStreams({inlet});
    Var<host::StreamListVariable>("Outlets")->SetStreams({outlet});
    zefa->AddANewInlet();
    zefa->AddANewOutlet();
    State().lists().intNumInlets = 1;
    State().lists().intNumOutlets = 1;
    SetTexts("SourceTags", {"IN"});
    SetTexts("BoundaryTags", {"OUT"});
    SetNumbers("bFlowSwitch", {flow_switch});
    SetNumber("ignoreZEFA", 0);
    SetNumber("boolWritePFEquations", 1);
    SetNumber("boolTraceErrors", 1);
    // A step is waited for only until it ends; the bound is for a server that
    // never answers, and a loaded machine can take seconds over a step.
    SetNumber("TimeStepTimeOut", 30);
    dyn = std::make_shared<refhost::HostDynamicContainer>(
        "PIPE-100", [this] { return Var<host::StreamListVariable>("Outlets")->GetStreams(); });
    zefa->DynInitialize(dyn, false, 1, false);
}

namespace {

// The unit's variables and case, but a message window and user interface of
// its own: what Initialize shows for a new case stays out of the tests' view.
class SetupContainer final : public UnitContainer {
  public:
    using UnitContainer::UnitContainer;
    void WriteMessage(const std::string&) override {}
    std::shared_ptr<host::UserInterface> GetUserInterface() override { return ui_; }

  private:
    std::shared_ptr<host::UserInterface> ui_ = std::make_shared<host::NullUserInterface>();
};

void ClearVariables(refhost::PipelineUnit& unit) {
    for (const auto& v : unit.Variables()) {
        if (auto t = std::dynamic_pointer_cast<host::TextVariable>(v)) t->SetValue("");
        if (auto n = std::dynamic_pointer_cast<host::NumberVariable>(v))
            n->SetValue(host::kEmptyNumber);
        if (auto ta = std::dynamic_pointer_cast<host::TextArrayVariable>(v)) ta->SetCount(0);
        if (auto na = std::dynamic_pointer_cast<host::NumberArrayVariable>(v)) na->SetBounds(0);
        if (auto sl = std::dynamic_pointer_cast<host::StreamListVariable>(v)) sl->SetLength(0);
    }
}

}  // namespace

void HostWorld::BindOnEmptyVariables() {
    initialized = true;
    ASSERT_EQ(zefa->Initialize(std::make_shared<SetupContainer>(unit), false),
              ZEFA::kInterfaceVersion);
    State().container() = unit;
    ClearVariables(*unit);
}

void HostWorld::BindOnly() {
    initialized = true;
    State().container() = unit;
    zefa->InitializeInternalVariables();
}

std::vector<std::string> HostWorld::StreamNames(const std::string& tag) {
    std::vector<std::string> names;
    for (const auto& s : Var<host::StreamListVariable>(tag)->GetStreams()) {
        names.push_back(s ? s->Name() : "<none>");
    }
    return names;
}

std::vector<std::string> HostWorld::Shown(const std::string& kind) const {
    std::vector<std::string> out;
    for (const auto& shown : ui->History())
        if (shown.kind == kind) out.push_back(shown.title + "|" + shown.text);
    return out;
}

std::vector<std::string> HostWorld::Reports() const {
    auto lines = window->Lines();
    if (!lines.empty() && lines.front().starts_with("It is recommended"))
        lines.erase(lines.begin());
    return lines;
}

}  // namespace zefa::test
