#include "transfer/filesteps.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace filesteps {

std::FILE* CreateNewFile(const std::string& filePath, bool privateFile)
{
#ifdef _WIN32
    (void)privateFile; // the user's own profile folder keeps it private there
    const int fd = ::_open(filePath.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    std::FILE* stream = fd >= 0 ? ::_fdopen(fd, "wb") : nullptr;
    if (fd >= 0 && stream == nullptr) {
        ::_close(fd);
    }
#else
    const int fd = ::open(filePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, privateFile ? 0600 : 0666);
    std::FILE* stream = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (fd >= 0 && stream == nullptr) {
        ::close(fd);
    }
#endif
    return stream;
}

bool SyncToDisk(std::FILE* stream)
{
#ifdef _WIN32
    return std::fflush(stream) == 0 && ::_commit(::_fileno(stream)) == 0;
#else
    return std::fflush(stream) == 0 && ::fsync(fileno(stream)) == 0;
#endif
}

bool RenameOver(const std::string& from, const std::string& to)
{
#ifdef _WIN32
    if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
        return true;
    }
    errno = ::GetLastError() == ERROR_ACCESS_DENIED || ::GetLastError() == ERROR_SHARING_VIOLATION ? EACCES : EIO;
    return false;
#else
    return ::rename(from.c_str(), to.c_str()) == 0;
#endif
}

} // namespace filesteps
