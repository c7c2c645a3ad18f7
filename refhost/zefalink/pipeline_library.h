#pragma once

// The pipeline extension library as zefalink's new, show and snapshot commands
// use it: loaded with dlopen, extension objects created and destroyed through
// its factory, and its tool functions.

#include <memory>
#include <string>
#include <vector>

#include "extension/tool_interface.h"
#include "host/extension.h"
#include "lib/case_file.h"
#include "lib/integrator_run.h"

namespace zefalink {

class PipelineLibrary {
  public:
    PipelineLibrary() = default;
    ~PipelineLibrary();
    PipelineLibrary(const PipelineLibrary&) = delete;
    PipelineLibrary& operator=(const PipelineLibrary&) = delete;

    // Loads the library (ZEFA_EXTENSION_LIBRARY alone when set, else beside zefalink or in
    // the build tree). False with `error` set when it cannot be loaded.
    bool Open(std::string& error);
    // A new extension object, owned (and destroyed) by this library object.
    host::UnitOperationExtension* Create();
    // Text of a number as the extension writes it.
    std::string Format(double value) const;
    // The library's tool functions; null when it has none.
    const ZefaToolInterface* Tools() const { return tools_; }

  private:
    void* handle_ = nullptr;
    host::CreateExtensionFn create_ = nullptr;
    host::DestroyExtensionFn destroy_ = nullptr;
    const ZefaToolInterface* tools_ = nullptr;
    std::vector<host::UnitOperationExtension*> created_;
};

// Waits up to 3 s for the server process `pid` (one this process started) to
// end after its stop request, then ends it (SIGTERM, then SIGKILL), so that
// no command leaves a server behind. Ids below 1 are ignored.
void EnsureServerStopped(int pid);

// Starts the servers of every unit whose coupled run would start one, side
// by side and without waiting for them, before any unit is initialised: each
// unit's initialisation then connects as soon as its own server listens.
// Libraries without the function (tool interface version 1) start each
// server at its unit's initialisation, one after another.
void LaunchServers(const ZefaToolInterface* tools, std::vector<refhost::ExtensionUnit>& units);

// Makes the extension find the pipeline server of the build tree (or beside
// zefalink) when ZEFA_SERVERPATH does not name one.
void DefaultServerPath();
// A unit whose case names no server program ("zefaExe" empty) gets the one
// DefaultServerPath found, as a new case would: a case shipped with its
// models then starts the server of the installation that runs it.
void DefaultServerProgram(refhost::PipelineUnit& unit);

// A case file read with its process part (when it has a flowsheet section),
// stream names resolved through it.
struct LoadedCase {
    std::shared_ptr<refhost::Plant> plant;
    refhost::HostCase c;
};
LoadedCase LoadCaseWithFlowsheet(const std::string& path);

// Opens the library and loads the case, writing what went wrong to standard
// error. Result: 0, or the exit code for the failure.
int OpenLibraryAndCase(PipelineLibrary& library, const std::string& path, LoadedCase& loaded);

// Echoes the host's message window and message boxes to standard output.
void EchoHostOutput(refhost::HostCase& c);

// Exit codes shared by the commands.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,
    kExitUsage = 64,
    kExitInvalidCase = 65,
    kExitServerUnavailable = 69,
    kExitInternal = 70,
    kExitCannotCreate = 73,
    kExitTimeOut = 75,
    kExitInterrupted = 130,  // SIGINT or SIGTERM: 128 + the number of SIGINT
};

}  // namespace zefalink
