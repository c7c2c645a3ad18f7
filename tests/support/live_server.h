#pragma once

// The host world with a real zefa-server started through the extension's own
// automatic start on a free loopback port, with a model loaded and
// initialised (server state 4). The server is killed after each test whatever
// happened. Tests using it define ZEFA_SERVER_PROGRAM and ZEFA_EXAMPLES_DIR.

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "host_world.h"
#include "server/server_start.h"

namespace zefa::test {

class LiveServerWorld : public HostWorld {
  protected:
    // The example model the server loads.
    virtual std::string ModelFile() const { return "flowline.inp"; }
    // Runs just before the start: a test may plant files or change settings.
    virtual void BeforeStart() {}
    // The process id the start recorded, 0 when none.
    int RecordedPid() const {
        return std::atoi(ReadFile(ext_dir->Path() / (std::to_string(port) + ".pid")).c_str());
    }

    void SetUp() override {
        HostWorld::SetUp();
        std::filesystem::copy_file(std::filesystem::path(ZEFA_EXAMPLES_DIR) / ModelFile(),
                                   model_dir->Path() / ModelFile());
        ASSERT_EQ(Initialize(false), ZEFA::kInterfaceVersion);
        SetText("zefaHost", "127.0.0.1");
        SetText("zefaExe", ZEFA_SERVER_PROGRAM);
        SetText("zefaModelPath", model_dir->Str());
        SetText("InputFile", ModelFile());
        // Requests end with their replies; the bound is for a server that
        // never answers, not for a slow start on a loaded machine.
        SetNumber("TCPTimeOut", 30);
        State().client().TCPTimeOut = 30;
        // A port free when probed can be taken by another test process before
        // the server listens on it, the more likely the more loaded the
        // machine: the start then fails naming the port, and another is tried.
        for (int attempt = 0; attempt < 3 && zefa->ServerStateNumber() != 1; ++attempt) {
            StopServer();
            const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
            port = BindLowPort(probe);  // free a moment ago
            ::close(probe);
            SetText("ServerName", std::to_string(port));
            SetNumber("PortNumber", port);
            BeforeStart();
            zefa->OpenTheConnection(true);
            pid = RecordedPid();
        }
        ASSERT_EQ(zefa->ServerStateNumber(), 1) << ::testing::PrintToString(window->Lines());
        ASSERT_TRUE(zefa->LoadZEFAFile());
        ASSERT_TRUE(zefa->InitializeZEFA());
        ASSERT_EQ(zefa->ServerStateNumber(), 4);
        Mark();  // what a failed start reported is not the test's
    }
    void TearDown() override {
        StopServer();
        HostWorld::TearDown();
    }
    void StopServer() {
        if (pid > 0 && server_start::IsProcessRunning(pid)) {
            ::kill(-pid, SIGKILL);  // the start's process group: the server with it
            WaitGone(pid);
        }
    }

    int port = 0;
    int pid = -1;
};

}  // namespace zefa::test
