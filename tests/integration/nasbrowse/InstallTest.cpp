// What `cmake --install` puts in place: the program, which loads only the
// plug-in installed with it, the man page, the bash completion and the
// daemon's unit.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "integration/nasbrowse/NasbrowseRun.h"
#include "NfsTestServer.h"

namespace {

using namespace nbtest;
namespace fs = std::filesystem;

// Runs `command` with sh; its stdout, or "" with `status` set.
std::string Shell(const std::string& command, int& status) {
    const nsbtest::CommandOutcome outcome = nsbtest::RunCommand(command + " 2>&1");
    status = outcome.status;
    return outcome.output;
}

class NasbrowseInstall : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string program = Program();
        build_ = program.substr(0, program.rfind('/', program.rfind('/') - 1));
        if (!fs::exists(build_ + "/CMakeCache.txt")) GTEST_SKIP() << "no build tree at " << build_;
        char dir[] = "/tmp/nasbrowse-prefix-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        prefix_ = dir;
        int status = 0;
        const std::string log =
            Shell("cmake --install '" + build_ + "' --prefix '" + prefix_ + "'", status);
        ASSERT_EQ(status, 0) << log;
    }
    void TearDown() override {
        std::error_code ignored;
        if (!prefix_.empty()) fs::remove_all(prefix_, ignored);
    }
    std::string build_, prefix_;
};

TEST_F(NasbrowseInstall, TheInstalledProgramLoadsOnlyTheInstalledPlugin) {
    nfstest::NfsTestServer server;
    const std::string vol1 = server.AddExport("/vol/vol1");
    nfstest::MakeFile(vol1 + "/a.txt", 1);
    server.Start();

    const std::string installed = prefix_ + "/bin/nasbrowse";
    ASSERT_TRUE(fs::exists(installed));
    EXPECT_FALSE(fs::exists(prefix_ + "/bin/nasbrowse-build-tree"));
    int status = 0;
    EXPECT_EQ(Shell("'" + installed + "' --version", status).rfind("nasbrowse ", 0), 0u);
    EXPECT_EQ(status, 0);
    const std::string listing =
        Shell("XDG_STATE_HOME=" + StateHome() + " '" + installed + "' browse " + server.Address() +
                  " /vol/vol1 --format json --log-file - --log-level 9",
              status);
    EXPECT_EQ(status, 0) << listing;
    EXPECT_NE(listing.find("\"a.txt\""), std::string::npos) << listing;

    // Without the installed plug-in it fails, naming that one, though the
    // build tree's is still there.
    fs::remove(prefix_ + "/lib/libNASShareBrowse.so");
    const std::string missing =
        Shell("XDG_STATE_HOME=" + StateHome() + " '" + installed + "' exports " + server.Address(),
              status);
    EXPECT_NE(status, 0);
    EXPECT_NE(
        missing.find("cannot load the plug-in " + prefix_ + "/bin/../lib/libNASShareBrowse.so"),
        std::string::npos)
        << missing;
    EXPECT_EQ(Slurp(installed).find(build_ + "/libNASShareBrowse.so"), std::string::npos);
}

// Only `serve --http` loads the HTTP module, and with it the HTTP, TLS and
// compression libraries; without the module the rest still works.
TEST_F(NasbrowseInstall, OnlyServeHttpLoadsTheHttpModule) {
    const std::string installed = prefix_ + "/bin/nasbrowse";
    const std::string module = prefix_ + "/bin/../lib/nasbrowse/nasbrowse-http.so";
    ASSERT_TRUE(fs::exists(module));
    int status = 0;
    const std::string libraries = Shell("ldd '" + installed + "'", status);
    ASSERT_EQ(status, 0) << libraries;
    for (const char* library : {"httplib", "libssl", "libcrypto", "libbrotli", "libz."})
        EXPECT_EQ(libraries.find(library), std::string::npos) << library << " in\n" << libraries;

    fs::remove(module);
    const std::string state = "XDG_STATE_HOME=" + StateHome() + " timeout -s TERM 2 '";
    const std::string missing =
        Shell(state + installed + "' serve --http 127.0.0.1:0 --listen 127.0.0.1:0", status);
    EXPECT_EQ(status, 1) << missing;
    EXPECT_EQ(missing, "nasbrowse: cannot load the HTTP module " + module +
                           " (cannot open shared object file: No such file or directory); "
                           "serve --http needs it: reinstall nasbrowse\n");
    // The binary listener needs no module.
    const std::string served = Shell(state + installed + "' serve --listen 127.0.0.1:0", status);
    EXPECT_NE(served.find("listening on 127.0.0.1:"), std::string::npos) << served;
    EXPECT_NE(served.find("nasbrowse: stopped"), std::string::npos) << served;
}

TEST_F(NasbrowseInstall, ManPageCompletionAndUnitAreInstalled) {
    const std::string man = prefix_ + "/share/man/man1/nasbrowse.1";
    ASSERT_TRUE(fs::exists(man));
    int status = 0;
    const std::string warnings = Shell("groff -man -ww -z '" + man + "'", status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(warnings, "");

    const std::string completion = prefix_ + "/share/bash-completion/completions/nasbrowse";
    ASSERT_TRUE(fs::exists(completion));
    // Completes `line` as bash would at its end.
    auto complete = [&](const std::string& line) {
        const std::string script = "/tmp/nasbrowse-complete-" + std::to_string(getpid()) + ".sh";
        std::ofstream(script)
            << "source '" << completion << "'\n"
            << "read -ra COMP_WORDS <<< '" << line << "'\n"
            << (line.back() == ' ' ? "COMP_WORDS+=('')\n" : "")
            << "COMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n_nasbrowse\necho \"${COMPREPLY[*]}\"\n";
        int rc = 0;
        const std::string out = Shell("bash '" + script + "'", rc);
        unlink(script.c_str());
        return out.substr(0, out.find('\n'));
    };
    EXPECT_EQ(complete("nasbrowse br"), "browse");
    EXPECT_EQ(complete("nasbrowse exports x --format "), "table json");
    EXPECT_EQ(complete("nasbrowse browse x --format "), "table json jsonl xml");
    EXPECT_EQ(complete("nasbrowse browse x --via "), "gui xml");
    EXPECT_EQ(complete("nasbrowse serve --al"), "--allow");

    // The installed program serves the installed page (the build tree's is
    // out of its reach: the marker is not installed).
    const std::string served = Shell("XDG_STATE_HOME=" + StateHome() + " timeout -s TERM 2 '" +
                                         prefix_ + "/bin/nasbrowse' serve --http 127.0.0.1:0",
                                     status);
    EXPECT_TRUE(fs::exists(prefix_ + "/share/nasbrowse/web/index.html"));
    EXPECT_NE(served.find("listening on http://127.0.0.1:"), std::string::npos) << served;
    EXPECT_NE(served.find("nasbrowse: stopped"), std::string::npos) << served;  // by the TERM

    const std::string unit = Slurp(prefix_ + "/lib/systemd/system/nasbrowse.service");
    EXPECT_NE(unit.find("ExecStart=" + prefix_ + "/bin/nasbrowse serve --listen 127.0.0.1:7460"),
              std::string::npos)
        << unit;
    EXPECT_NE(unit.find("DynamicUser=yes"), std::string::npos);
    EXPECT_NE(unit.find("ProtectSystem=strict"), std::string::npos);
}

}  // namespace
