#include "serial/keptfiles.h"

#include "serial/keptfiles_p.h"
#include "serial/portname.h"

#include <filesystem>
#include <system_error>

bool IsInstalledLocation(const std::string& executableDirectory, const std::string& root)
{
    if (IsSystemLocation(executableDirectory)) {
        return true;
    }
    // `cmake --install` into a prefix the user owns (~/.local, say) puts the
    // executables into a bin/ shared with other programs; the metainfo it
    // lays beside them tells such a tree from a build folder. Only bin/
    // itself: /usr/binx or /usr/lib/x beside an installed package is not
    // where the package put this program.
    namespace fs = std::filesystem;
    const fs::path folder(executableDirectory);
    if (folder.filename() != "bin") {
        return false;
    }
    std::error_code ec;
    const fs::path metainfo = fs::path(root + folder.parent_path().string()) / "share" / "metainfo" /
                              (std::string(APPSTREAM_ID) + ".metainfo.xml");
    return fs::exists(metainfo, ec);
}

std::string ChooseKeptFilesDirectory(const std::string& executableDirectory, const std::string& userDirectory)
{
    if (IsInstalledLocation(executableDirectory) || !IsUsersOwnFolder(executableDirectory)) {
        return userDirectory;
    }
    return executableDirectory;
}

const std::string& KeptFilesDirectory()
{
    static const std::string directory = [] {
        const std::string& beside = ExecutableDirectory();
        std::string chosen = ChooseKeptFilesDirectory(beside, UserConfigDirectory());
        if (chosen != beside) {
            MakeUserFolder(chosen);
        }
        return chosen;
    }();
    return directory;
}
