#include "audio/streamurl.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace audio {

namespace {

// A password file is a line; anything larger is the wrong file.
constexpr size_t LONGEST_PASSWORD_FILE = 4096;

// The first line of `path` into `password`; the reason in words when not.
// Only a regular file is read: a FIFO would wait for a writer, a device
// might never end.
std::string ReadPasswordFile(const std::string& path, std::string& password, bool& othersMayRead)
{
    const std::string named = "The password file " + path;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return named + " cannot be opened: " + std::strerror(errno);
    }
    struct stat info {};
    std::string text;
    std::string why;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        why = named + " is not a file";
    } else if (info.st_size > static_cast<off_t>(LONGEST_PASSWORD_FILE)) {
        why = named + " is larger than a password";
    } else {
        othersMayRead = (info.st_mode & (S_IRWXG | S_IRWXO)) != 0;
        char buffer[LONGEST_PASSWORD_FILE];
        ssize_t got = 0;
        while ((got = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() <= LONGEST_PASSWORD_FILE) {
            text.append(buffer, static_cast<size_t>(got));
        }
        if (got < 0) {
            why = named + " cannot be read: " + std::strerror(errno);
        }
    }
    ::close(fd);
    if (!why.empty()) {
        return why;
    }
    password = text.substr(0, text.find_first_of("\r\n"));
    return password.empty() ? named + " holds no password on its first line" : std::string();
}

} // namespace

StreamFromUrl ReadStreamUrl(const std::string& url, const std::string& passwordFile, const char* passwordVariable,
                            const StreamSettings& base)
{
    StreamFromUrl read;
    read.settings = base;
    read.settings.password.clear();
    read.error = ParseIcecastUrl(url, read.settings);
    if (!read.error.empty()) {
        return read;
    }
    const bool inUrl = !read.settings.password.empty();
    if (inUrl && !passwordFile.empty()) {
        read.error = "The stream's password is given twice, in the URL and in " + passwordFile + ": give it once";
        return read;
    }
    if (inUrl) {
        read.warning = std::string("The stream's password stands on the command line, where other users of this "
                                   "computer can read it. Put it in a file that only you can read and give ") +
                       STREAM_PASSWORD_FILE_OPTION + " FILE, or set " + STREAM_PASSWORD_VARIABLE +
                       ", and leave it out of the URL.";
    } else if (!passwordFile.empty()) {
        bool othersMayRead = false;
        read.error = ReadPasswordFile(passwordFile, read.settings.password, othersMayRead);
        if (!read.error.empty()) {
            return read;
        }
        if (othersMayRead) {
            read.warning = "The password file " + passwordFile +
                           " may be read by other users of this computer: chmod 600 it.";
        }
    } else if (passwordVariable != nullptr && *passwordVariable != '\0') {
        read.settings.password = passwordVariable;
    } else {
        read.settings.password = base.password;
    }
    return read;
}

} // namespace audio
