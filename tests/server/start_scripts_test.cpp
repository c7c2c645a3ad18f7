// The generated start scripts in both dialects, the drive part of desktop
// paths, and the process-id file handling of a real started process.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "server/server_start.h"
#include "server_fixture.h"

namespace zefa::test {
namespace {

using server_start::BuildStartScripts;
using server_start::ScriptDialect;
using server_start::StartScriptRequest;
using ::testing::ElementsAre;

StartScriptRequest Batch(const std::string& model_path) {
    StartScriptRequest r;
    r.dialect = ScriptDialect::Batch;
    r.modelPath = model_path;
    r.exe = "c:\\ZEFA-2000\\zefa2000-4.05.exe";
    r.serverName = "zefa2000";
    r.host = "pipehost";
    return r;
}

TEST(BatchScript, DriveLetterPathGivesThreeLines) {
    const auto s = BuildStartScripts(Batch("c:\\models\\pipe"));
    EXPECT_EQ(s.error, "");
    EXPECT_THAT(s.local, ElementsAre("c:", "cd c:\\models\\pipe",
                                     "\"c:\\ZEFA-2000\\zefa2000-4.05.exe\" -server zefa2000"));
    EXPECT_TRUE(s.remote.empty());
}

TEST(BatchScript, NetworkShareMapsAFreeDriveLetterDToZ) {
    const auto s = BuildStartScripts(Batch("\\\\srv\\models\\pipe\\\\srv\\models"));
    ASSERT_EQ(s.error, "");
    ASSERT_EQ(s.local.size(), 1u + 23u * 4u + 13u);
    EXPECT_EQ(s.local[0], "set myDrive=nothing");
    EXPECT_EQ(s.local[1], "set myDrive=D:");
    // Every occurrence of the drive part is replaced.
    EXPECT_EQ(s.local[2], "if exist \"%myDrive%\\pipe%myDrive%\" goto worky");
    EXPECT_EQ(s.local[3], "net use %myDrive% \"\\\\srv\\models\" /PERSISTENT:NO");
    EXPECT_EQ(s.local[4], "if NOT ERRORLEVEL 1 goto worky");
    EXPECT_EQ(s.local[89], "set myDrive=Z:");
    const std::vector<std::string> tail(s.local.end() - 13, s.local.end());
    EXPECT_THAT(tail,
                ElementsAre("goto noworky", ":worky", "%myDrive%", "cd %myDrive%\\pipe%myDrive%",
                            "Start /WAIT /I \"ZEFA2000 Server\" "
                            "\"c:\\ZEFA-2000\\zefa2000-4.05.exe\" -server zefa2000",
                            "c:", "net use %myDrive% /delete", "goto end", ":noworky",
                            "echo YOU HAVE NO FURTHER AVAILABLE DRIVE LETTERS ON THIS MACHINE!!!",
                            "pause", ":end", "set myDrive="));
}

TEST(BatchScript, RemoteServerRunsTheRemoteFileThroughTheRemoteShell) {
    auto r = Batch("d:\\pipe");
    r.remote = true;
    r.remoteScriptPath = "d:\\pipe\\zefaserverstartRemote.bat";
    const auto s = BuildStartScripts(r);
    EXPECT_THAT(s.local, ElementsAre("rsh pipehost \\\"d:\\pipe\\zefaserverstartRemote.bat\\\"",
                                     "pause", "pause", "pause", "pause"));
    EXPECT_THAT(s.remote, ElementsAre("d:", "cd d:\\pipe",
                                      "\"c:\\ZEFA-2000\\zefa2000-4.05.exe\" -server zefa2000"));
}

TEST(BatchScript, PathWithoutDriveOrShareIsRefused) {
    for (const char* path : {"models\\pipe", "\\\\", "\\single", ""}) {
        const auto s = BuildStartScripts(Batch(path));
        EXPECT_EQ(s.error, server_start::kInvalidModelPathMessage) << path;
        EXPECT_TRUE(s.local.empty()) << path;
    }
    EXPECT_EQ(server_start::DrivePart("C:\\x"), "C:");
    EXPECT_EQ(server_start::DrivePart("\\\\srv\\share"), "\\\\srv\\share");
    EXPECT_EQ(server_start::DrivePart("/home/x"), "");
}

StartScriptRequest Shell(const std::string& model_path) {
    StartScriptRequest r;
    r.modelPath = model_path;
    r.exe = "/opt/zefa/bin/zefa-server";
    r.serverName = "16801";
    r.host = "pipe-host.example";
    return r;
}

TEST(ShellScript, LocalScriptChangesToTheModelFolderAndExecsTheServer) {
    const auto s = BuildStartScripts(Shell("/srv/models/pipe"));
    EXPECT_EQ(s.error, "");
    EXPECT_THAT(s.local, ElementsAre("cd '/srv/models/pipe' || exit 1",
                                     "exec '/opt/zefa/bin/zefa-server' -server '16801'"));
}

TEST(ShellScript, ValuesAreQuotedSoTheyCannotRunCommands) {
    auto r = Shell("/srv/it's here; rm -rf ~");
    r.exe = "/opt/$(touch x)/`id`/zefa server";
    const auto s = BuildStartScripts(r);
    EXPECT_THAT(s.local, ElementsAre("cd '/srv/it'\\''s here; rm -rf ~' || exit 1",
                                     "exec '/opt/$(touch x)/`id`/zefa server' -server '16801'"));
}

TEST(ShellScript, UnsafeServerNameOrHostIsRefusedBeforeAnythingIsWritten) {
    for (const char* name : {"zefa;reboot", "a b", "-x", "", "$(id)"}) {
        auto r = Shell("/srv/models");
        r.serverName = name;
        const auto s = BuildStartScripts(r);
        EXPECT_THAT(s.error, ::testing::HasSubstr("may only contain letters, digits")) << name;
        EXPECT_TRUE(s.local.empty());
    }
    auto r = Shell("/srv/models");
    r.remote = true;
    r.host = "-oProxyCommand=sh";
    EXPECT_THAT(BuildStartScripts(r).error, ::testing::HasSubstr("The ZEFA Host"));
    // A local host is not written anywhere, so its text does not matter.
    r.remote = false;
    EXPECT_EQ(BuildStartScripts(r).error, "");
}

TEST(ShellScript, RelativeModelPathIsNotRecognized) {
    EXPECT_EQ(BuildStartScripts(Shell("models/pipe")).error,
              server_start::kInvalidModelPathMessage);
    EXPECT_EQ(BuildStartScripts(Shell("c:\\models")).error, server_start::kInvalidModelPathMessage);
}

TEST(ShellScript, RemoteServerIsStartedOverSsh) {
    auto r = Shell("/srv/models");
    r.remote = true;
    r.remoteScriptPath = "/srv/models/zefaserverstartRemote.sh";
    const auto s = BuildStartScripts(r);
    EXPECT_THAT(s.local, ElementsAre("ssh 'pipe-host.example' 'sh '\\''/srv/models/"
                                     "zefaserverstartRemote.sh'\\'''"));
    EXPECT_THAT(s.remote, ElementsAre("cd '/srv/models' || exit 1",
                                      "exec '/opt/zefa/bin/zefa-server' -server '16801'"));
}

TEST(ShellScript, WrittenScriptRunsInTheShellWithTheValuesIntact) {
    TempFolder dir;
    const auto marker = dir.Path() / "it's $(here)";
    auto r = Shell(dir.Str());
    r.exe = "/bin/sh";
    // The "server" is the shell: with "-server" as script name it fails, but
    // first the cd must have reached the folder with the odd name.
    std::filesystem::create_directory(marker);
    r.modelPath = marker.string();
    auto s = BuildStartScripts(r);
    s.local[1] = "pwd > ../where.txt";
    const auto script = dir.Path() / "start.sh";
    ASSERT_TRUE(server_start::WriteScript(script.string(), s.local, ScriptDialect::Shell));
    EXPECT_EQ(ReadFile(script),
              "cd '" + dir.Str() + "/it'\\''s $(here)' || exit 1\npwd > ../where.txt\n");
    ASSERT_EQ(std::system(("/bin/sh '" + script.string() + "'").c_str()), 0);
    EXPECT_EQ(ReadFile(dir.Path() / "where.txt"), marker.string() + "\n");
}

TEST(LocalOrRemote, LoopbackNamesInAnyCaseAreLocal) {
    EXPECT_FALSE(server_start::IsRemoteHost("LocalHost"));
    EXPECT_FALSE(server_start::IsRemoteHost("my.LOCALHOST.domain"));
    EXPECT_FALSE(server_start::IsRemoteHost("127.0.0.1"));
    char name[256] = {};
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    EXPECT_FALSE(server_start::IsRemoteHost(name));
}

// Process-id files live in a temporary extension folder.
class PidFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        server_start::SetExtensionFolder(ext.Str());
        script = (work.Path() / "start.sh").string();
        WriteFile(script, "exec sleep 30\n");
    }
    void TearDown() override {
        for (int pid : started)
            if (pid > 0) ::kill(pid, SIGKILL);
        for (int pid : started) WaitGone(pid);
        server_start::SetExtensionFolder(std::nullopt);
    }
    static bool WaitGone(int pid) {
        for (int i = 0; i < 300; ++i) {
            if (!server_start::IsProcessRunning(pid)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    TempFolder ext, work;
    std::string script;
    std::vector<int> started;
};

TEST_F(PidFiles, StartRecordsTheProcessAndASecondStartFindsItRunning) {
    const auto first = server_start::StartServerProcess("16850", script, 0);
    started.push_back(first);
    ASSERT_GT(first, 0);
    EXPECT_TRUE(server_start::IsProcessRunning(first));
    EXPECT_EQ(ReadFile(ext.Path() / "16850.pid"), std::to_string(first) + "\n");
    const auto second = server_start::StartServerProcess("16850", script, 0);
    EXPECT_EQ(second, first);
    // Once it has ended, a new one is started and recorded.
    ::kill(first, SIGKILL);
    ASSERT_TRUE(WaitGone(first));
    const auto third = server_start::StartServerProcess("16850", script, 0);
    started.push_back(third);
    EXPECT_GT(third, 0);
    EXPECT_NE(third, first);
    EXPECT_EQ(ReadFile(ext.Path() / "16850.pid"), std::to_string(third) + "\n");
}

TEST_F(PidFiles, GarbageInThePidFileRecordsNoProcess) {
    // Ids below 1 name process groups here, never a server of ours.
    EXPECT_FALSE(server_start::IsProcessRunning(0));
    EXPECT_FALSE(server_start::IsProcessRunning(-1));
    EXPECT_TRUE(server_start::IsProcessRunning(::getpid()));
    WriteFile(ext.Path() / "16851.pid", "not a number\n");
    const auto pid = server_start::StartServerProcess("16851", script, 0);
    started.push_back(pid);
    EXPECT_GT(pid, 0);
    EXPECT_TRUE(server_start::IsProcessRunning(pid));
}

TEST_F(PidFiles, DeletePidFilesRemovesOnlyPidFiles) {
    WriteFile(ext.Path() / "a.pid", "1\n");
    WriteFile(ext.Path() / "zefa2000.pid", "2\n");
    WriteFile(ext.Path() / "keep.pidx", "3\n");
    WriteFile(ext.Path() / "keep.txt", "4\n");
    server_start::DeletePidFiles();
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(ext.Path()))
        left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_THAT(left, ElementsAre("keep.pidx", "keep.txt"));
    EXPECT_EQ(server_start::PidFileName("zefa2000"), ext.Str() + "/zefa2000.pid");
}

}  // namespace
}  // namespace zefa::test
