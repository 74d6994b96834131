#include "icecastprocess.h"

#include "loopbackserver.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kStartLimitMs = 5000;
constexpr int kPortAttempts = 5;
constexpr const char* kIcecast = "/usr/bin/icecast2";

std::string RandomWord()
{
    std::random_device source;
    return std::to_string(source()) + std::to_string(source());
}

int ConnectLoopback(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads into `got` until the peer closes, `done` holds or limitMs passes.
template <typename Done>
void ReadUntil(int fd, std::string& got, int limitMs, Done done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        got.append(buffer, static_cast<size_t>(n));
    }
}

} // namespace

IcecastProcess::IcecastProcess() : sourcePassword("source-" + RandomWord()), adminPassword("admin-" + RandomWord())
{
    directory = MakeServerDirectory("icecast", error);
    if (directory.empty()) {
        return;
    }
    if (::access(kIcecast, X_OK) != 0) {
        error = "icecast2 is not installed; run tools/setup.sh test";
        return;
    }
    // Run as root, icecast2 starts only when told to become another user,
    // who must reach its log folder and write in it.
    ::chmod(directory.c_str(), 0711);
    ::mkdir((directory + "/log").c_str(), 0700);
    if (::geteuid() == 0 && ::chown((directory + "/log").c_str(), 65534, 65534) != 0) {
        error = "Giving the log folder to nobody: " + std::string(std::strerror(errno));
        return;
    }
    for (int attempt = 0; attempt < kPortAttempts && !Started(); ++attempt) {
        // Another program may take the port between asking and listening.
        port = FreeLoopbackPort();
        if (port != 0 && WriteConfig()) {
            Start();
        }
    }
}

IcecastProcess::~IcecastProcess()
{
    Kill();
    if (!directory.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
}

bool IcecastProcess::WriteConfig()
{
    std::ofstream config(directory + "/icecast.xml", std::ios::trunc);
    // A source gone without a word frees its mount after 3 s; listeners get
    // the stream from the moment they connect, not a burst from before.
    config << "<icecast>\n"
           << "  <location>test</location><admin>test@localhost</admin><hostname>127.0.0.1</hostname>\n"
           << "  <limits><clients>20</clients><sources>8</sources><queue-size>524288</queue-size>"
           << "<client-timeout>30</client-timeout><header-timeout>5</header-timeout>"
           << "<source-timeout>3</source-timeout><burst-size>0</burst-size></limits>\n"
           << "  <authentication><source-password>" << sourcePassword << "</source-password>"
           << "<admin-user>admin</admin-user><admin-password>" << adminPassword << "</admin-password>"
           << "</authentication>\n"
           << "  <listen-socket><port>" << port << "</port><bind-address>127.0.0.1</bind-address></listen-socket>\n"
           << "  <fileserve>1</fileserve>\n"
           << "  <paths><basedir>/usr/share/icecast2</basedir><logdir>" << directory << "/log</logdir>"
           << "<webroot>/usr/share/icecast2/web</webroot><adminroot>/usr/share/icecast2/admin</adminroot></paths>\n"
           << "  <logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog><loglevel>3</loglevel>"
           << "</logging>\n"
           << "  <security><chroot>0</chroot>"
           << (::geteuid() == 0 ? "<changeowner><user>nobody</user><group>nogroup</group></changeowner>" : "")
           << "</security>\n"
           << "</icecast>\n";
    if (!config) {
        error = "Writing icecast2's configuration in " + directory + " failed";
        return false;
    }
    return true;
}

bool IcecastProcess::Start()
{
    if (Started()) {
        return true;
    }
    pid = SpawnLoopbackServer({kIcecast, "-c", directory + "/icecast.xml"}, directory + "/icecast.out", port,
                              kStartLimitMs, error);
    return Started();
}

void IcecastProcess::Kill()
{
    KillLoopbackServer(pid);
}

std::string IcecastProcess::Get(const std::string& path, int limitMs) const
{
    const int fd = ConnectLoopback(port);
    if (fd < 0) {
        return {};
    }
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    std::string got;
    if (::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
        ReadUntil(fd, got, limitMs, [] { return false; });
    }
    ::close(fd);
    const size_t body = got.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : got.substr(body + 4);
}

audio::StreamSettings SourceSettings(const IcecastProcess& server, audio::StreamFormat format,
                                     const std::string& mount)
{
    audio::StreamSettings s;
    s.host = "127.0.0.1";
    s.port = static_cast<uint16_t>(server.Port());
    s.mount = mount;
    s.password = server.SourcePassword();
    s.format = format;
    return s;
}

MountListener::MountListener(int port, const std::string& mount)
{
    const int fd = ConnectLoopback(port);
    if (fd < 0) {
        return;
    }
    const std::string request = "GET " + mount + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        ::close(fd);
        return;
    }
    reader = std::thread([this, fd] { Read(fd); });
}

MountListener::~MountListener()
{
    Stop();
}

void MountListener::Read(int fd)
{
    std::string got;
    size_t body = std::string::npos;
    ReadUntil(fd, got, 600000, [&] {
        if (body == std::string::npos) {
            body = got.find("\r\n\r\n");
            listening = body != std::string::npos && got.compare(0, 12, "HTTP/1.0 200") == 0;
        }
        return stop.load();
    });
    ::close(fd);
    if (listening) {
        received.assign(got.begin() + static_cast<std::ptrdiff_t>(body + 4), got.end());
    }
}

std::vector<uint8_t> MountListener::Stop()
{
    stop = true;
    if (reader.joinable()) {
        reader.join();
    }
    return received;
}
