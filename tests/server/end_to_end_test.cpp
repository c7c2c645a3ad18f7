// Auto-start of a real zefa-server on a free loopback port: connect, load,
// initialise, snapshot, close; the server must be gone afterwards.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "fake_server.h"
#include "server/server_start.h"
#include "server_fixture.h"

namespace zefa::test {
namespace {

// A port that was free a moment ago (the server binds all addresses).
int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int port = BindLowPort(fd);
    ::close(fd);
    return port;
}

bool WaitGone(int pid, int ms = 5000) {
    for (int i = 0; i < ms / 10; ++i) {
        if (!server_start::IsProcessRunning(pid)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class EndToEnd : public ServerTest {
  protected:
    void SetUp() override {
#ifndef ZEFA_SERVER_PROGRAM
        GTEST_SKIP() << "zefa-server is not part of this build";
#else
        ServerTest::SetUp();
        std::filesystem::copy_file(std::filesystem::path(ZEFA_EXAMPLES_DIR) / "flowline.inp",
                                   model_dir->Path() / "flowline.inp");
        ASSERT_EQ(NewCase(), 4815);
        port = FreePort();
        SetText("zefaHost", "127.0.0.1");
        SetText("ServerName", std::to_string(port));
        SetNumber("PortNumber", port);
        SetText("zefaExe", ZEFA_SERVER_PROGRAM);
        SetText("zefaModelPath", model_dir->Str());
        SetText("InputFile", "flowline.inp");
        SetNumber("useAutoConnect", 1);
        SetNumber("TCPTimeOut", 5);
        zefa->mobjZefaClient->TCPTimeOut = 5;
#endif
    }
    void TearDown() override {
        // Whatever happened, the started server does not outlive the test.
        const int pid = RecordedPid();
        if (pid > 0 && server_start::IsProcessRunning(pid)) {
            ::kill(pid, SIGKILL);
            WaitGone(pid);
        }
        ServerTest::TearDown();
    }
    int RecordedPid() {
        if (!ext_dir) return last_pid;
        const auto file = ext_dir->Path() / (std::to_string(port) + ".pid");
        if (!std::filesystem::exists(file)) return last_pid;
        last_pid = std::atoi(ReadFile(file).c_str());
        return last_pid;
    }
    int port = 0;
    int last_pid = -1;  // also known after the process-id file is gone
};

TEST_F(EndToEnd, AutoStartLoadInitialiseSnapshotAndClose) {
    zefa->OpenTheConnection(true);
    ASSERT_EQ(zefa->lngServerState, 1) << ::testing::PrintToString(Lines());
    const int pid = RecordedPid();
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(server_start::IsProcessRunning(pid));
    // The start script is gone once the start attempt is over.
    EXPECT_FALSE(std::filesystem::exists(case_dir->Path() / "zefaserverstartLocal.sh"));

    ASSERT_TRUE(zefa->LoadZEFAFile());
    ASSERT_TRUE(zefa->InitializeZEFA());
    EXPECT_EQ(zefa->lngServerState, 4);
    EXPECT_EQ(GetNumber("ZEFAsimTime"), 0);

    zefa->Save();
    EXPECT_EQ(GetText("SnapshotFile"), "flowline010506123045.snp");
    EXPECT_TRUE(std::filesystem::exists(model_dir->Path() / "flowline010506123045.snp"));
    zefa->Save();
    EXPECT_EQ(GetText("SnapshotFile"), "flowline010506123045_2.snp");
    EXPECT_TRUE(std::filesystem::exists(model_dir->Path() / "flowline010506123045_2.snp"));

    ui->QueueYesNo(false);
    zefa->CloseTheConnection();
    EXPECT_EQ(zefa->lngServerState, 0);
    EXPECT_TRUE(WaitGone(pid));
    EXPECT_EQ(Lines().size(), 1u) << ::testing::PrintToString(Lines());
}

TEST_F(EndToEnd, SecondAutoStartOnlyConnectsToTheRecordedServer) {
    zefa->OpenTheConnection(true);
    ASSERT_EQ(zefa->lngServerState, 1) << ::testing::PrintToString(Lines());
    const int pid = RecordedPid();
    // The connection is lost without the server stopping.
    zefa->lngServerState = 0;
    zefa->OpenTheConnection(true);
    ASSERT_EQ(zefa->lngServerState, 1) << ::testing::PrintToString(Lines());
    EXPECT_EQ(RecordedPid(), pid);
    EXPECT_TRUE(zefa->mobjZefaClient->Ping());
    ASSERT_TRUE(zefa->LoadZEFAFile());
}

TEST_F(EndToEnd, TerminateStopsAConnectedServer) {
    zefa->OpenTheConnection(true);
    ASSERT_EQ(zefa->lngServerState, 1) << ::testing::PrintToString(Lines());
    const int pid = RecordedPid();
    ASSERT_GT(pid, 0);
    zefa->Terminate();
    terminated = true;
    EXPECT_TRUE(WaitGone(pid));
    // The last instance removed the process-id files.
    EXPECT_FALSE(std::filesystem::exists(ext_dir->Path() / (std::to_string(port) + ".pid")));
}

}  // namespace
}  // namespace zefa::test
