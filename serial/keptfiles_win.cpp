#include "serial/keptfiles.h"

#include "serial/keptfiles_p.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <io.h>
#include <windows.h>

namespace {

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
}

} // namespace

std::string UserConfigDirectory(const char* localAppData, const char* userProfile)
{
    std::string root;
    if (localAppData != nullptr && localAppData[0] != '\0') {
        root = localAppData;
    } else if (userProfile != nullptr && userProfile[0] != '\0') {
        root = std::string(userProfile) + "\\AppData\\Local";
    } else {
        root = ".";
    }
    while (root.size() > 1 && (root.back() == '\\' || root.back() == '/')) {
        root.pop_back();
    }
    return root + "\\" + KEPT_FILES_FOLDER_NAME;
}

std::string UserConfigDirectory()
{
    return UserConfigDirectory(std::getenv("LOCALAPPDATA"), std::getenv("USERPROFILE"));
}

bool IsSystemLocation(const std::string& directory)
{
    // A 32-bit program without a manifest has its writes below Program
    // Files quietly redirected, so a probe there would succeed.
    const std::string folder = Lower(directory);
    for (const char* name : {"ProgramFiles", "ProgramFiles(x86)", "ProgramW6432"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || value[0] == '\0') {
            continue;
        }
        const std::string prefix = Lower(value);
        if (folder.compare(0, prefix.size(), prefix) == 0 &&
            (folder.size() == prefix.size() || folder[prefix.size()] == '\\')) {
            return true;
        }
    }
    return false;
}

bool IsUsersOwnFolder(const std::string& directory)
{
    const std::string probe = directory + "\\.ostrelle-probe-" + std::to_string(GetCurrentProcessId());
    const HANDLE file = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}

void MakeUserFolder(const std::string& directory)
{
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
}

KeptAppendFile OpenKeptFileToAppend(const std::string& path)
{
    namespace fs = std::filesystem;
    KeptAppendFile kept;
    std::error_code ec;
    const fs::file_status entry = fs::symlink_status(path, ec);
    if (fs::is_symlink(entry)) {
        kept.refused = path + " is a symbolic link. The program writes its files only as files of their own, "
                              "never through a link: remove the link to write there again.";
        return kept;
    }
    if (fs::exists(entry) && !fs::is_regular_file(entry)) {
        kept.refused = path + " is not a regular file.";
        return kept;
    }
    errno = 0;
    kept.file = std::fopen(path.c_str(), "a+b");
    if (kept.file == nullptr) {
        kept.refused = path + ": " + std::strerror(errno != 0 ? errno : EIO);
        return kept;
    }
    (void)std::setvbuf(kept.file, nullptr, _IONBF, 0); // as on POSIX: nothing held back
    if (std::fseek(kept.file, 0, SEEK_END) == 0) {
        kept.size = std::ftell(kept.file);
    }
    if (kept.size > 0 && std::fseek(kept.file, -1, SEEK_END) == 0) {
        kept.endsMidLine = std::fgetc(kept.file) != '\n';
    }
    return kept;
}

bool CutKeptFile(std::FILE* file, long size)
{
    return ::_chsize_s(::_fileno(file), size) == 0;
}
