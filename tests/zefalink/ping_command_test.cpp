// Runs `zefalink ping` against a scripted peer that records every byte it receives.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "host_world.h"
#include "scripted_peer.h"

namespace zefa::test {
namespace {

namespace pr = zefa::protocol;
namespace fs = std::filesystem;

class PingCommandTest : public ::testing::Test {
  protected:
    int Run(const std::string& arguments) {
        const std::string command = std::string(ZEFALINK_PATH) + " ping " + arguments + " > " +
                                    (dir / "out").string() + " 2> " + (dir / "err").string();
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    TempFolder folder;
    const fs::path dir = folder.Path();
    const Bytes ping = pr::PackText("ZEFA_PING", "no data for ZEFA_PING");
    const Bytes pong = pr::PackText("ZEFA_PONG", "no data for ZEFA_PONG ");
};

TEST_F(PingCommandTest, AllPongsGiveExitZeroSummaryAndTrace) {
    ScriptedPeer peer;
    peer.Answer(pong).Answer(pong).Answer(pong);
    peer.Start();
    EXPECT_EQ(Run("--port " + std::to_string(peer.Port()) + " --count 3 --timeout 2 --trace " +
                  (dir / "t-").string()),
              0);
    const std::string out = ReadFile(dir / "out");
    for (int seq = 1; seq <= 3; ++seq) {
        EXPECT_NE(out.find("seq=" + std::to_string(seq) + " time="), std::string::npos) << out;
    }
    EXPECT_NE(out.find("3 pings, 3 pongs, min/median/max = "), std::string::npos) << out;
    EXPECT_EQ(ReadFile(dir / "err"), "");
    peer.Join();
    const auto got = peer.Received();
    ASSERT_EQ(got.size(), 3u);
    for (const auto& message : got) EXPECT_EQ(message, ping);

    std::vector<fs::path> traces;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind("t-ZEFA2000Client-", 0) == 0) {
            traces.push_back(entry.path());
        }
    }
    ASSERT_EQ(traces.size(), 1u);
    const std::string trace = ReadFile(traces[0]);
    EXPECT_EQ(std::count(trace.begin(), trace.end(), '\n'), 6);
    EXPECT_NE(trace.find(": ServerToClient_ZEFA_PONG\n"), std::string::npos);
}

TEST_F(PingCommandTest, WrongReplyGivesExitOneWithTheClientsText) {
    ScriptedPeer peer;
    peer.Answer(pong).Answer(pr::PackEmpty("ZEFA_OK"));
    peer.Start();
    EXPECT_EQ(Run("--host 127.0.0.1 --port " + std::to_string(peer.Port()) + " --count 2"), 1);
    EXPECT_NE(ReadFile(dir / "out").find("2 pings, 1 pongs"), std::string::npos);
    EXPECT_NE(ReadFile(dir / "err").find("a different message was received as follows: ZEFA_OK"),
              std::string::npos);
}

TEST_F(PingCommandTest, RefusedPortIsReported) {
    EXPECT_EQ(Run("--port 40000"), 1);
    EXPECT_NE(ReadFile(dir / "err").find("METHOD -- OpenConnection Overflow"), std::string::npos);
}

}  // namespace
}  // namespace zefa::test
