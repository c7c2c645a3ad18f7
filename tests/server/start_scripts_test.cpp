// The generated start scripts in both dialects, the files the start writes
// (scripts and process-id files), and the automatic start of a real
// zefa-server end to end.
#include <sys/stat.h>
#include <unistd.h>

#include "host_world.h"
#include "live_server.h"
#include "server/server_start.h"

namespace zefa::test {
namespace {

using server_start::BuildStartScripts;
using server_start::ScriptDialect;
using server_start::StartScriptRequest;
using ::testing::ElementsAre;

StartScriptRequest Request(ScriptDialect dialect, const std::string& model_path) {
    StartScriptRequest r;
    r.dialect = dialect;
    r.modelPath = model_path;
    r.exe = dialect == ScriptDialect::Batch ? "c:\\ZEFA\\zefa.exe" : "/opt/zefa/zefa-server";
    r.serverName = "16801";
    r.host = "pipehost";
    return r;
}

TEST(BatchScript, ChangesDriveAndFolderOrMapsAShareToAFreeLetter) {
    EXPECT_THAT(BuildStartScripts(Request(ScriptDialect::Batch, "c:\\models\\pipe")).local,
                ElementsAre("c:", "cd c:\\models\\pipe", "\"c:\\ZEFA\\zefa.exe\" -server 16801"));
    // Every occurrence of the share is replaced by the letter, tried from D to Z.
    const auto s = BuildStartScripts(Request(ScriptDialect::Batch, "\\\\srv\\m\\pipe\\\\srv\\m"));
    ASSERT_EQ(s.local.size(), 1u + 23u * 4u + 13u);
    EXPECT_EQ(s.local[1], "set myDrive=D:");
    EXPECT_EQ(s.local[89], "set myDrive=Z:");
    EXPECT_EQ(s.local[s.local.size() - 10], "cd %myDrive%\\pipe%myDrive%");
}

TEST(ShellScript, ValuesAreQuotedLocallyAndForTheRemoteShell) {
    auto r = Request(ScriptDialect::Shell, "/srv/it's; rm -rf ~");
    r.exe = "/opt/$(id)/zefa server";
    r.host = "LocalHost";  // the server listens on the loopback interface only
    EXPECT_THAT(BuildStartScripts(r).local,
                ElementsAre("cd '/srv/it'\\''s; rm -rf ~' || exit 1",
                            "exec '/opt/$(id)/zefa server' -server '16801'"));
    r.host = "pipehost";  // this computer by its network name
    EXPECT_THAT(BuildStartScripts(r).local,
                ElementsAre("cd '/srv/it'\\''s; rm -rf ~' || exit 1",
                            "exec '/opt/$(id)/zefa server' -server '16801' --listen 0.0.0.0"));
    r.modelPath = "/srv/m";
    r.remote = true;
    r.remoteScriptPath = "/srv/m/zefaserverstartRemote.sh";
    const auto s = BuildStartScripts(r);
    EXPECT_THAT(s.local, ElementsAre("exec ssh -o BatchMode=yes 'pipehost' "
                                     "'sh '\\''/srv/m/zefaserverstartRemote.sh'\\'''"));
    EXPECT_EQ(server_start::ScriptNameFor("zefaserverstartLocal.sh", "16801"),
              "zefaserverstartLocal-16801.sh");
    EXPECT_THAT(s.remote,
                ElementsAre("cd '/srv/m' || exit 1",
                            "exec '/opt/$(id)/zefa server' -server '16801' --listen 0.0.0.0"));
}

TEST(ShellScript, UnsafeNamesAndRelativePathsAreRefused) {
    auto r = Request(ScriptDialect::Shell, "/srv/m");
    for (const char* name : {"zefa;reboot", "a b", "-x", "", "$(id)"}) {
        r.serverName = name;
        const auto s = BuildStartScripts(r);
        EXPECT_THAT(s.error, ::testing::HasSubstr("may only contain letters, digits")) << name;
        EXPECT_TRUE(s.local.empty());
    }
    r.serverName = "zefa2000";
    r.host = "-oProxyCommand=sh";
    r.remote = true;
    EXPECT_THAT(BuildStartScripts(r).error, ::testing::StartsWith("The ZEFA Host"));
}

TEST(StartScripts, ModelPathsThatAreNotAbsoluteAreRefused) {
    const std::pair<ScriptDialect, const char*> rows[] = {
        {ScriptDialect::Batch, "models\\pipe"}, {ScriptDialect::Batch, "\\\\"},
        {ScriptDialect::Batch, "\\single"},     {ScriptDialect::Batch, ""},
        {ScriptDialect::Shell, "models/pipe"},
    };
    for (const auto& [dialect, path] : rows) {
        EXPECT_EQ(BuildStartScripts(Request(dialect, path)).error,
                  server_start::kInvalidModelPathMessage)
            << path;
    }
}

TEST(LocalOrRemote, LoopbackNamesInAnyCaseAndOurOwnNameAreLocal) {
    EXPECT_FALSE(server_start::IsRemoteHost("LocalHost"));
    EXPECT_FALSE(server_start::IsRemoteHost("127.0.0.1"));
    char name[256] = {};
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    EXPECT_FALSE(server_start::IsRemoteHost(name));
}

// A planted link in place of a start script or a process-id file is replaced,
// never written through, and the new files are for their owner only.
TEST_F(HostWorld, ScriptsAndPidFilesReplaceAPlantedLink) {
    namespace fs = std::filesystem;
    const fs::path target = model_dir->Path() / "precious";
    WriteFile(target, "keep me\n");
    const fs::path script = case_dir->Path() / "zefaserverstartLocal.sh";
    const fs::path pid_file = ext_dir->Path() / "zefa2000.pid";
    fs::create_symlink(target, script);
    fs::create_symlink(target, pid_file);

    ASSERT_TRUE(server_start::WriteScript(script.string(), {"exit 0"}, ScriptDialect::Shell));
    const std::int32_t pid = server_start::StartServerProcess("zefa2000", script.string(), 0);
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(WaitGone(pid));

    EXPECT_EQ(ReadFile(target), "keep me\n");
    EXPECT_FALSE(fs::is_symlink(script));
    EXPECT_FALSE(fs::is_symlink(pid_file));
    EXPECT_EQ(ReadFile(script), "exit 0\n");
    EXPECT_EQ(ReadFile(pid_file), server_start::PidFileText(pid));
    EXPECT_EQ(fs::status(script).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(fs::status(pid_file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

// A server name that climbs out of the extension folder names no process-id
// file: a live process recorded there is neither taken for the server nor
// replaced by a new start.
TEST_F(HostWorld, AServerNameLeavingTheExtensionFolderNamesNoPidFile) {
    namespace fs = std::filesystem;
    fs::create_directories(ext_dir->Path() / "lib");
    fs::create_directories(ext_dir->Path() / "x");
    server_start::SetExtensionFolder((ext_dir->Path() / "lib").string());
    const std::string recorded = std::to_string(::getpid()) + "\n";  // alive, and not a server
    WriteFile(ext_dir->Path() / "x" / "evil.pid", recorded);
    const fs::path script = case_dir->Path() / "start.sh";
    WriteFile(script, "exit 0\n");

    EXPECT_EQ(server_start::PidFileName("../x/evil"), "");
    EXPECT_LT(server_start::StartServerProcess("../x/evil", script.string(), 0), 1);
    EXPECT_EQ(ReadFile(ext_dir->Path() / "x" / "evil.pid"), recorded);
    EXPECT_TRUE(fs::is_empty(ext_dir->Path() / "lib"));
}

// Auto-start of a real zefa-server on a free loopback port: connect, load,
// initialise, snapshot, stop; the server is gone afterwards.

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
    EXPECT_TRUE(Since().empty()) << ::testing::PrintToString(Since());
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
