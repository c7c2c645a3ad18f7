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
        const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        port = BindLowPort(probe);  // free a moment ago
        ::close(probe);
        SetText("zefaHost", "127.0.0.1");
        SetText("ServerName", std::to_string(port));
        SetNumber("PortNumber", port);
        SetText("zefaExe", ZEFA_SERVER_PROGRAM);
        SetText("zefaModelPath", model_dir->Str());
        SetText("InputFile", ModelFile());
        BeforeStart();
        zefa->OpenTheConnection(true);
        pid = RecordedPid();
        ASSERT_EQ(zefa->ServerStateNumber(), 1) << ::testing::PrintToString(window->Lines());
        ASSERT_TRUE(zefa->LoadZEFAFile());
        ASSERT_TRUE(zefa->InitializeZEFA());
        ASSERT_EQ(zefa->ServerStateNumber(), 4);
    }
    void TearDown() override {
        if (pid > 0 && server_start::IsProcessRunning(pid)) {
            ::kill(-pid, SIGKILL);  // the start's process group: the server with it
            WaitGone(pid);
        }
        HostWorld::TearDown();
    }

    int port = 0;
    int pid = -1;
};

}  // namespace zefa::test
