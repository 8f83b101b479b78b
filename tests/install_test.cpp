// SPDX-License-Identifier: MIT
// The programs as users get them: installed with cmake --install, or from the Debian package.
#include "harness.h"

namespace
{

// Installing and packaging both write into the build tree.
struct Installation : Loopback {
    void SetUp() override
    {
        Loopback::SetUp();
        if (!IsSkipped() && !HasFailure() && access(BUILD_DIR, W_OK) != 0)
            GTEST_SKIP() << "cannot write the install manifest into " BUILD_DIR;
    }
};

TEST_F(Installation, InstalledProgramsAndManualPagesWork)
{
    if (access(MAN_PATH, X_OK) != 0)
        SKIP_OR_FAIL("man is not installed");
    guarded([] {
        TempDir prefix;
        // One component only, so that the install_manifest.txt of a user's own install is kept.
        Child install(CMAKE_PATH, {.args = {"--install", BUILD_DIR, "--component", "greeting",
                                            "--prefix", prefix.path}});
        install.finish();
        ASSERT_EQ(install.code(), 0) << install.how();
        expect_demo_exchange(prefix.path + "/bin");

        for (std::string page : {"client", "greeting-peer"}) {
            SCOPED_TRACE(page);
            Child man(MAN_PATH, {.args = {"--warnings", "-E", "UTF-8", "-l",
                                          prefix.path + "/share/man/man1/" + page + ".1"},
                                 .env = {"LC_ALL=C.UTF-8", "MANROFFSEQ=", "MANWIDTH=80"}});
            man.finish();
            EXPECT_EQ(man.stderr_text, "");
            EXPECT_EQ(man.code(), 0);
            EXPECT_NE(man.stdout_text.find("greeting " VERSION), std::string::npos);
            for (std::string section :
                 {"NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "DIAGNOSTICS",
                  page == "client" ? "EXAMPLES" : "OPTIONS", "SEE ALSO"})
                EXPECT_NE(man.stdout_text.find("\n" + section + "\n"), std::string::npos)
                    << section;
        }
    });
}

TEST_F(Installation, PackagedProgramsWork)
{
    if (access(DPKG_BUILDPACKAGE_PATH, X_OK) != 0 || access(DH_PATH, X_OK) != 0)
        SKIP_OR_FAIL("dpkg-dev and debhelper are needed to build the Debian package");
    guarded([] {
        // Built from a copy of the sources, without its tests (these) nor their dependencies.
        TempDir dir;
        std::filesystem::create_directory(dir.path + "/src");
        for (const auto &entry : std::filesystem::directory_iterator(SOURCE_DIR)) {
            const std::string name = entry.path().filename();
            if (name != ".git" && name != "out" && name != "build" && name.rfind("obj-", 0) != 0)
                std::filesystem::copy(entry, dir.path + "/src/" + name,
                                      std::filesystem::copy_options::recursive);
        }
        Child build("/usr/bin/env",
                    {.args = {"-C", dir.path + "/src", "DEB_BUILD_OPTIONS=nocheck noddebs",
                              DPKG_BUILDPACKAGE_PATH, "-us", "-uc", "-b", "-d"}});
        build.deadline += std::chrono::seconds(290); // compiling under qemu-user is slow
        build.finish();
        ASSERT_EQ(build.code(), 0) << build.stdout_text << build.how();
        // Unpacked, never installed: the machine's own package database is left alone.
        Child unpack("/bin/sh",
                     {.args = {"-c", DPKG_DEB_PATH " -x \"$0\"/*.deb \"$0\"/root", dir.path}});
        unpack.finish();
        ASSERT_EQ(unpack.code(), 0) << unpack.how();
        expect_demo_exchange(dir.path + "/root/usr/bin");
    });
}

} // namespace
