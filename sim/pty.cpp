#include "sim/pty.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

std::string Reason(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

bool MakeDirectories(const std::string& directory, std::string& error)
{
    if (directory.empty()) {
        return true;
    }
    struct stat st {};
    if (::stat(directory.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            return true;
        }
        error = directory + " is not a directory";
        return false;
    }
    const auto cut = directory.find_last_of('/');
    if (cut != std::string::npos && cut > 0 && !MakeDirectories(directory.substr(0, cut), error)) {
        return false;
    }
    if (::mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) {
        error = Reason("Creating " + directory);
        return false;
    }
    return true;
}

} // namespace

PseudoTerminal::~PseudoTerminal()
{
    Unlink();
    Close();
}

bool PseudoTerminal::Open(std::string& error)
{
    // errno is read before the close can change it.
    const auto fail = [&](const std::string& what) {
        error = Reason(what);
        Close();
        return false;
    };
    masterFd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (masterFd < 0) {
        return fail("Opening a pseudo-terminal");
    }
    char name[PATH_MAX] = {};
    if (::grantpt(masterFd) != 0 || ::unlockpt(masterFd) != 0 || ::ptsname_r(masterFd, name, sizeof name) != 0) {
        return fail("Preparing the pseudo-terminal");
    }
    slavePath = name;
    slaveFd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveFd < 0) {
        return fail("Opening " + slavePath);
    }
    termios tio {};
    if (::tcgetattr(slaveFd, &tio) != 0) {
        return fail("Reading the line settings of " + slavePath);
    }
    ::cfmakeraw(&tio);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    if (::tcsetattr(slaveFd, TCSANOW, &tio) != 0) {
        return fail("Setting raw mode on " + slavePath);
    }
    const int flags = ::fcntl(masterFd, F_GETFL);
    if (flags < 0 || ::fcntl(masterFd, F_SETFL, flags | O_NONBLOCK) != 0) {
        return fail("Making the master side non-blocking");
    }
    return true;
}

bool PseudoTerminal::Link(const std::string& path, std::string& error)
{
    const auto cut = path.find_last_of('/');
    if (cut != std::string::npos && cut > 0 && !MakeDirectories(path.substr(0, cut), error)) {
        return false;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            error = path + " is a directory";
            return false;
        }
        if (::unlink(path.c_str()) != 0) {
            error = Reason("Replacing " + path);
            return false;
        }
    }
    if (::symlink(slavePath.c_str(), path.c_str()) != 0) {
        error = Reason("Linking " + path + " to " + slavePath);
        return false;
    }
    linkPath = path;
    return true;
}

void PseudoTerminal::Unlink()
{
    if (linkPath.empty()) {
        return;
    }
    char target[PATH_MAX] = {};
    const ssize_t n = ::readlink(linkPath.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == slavePath) {
        ::unlink(linkPath.c_str());
    }
    linkPath.clear();
}

void PseudoTerminal::ReleaseExclusive()
{
#ifdef TIOCNXCL
    if (slaveFd >= 0) {
        ::ioctl(slaveFd, TIOCNXCL);
    }
#endif
}

void PseudoTerminal::Close()
{
    if (slaveFd >= 0) {
        ::close(slaveFd);
        slaveFd = -1;
    }
    if (masterFd >= 0) {
        ::close(masterFd);
        masterFd = -1;
    }
}

} // namespace sim
