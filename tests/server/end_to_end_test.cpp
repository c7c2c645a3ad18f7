// Auto-start of a real zefa-server on a free loopback port: connect, load,
// initialise, snapshot, stop; the server is gone afterwards.
#include <sys/stat.h>

#include "live_server.h"

namespace zefa::test {
namespace {

// True when no generated start script is left in `folder`.
bool NoStartScripts(const std::filesystem::path& folder) {
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().filename().string().starts_with("zefaserverstart")) return false;
    return true;
}

class EndToEnd : public LiveServerWorld {
  protected:
    void TearDown() override {
        LiveServerWorld::TearDown();
        server_start::SetComputerName(std::nullopt);
    }
};

// A process-id file with garbage records no process (ids below 1 are process
// groups here): the server is started.
class GarbagePidFile : public EndToEnd {
    void BeforeStart() override {
        WriteFile(ext_dir->Path() / (std::to_string(port) + ".pid"), "not a number\n");
        EXPECT_FALSE(server_start::IsProcessRunning(0));
    }
};

// The started server saves snapshots under fresh names; a second automatic
// start only connects, and Terminate stops the server.
TEST_F(GarbagePidFile, SnapshotsThenASecondAutoStartOnlyConnectsAndTerminateStopsTheServer) {
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(server_start::IsProcessRunning(pid));
    EXPECT_TRUE(NoStartScripts(case_dir->Path()));
    zefa->Save();
    zefa->Save();
    EXPECT_TRUE(std::filesystem::exists(model_dir->Path() / "flowline010506123045.snp"));
    EXPECT_TRUE(std::filesystem::exists(model_dir->Path() / "flowline010506123045_2.snp"));
    EXPECT_EQ(GetText("SnapshotFile"), "flowline010506123045_2.snp");
    State().server().lngServerState =
        ServerState::NotConnected;  // the connection is lost; the server runs on
    zefa->OpenTheConnection(true);
    EXPECT_EQ(zefa->ServerStateNumber(), 1);
    EXPECT_EQ(RecordedPid(), pid);
    ASSERT_TRUE(zefa->LoadZEFAFile());
    zefa->Terminate();
    terminated = true;
    EXPECT_TRUE(WaitGone(pid));
    EXPECT_FALSE(std::filesystem::exists(ext_dir->Path() / (std::to_string(port) + ".pid")));
    EXPECT_TRUE(Reports().empty()) << ::testing::PrintToString(Reports());
}

// The remote start through a remote shell that takes its time: the remote
// script is still there when the remote shell reads it, and both scripts are
// gone once the connection is made.
class SlowRemoteShell : public EndToEnd {
    // The server computer is "127.1" (this computer's loopback address), and
    // this computer's name is made to resolve elsewhere, so the start goes
    // through the remote shell while the server is reached on 127.0.0.1.
    void BeforeStart() override {
        server_start::SetComputerName("127.0.0.2");
        ASSERT_TRUE(server_start::IsRemoteHost("127.1"));
        SetText("zefaHost", "127.1");
        const auto ssh = tools.Path() / "ssh";
        // Runs its last argument, the remote command, here.
        WriteFile(ssh, "#!/bin/sh\nsleep 1.5\nfor a; do c=$a; done\nexec /bin/sh -c \"$c\"\n");
        ::chmod(ssh.c_str(), 0700);
        ::setenv("PATH", (tools.Str() + ":" + path).c_str(), 1);
    }
    void TearDown() override {
        ::setenv("PATH", path.c_str(), 1);
        EndToEnd::TearDown();
    }
    TempFolder tools;
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
};

TEST_F(SlowRemoteShell, RemoteStartThroughASlowRemoteShell) {
    EXPECT_TRUE(NoStartScripts(model_dir->Path()));
    EXPECT_TRUE(NoStartScripts(case_dir->Path()));
    ui->QueueYesNo(false);
    zefa->CloseTheConnection();
    EXPECT_TRUE(WaitGone(pid));
}

}  // namespace
}  // namespace zefa::test
