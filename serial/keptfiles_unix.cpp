#include "serial/keptfiles.h"

#include "serial/keptfiles_p.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

std::string UserConfigDirectory(const char* xdgConfigHome, const char* home)
{
    // A relative XDG_CONFIG_HOME is to be ignored, as the base directory
    // rules say.
    const auto joined = [](std::string folder, const char* name) {
        while (!folder.empty() && folder.back() == '/') {
            folder.pop_back();
        }
        return folder + "/" + name;
    };
    if (xdgConfigHome != nullptr && xdgConfigHome[0] == '/') {
        return joined(xdgConfigHome, KEPT_FILES_FOLDER_NAME);
    }
    std::string root;
    if (home != nullptr && home[0] != '\0') {
        root = home;
    } else if (const passwd* entry = ::getpwuid(::geteuid()); entry != nullptr && entry->pw_dir != nullptr) {
        root = entry->pw_dir;
    }
    return joined(joined(root, ".config"), KEPT_FILES_FOLDER_NAME);
}

std::string UserConfigDirectory()
{
    return UserConfigDirectory(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
}

bool IsSystemLocation(const std::string& directory)
{
    // Where Debian's packages, the usual installers and a hand copy by root
    // put programs. Root may write there, yet must not: the folder is every
    // user's. Only the program folders themselves count, so that a build
    // below /usr/src or /opt keeps its files beside it.
    constexpr std::array<std::string_view, 7> programFolders{
        "/usr/bin", "/usr/sbin", "/usr/local/bin", "/usr/local/sbin", "/usr/games", "/bin", "/sbin",
    };
    if (std::find(programFolders.begin(), programFolders.end(), directory) != programFolders.end()) {
        return true;
    }
    for (const std::string_view prefix : {std::string_view("/snap/"), std::string_view("/nix/store/")}) {
        if (directory.compare(0, prefix.size(), prefix) == 0) {
            return true;
        }
    }
    // /opt/<package>/bin
    const std::string_view opt = "/opt/";
    const std::string_view bin = "/bin";
    return directory.size() > opt.size() + bin.size() && directory.compare(0, opt.size(), opt) == 0 &&
           directory.compare(directory.size() - bin.size(), bin.size(), bin) == 0 &&
           directory.find('/', opt.size()) == directory.size() - bin.size();
}

bool IsUsersOwnFolder(const std::string& directory)
{
    // Root passes every permission test, so ownership and the owner's write
    // bit decide first: root does not write into another user's build
    // folder, nor into one its owner made read-only.
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & S_IWUSR) == 0 || ::access(directory.c_str(), W_OK) != 0) {
        return false;
    }
    // access() cannot see every refusal (a server that maps root to nobody,
    // a file system that turns read-only underneath): make a file and
    // remove it.
    const std::string probe = directory + "/.ostrelle-probe-" + std::to_string(::getpid());
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            return ::unlink(probe.c_str()) == 0;
        }
        // A probe left by an earlier process of the same number.
        if (errno != EEXIST || ::unlink(probe.c_str()) != 0) {
            return false;
        }
    }
    return false;
}

void MakeUserFolder(const std::string& directory)
{
    // Each missing level is made private, as the base directory rules ask
    // of the configuration root.
    for (size_t cut = directory.find('/', 1); ; cut = directory.find('/', cut + 1)) {
        const std::string level = directory.substr(0, cut);
        if (::mkdir(level.c_str(), 0700) != 0 && errno != EEXIST) {
            return;
        }
        if (cut == std::string::npos) {
            return;
        }
    }
}

KeptAppendFile OpenKeptFileToAppend(const std::string& path)
{
    KeptAppendFile kept;
    // Read as well, for the last byte. Without waiting, so that a FIFO
    // in its place is refused below instead of holding the caller.
    constexpr int flags = O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    // O_EXCL makes a new file or fails; it never follows a link, so a
    // dangling one makes nothing and falls to the open below, which
    // refuses every link.
    bool made = true;
    int fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0600);
    if (fd < 0 && errno == EEXIST) {
        made = false;
        fd = ::open(path.c_str(), flags);
    }
    if (fd < 0) {
        const int error = errno;
        struct stat entry {};
        if (error == ELOOP && ::lstat(path.c_str(), &entry) == 0 && S_ISLNK(entry.st_mode)) {
            kept.refused = path + " is a symbolic link. The program writes its files only as files of their "
                                  "own, never through a link: remove the link to write there again.";
        } else if (error == EISDIR) {
            kept.refused = path + " is not a regular file.";
        } else {
            kept.refused = path + ": " + std::strerror(error);
        }
        return kept;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        kept.refused = path + " is not a regular file.";
        return kept;
    }
    if (made) {
        // The umask may have taken some of the owner's own bits.
        (void)::fchmod(fd, S_IRUSR | S_IWUSR); // at worst the umask's mode stands
    }
    kept.size = static_cast<long>(info.st_size);
    char last = '\n';
    kept.endsMidLine = kept.size > 0 && ::pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n';
    kept.file = ::fdopen(fd, "a+b");
    if (kept.file == nullptr) {
        kept.refused = path + ": " + std::strerror(errno);
        ::close(fd);
        return kept;
    }
    // Unbuffered: a write the disk refuses leaves nothing behind in a
    // buffer for the close to add after the file was cut back.
    (void)std::setvbuf(kept.file, nullptr, _IONBF, 0); // cannot fail before any input or output
    return kept;
}

bool CutKeptFile(std::FILE* file, long size)
{
    return ::ftruncate(::fileno(file), static_cast<off_t>(size)) == 0;
}
