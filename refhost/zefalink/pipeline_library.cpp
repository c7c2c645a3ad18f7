// The extension library as zefalink loads it, the servers it launches and
// stops, and the case loaded with its flowsheet.
#include "pipeline_library.h"

#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "lib/flowsheet_file.h"

namespace zefalink {

namespace fs = std::filesystem;

namespace {

fs::path OwnFolder() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe.parent_path();
}

bool ProcessGone(int pid) {
    if (pid < 1) return true;
    // The server is our child: reap it once it has ended.
    int status = 0;
    const pid_t waited = ::waitpid(pid, &status, WNOHANG);
    if (waited == pid) return true;
    if (waited == 0) return false;
    if (::kill(pid, 0) != 0) return true;
    // A zombie has ended already.
    std::string stat;
    if (FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r")) {
        char buffer[512] = {};
        if (std::fgets(buffer, sizeof buffer, f)) stat = buffer;
        std::fclose(f);
    }
    const std::size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() &&
           (stat[close + 2] == 'Z' || stat[close + 2] == 'X');
}

}  // namespace

void EnsureServerStopped(int pid) {
    for (int i = 0; i < 300 && !ProcessGone(pid); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (ProcessGone(pid)) return;
    std::cerr << "warning: the pipeline server (process " << pid << ") did not stop; ending it\n";
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 200 && !ProcessGone(pid); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!ProcessGone(pid)) ::kill(pid, SIGKILL);
}

void LaunchServers(const ZefaToolInterface* tools, std::vector<refhost::ExtensionUnit>& units) {
    if (tools == nullptr || tools->version < 2 || tools->launch_server == nullptr) return;
    // A start that fails is reported in the unit's message window; the
    // unit's initialisation then fails as it would have.
    for (auto& u : units) (void)tools->launch_server(u.extension.get());
}

PipelineLibrary::~PipelineLibrary() {
    for (auto* e : created_)
        if (destroy_) destroy_(e);
    if (handle_) dlclose(handle_);
}

bool PipelineLibrary::Open(std::string& error) {
    if (handle_) return true;
    std::vector<std::string> candidates;
    // A library named in the environment is the only one tried: an explicit
    // choice must not be replaced silently by another build.
    if (const char* env = std::getenv("ZEFA_EXTENSION_LIBRARY"); env && *env)
        candidates.push_back(env);
    const fs::path dir = OwnFolder();
    if (candidates.empty() && !dir.empty()) {
        candidates.push_back((dir / "libzefapipeline.so").string());
        candidates.push_back((dir / "../../src/libzefapipeline.so").string());
        candidates.push_back((dir / "../lib/libzefapipeline.so").string());
    }
    std::string last = "not found";
    for (const auto& path : candidates) {
        std::error_code ec;
        if (!fs::exists(path, ec)) continue;
        handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_) {
            const char* e = dlerror();
            last = e ? e : "cannot load " + path;
            continue;
        }
        create_ =
            reinterpret_cast<host::CreateExtensionFn>(dlsym(handle_, host::kCreateExtensionSymbol));
        destroy_ = reinterpret_cast<host::DestroyExtensionFn>(
            dlsym(handle_, host::kDestroyExtensionSymbol));
        // The tool functions are optional: a library without them still
        // serves runs.
        const auto get_tools =
            reinterpret_cast<ZefaGetToolInterfaceFn>(dlsym(handle_, kZefaToolInterfaceSymbol));
        tools_ = get_tools ? get_tools(kZefaToolInterfaceVersion) : nullptr;
        if (create_ && destroy_) return true;
        dlclose(handle_);
        handle_ = nullptr;
        last = path + " lacks the extension entry points";
    }
    error = "cannot load the pipeline extension library (" + last +
            "); set ZEFA_EXTENSION_LIBRARY to its path";
    return false;
}

host::UnitOperationExtension* PipelineLibrary::Create() {
    if (!create_) return nullptr;
    host::UnitOperationExtension* e = create_("ZEFAPipeline.ZEFA");
    if (e) created_.push_back(e);
    return e;
}

std::string PipelineLibrary::Format(double value) const {
    char buffer[64] = {};
    const int n = tools_ ? tools_->format_double(value, buffer, sizeof buffer) : -1;
    if (n < 0) return "?";
    if (static_cast<std::size_t>(n) < sizeof buffer) return buffer;
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    tools_->format_double(value, big.data(), big.size());
    big.resize(static_cast<std::size_t>(n));
    return big;
}

void DefaultServerPath() {
    if (const char* env = std::getenv("ZEFA_SERVERPATH"); env && *env) return;
    const fs::path dir = OwnFolder();
    if (dir.empty()) return;
    for (const fs::path& candidate :
         {dir / "zefa-server", dir / "../../zefasim/zefa-server", dir / "../zefasim/zefa-server"}) {
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec)) {
            const fs::path full = fs::weakly_canonical(candidate, ec);
            ::setenv("ZEFA_SERVERPATH", (ec ? candidate : full).c_str(), 1);
            return;
        }
    }
}

void DefaultServerProgram(refhost::PipelineUnit& unit) {
    auto exe = unit.Get<host::TextVariable>("zefaExe");
    if (!exe->GetValue().empty()) return;
    if (const char* env = std::getenv("ZEFA_SERVERPATH"); env && *env) exe->SetValue(env);
}

LoadedCase LoadCaseWithFlowsheet(const std::string& path) {
    const nlohmann::json doc = refhost::ReadCaseJson(path);
    if (doc.is_object() && doc.contains("flowsheet") && !doc["flowsheet"].is_null()) {
        LoadedCase loaded;
        loaded.plant = refhost::LoadFlowsheet(doc["flowsheet"], path);
        loaded.c = refhost::LoadCase(path, refhost::PlantStreams(*loaded.plant));
        refhost::AddPlantToCase(*loaded.plant, doc["flowsheet"], *loaded.c.host_case->Flowsheet());
        return loaded;
    }
    LoadedCase loaded;
    loaded.c = refhost::LoadCase(path);
    return loaded;
}

int OpenLibraryAndCase(PipelineLibrary& library, const std::string& path, LoadedCase& loaded) {
    std::string error;
    if (!library.Open(error)) {
        std::cerr << "error: " << error << '\n';
        return kExitInternal;
    }
    try {
        loaded = LoadCaseWithFlowsheet(path);
    } catch (const std::exception& e) {
        std::cerr << "error: invalid case: " << e.what() << '\n';
        return kExitInvalidCase;
    }
    return kExitOk;
}

void EchoHostOutput(refhost::HostCase& c) {
    c.window->EchoTo(&std::cout);
    c.ui->EchoTo(&std::cout);
}

}  // namespace zefalink
