#include "keptfiles.h"

#include "keptfiles_p.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <system_error>

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
