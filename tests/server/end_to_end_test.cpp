// Auto-start of a real zefa-server on a free loopback port: connect, load,
// initialise, snapshot, close; the server is gone afterwards.
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>

#include "fake_server.h"
#include "host_world.h"
#include "server/server_start.h"

namespace zefa::test {
namespace {

class EndToEnd : public HostWorld {
  protected:
    void SetUp() override {
#ifndef ZEFA_SERVER_PROGRAM
        GTEST_SKIP() << "zefa-server is not part of this build";
#else
        HostWorld::SetUp();
        std::filesystem::copy_file(std::filesystem::path(ZEFA_EXAMPLES_DIR) / "flowline.inp",
                                   model_dir->Path() / "flowline.inp");
        ASSERT_EQ(Initialize(false), 4815);
        const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        port = BindLowPort(probe);  // free a moment ago
        ::close(probe);
        SetText("zefaHost", "127.0.0.1");
        SetText("ServerName", std::to_string(port));
        SetNumber("PortNumber", port);
        SetText("zefaExe", ZEFA_SERVER_PROGRAM);
        SetText("zefaModelPath", model_dir->Str());
        SetText("InputFile", "flowline.inp");
#endif
    }
    void TearDown() override {
        // Whatever happened, the started server does not outlive the test.
        if (pid > 0 && server_start::IsProcessRunning(pid)) {
            ::kill(-pid, SIGKILL);  // the start's process group: the server with it
            WaitGone(pid);
        }
        server_start::SetComputerName(std::nullopt);
        HostWorld::TearDown();
    }
    // Starts (or finds) the server and connects; returns the recorded process id.
    int AutoStart() {
        zefa->OpenTheConnection(true);
        EXPECT_EQ(zefa->ServerStateNumber(), 1) << ::testing::PrintToString(window->Lines());
        const int recorded =
            std::atoi(ReadFile(ext_dir->Path() / (std::to_string(port) + ".pid")).c_str());
        if (recorded > 0) pid = recorded;
        return recorded;
    }
    int port = 0;
    int pid = -1;
};

TEST_F(EndToEnd, AutoStartLoadInitialiseSnapshotAndClose) {
    const int started = AutoStart();
    ASSERT_GT(started, 0);
    EXPECT_TRUE(server_start::IsProcessRunning(started));
    EXPECT_FALSE(std::filesystem::exists(case_dir->Path() / "zefaserverstartLocal.sh"));
    ASSERT_TRUE(zefa->LoadZEFAFile());
    ASSERT_TRUE(zefa->InitializeZEFA());
    EXPECT_EQ(GetNumber("ZEFAsimTime"), 0);
    zefa->Save();
    zefa->Save();
    EXPECT_TRUE(std::filesystem::exists(model_dir->Path() / "flowline010506123045.snp"));
    EXPECT_TRUE(std::filesystem::exists(model_dir->Path() / "flowline010506123045_2.snp"));
    EXPECT_EQ(GetText("SnapshotFile"), "flowline010506123045_2.snp");
    ui->QueueYesNo(false);
    zefa->CloseTheConnection();
    EXPECT_EQ(zefa->ServerStateNumber(), 0);
    EXPECT_TRUE(WaitGone(started));
    EXPECT_TRUE(Reports().empty()) << ::testing::PrintToString(Reports());
}

TEST_F(EndToEnd, SecondAutoStartOnlyConnectsAndTerminateStopsTheServer) {
    // A process-id file with garbage records no process (ids below 1 are
    // process groups here): the server is started.
    WriteFile(ext_dir->Path() / (std::to_string(port) + ".pid"), "not a number\n");
    EXPECT_FALSE(server_start::IsProcessRunning(0));
    const int started = AutoStart();
    ASSERT_GT(started, 0);
    State().server().lngServerState =
        ServerState::NotConnected;  // the connection is lost; the server runs on
    EXPECT_EQ(AutoStart(), started);
    ASSERT_TRUE(zefa->LoadZEFAFile());
    zefa->Terminate();
    terminated = true;
    EXPECT_TRUE(WaitGone(started));
    EXPECT_FALSE(std::filesystem::exists(ext_dir->Path() / (std::to_string(port) + ".pid")));
}

// The remote start through a remote shell that takes its time: the remote
// script is still there when the remote shell reads it, and both scripts are
// gone once the connection is made.
TEST_F(EndToEnd, RemoteStartThroughASlowRemoteShell) {
    // The server computer is "127.1" (this computer's loopback address), and
    // this computer's name is made to resolve elsewhere, so the start goes
    // through the remote shell while the server is reached on 127.0.0.1.
    server_start::SetComputerName("127.0.0.2");
    ASSERT_TRUE(server_start::IsRemoteHost("127.1"));
    SetText("zefaHost", "127.1");
    TempFolder tools;
    const auto ssh = tools.Path() / "ssh";
    WriteFile(ssh, "#!/bin/sh\nsleep 1.5\nshift\nexec /bin/sh -c \"$1\"\n");
    ::chmod(ssh.c_str(), 0700);
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    ::setenv("PATH", (tools.Str() + ":" + path).c_str(), 1);
    zefa->OpenTheConnection(true);
    ::setenv("PATH", path.c_str(), 1);
    pid = std::atoi(ReadFile(ext_dir->Path() / (std::to_string(port) + ".pid")).c_str());
    EXPECT_EQ(zefa->ServerStateNumber(), 1) << ::testing::PrintToString(window->Lines());
    EXPECT_FALSE(std::filesystem::exists(model_dir->Path() / "zefaserverstartRemote.sh"));
    EXPECT_FALSE(std::filesystem::exists(case_dir->Path() / "zefaserverstartLocal.sh"));
    ui->QueueYesNo(false);
    zefa->CloseTheConnection();
    EXPECT_TRUE(WaitGone(pid));
}

}  // namespace
}  // namespace zefa::test
