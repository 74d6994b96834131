// Where the program keeps its files: beside the executable only when that
// folder is the user's own to write in and no install put it there.
#include "serial/keptfiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

TEST(KeptFiles, UserConfigDirectoryFollowsTheBaseDirectoryRules)
{
    const passwd* me = ::getpwuid(::geteuid());
    ASSERT_NE(me, nullptr);
    const std::string ownHome = me->pw_dir;
    const struct {
        const char* xdg;
        const char* home;
        std::string folder;
    } cases[] = {
        {"/srv/cfg", "/home/ann", "/srv/cfg/ostrelle"},
        {"/srv/cfg//", "/home/ann", "/srv/cfg/ostrelle"},
        // A relative or empty XDG_CONFIG_HOME is ignored.
        {"cfg", "/home/ann", "/home/ann/.config/ostrelle"},
        {"", "/home/ann/", "/home/ann/.config/ostrelle"},
        {nullptr, "/home/ann", "/home/ann/.config/ostrelle"},
        // Without HOME, the password database's home of the user.
        {nullptr, nullptr, ownHome + "/.config/ostrelle"},
        {nullptr, "", ownHome + "/.config/ostrelle"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UserConfigDirectory(c.xdg, c.home), c.folder)
            << (c.xdg ? c.xdg : "(unset)") << " " << (c.home ? c.home : "(unset)");
    }
}

TEST(KeptFiles, OnlyTheUsersOwnUninstalledFolderKeepsFilesBesideTheExecutable)
{
    const fs::path root = fs::temp_directory_path() / ("ostrelle-kept-" + std::to_string(::getpid()));
    fs::remove_all(root);
    const std::string user = (root / "home/.config/ostrelle").string();
    const auto create = [](const fs::path& path, fs::perms perms = fs::perms::owner_all) {
        fs::create_directories(path);
        fs::permissions(path, perms);
        return path.string();
    };

    // A build folder or a portable copy of the user's: kept beside, and the
    // probe leaves nothing behind.
    const std::string build = create(root / "build");
    EXPECT_TRUE(IsUsersOwnFolder(build));
    EXPECT_EQ(ChooseKeptFilesDirectory(build, user), build);
    EXPECT_TRUE(fs::is_empty(build));

    // One its owner made read-only: not even root writes there.
    const std::string readOnly = create(root / "readonly", fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(IsUsersOwnFolder(readOnly));
    EXPECT_EQ(ChooseKeptFilesDirectory(readOnly, user), user);

    EXPECT_FALSE(IsUsersOwnFolder((root / "missing").string()));

    // Installed: a system prefix whoever runs it, or any prefix that an
    // install laid the metainfo into, although the user owns it. The
    // metainfo is looked for in a tree of the test's own, where the package
    // is installed into /usr and /usr/local whatever this machine holds.
    const fs::path tree = root / "tree";
    for (const char* prefix : {"usr", "usr/local"}) {
        fs::create_directories(tree / prefix / "share/metainfo");
        std::ofstream(tree / prefix / "share/metainfo" / (std::string(APPSTREAM_ID) + ".metainfo.xml")) << "<c/>\n";
    }
    for (const char* system : {"/usr/bin", "/usr/local/bin", "/bin", "/opt/ostrelle/bin", "/snap/ostrelle/4/bin"}) {
        EXPECT_TRUE(IsInstalledLocation(system, tree.string())) << system;
        EXPECT_EQ(ChooseKeptFilesDirectory(system, user), user) << system;
    }
    // A build below /usr/src or /opt is still a build folder, and so is a
    // folder beside an installed bin/ whose name only begins like it.
    for (const char* other : {"/usr/src/ostrelle/build", "/opt/src/ostrelle/bin", "/opt/bin", "/usr/binx",
                              "/usr/local/bin2", "/usr/lib/ostrelle", "/home/ann/build", "/work/optical"}) {
        EXPECT_FALSE(IsInstalledLocation(other, tree.string())) << other;
    }
    const std::string localBin = create(root / "local/bin");
    EXPECT_FALSE(IsInstalledLocation(localBin));
    fs::create_directories(root / "local/share/metainfo");
    std::ofstream(root / "local/share/metainfo" / (std::string(APPSTREAM_ID) + ".metainfo.xml")) << "<component/>\n";
    EXPECT_TRUE(IsInstalledLocation(localBin));
    EXPECT_EQ(ChooseKeptFilesDirectory(localBin, user), user);

    // Another user's folder that this user may write in (root anywhere, or
    // anyone in /tmp) is still not the user's own.
    struct stat tmp {};
    if (::geteuid() != 0 && ::stat("/tmp", &tmp) == 0 && tmp.st_uid != ::geteuid()) {
        EXPECT_FALSE(IsUsersOwnFolder("/tmp"));
    }
    if (::geteuid() == 0) {
        const std::string others = create(root / "others");
        ASSERT_EQ(::chown(others.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(IsUsersOwnFolder(others));
        // A read-only mount refuses root as well, although the bits allow it.
        const std::string mounted = create(root / "mounted");
        if (::mount("tmpfs", mounted.c_str(), "tmpfs", MS_RDONLY, "mode=0755") == 0) {
            EXPECT_FALSE(IsUsersOwnFolder(mounted));
            ::umount(mounted.c_str());
        }
    }
    fs::permissions(readOnly, fs::perms::owner_all);
    fs::remove_all(root);
}

} // namespace
