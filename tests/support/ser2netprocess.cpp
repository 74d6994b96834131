#include "ser2netprocess.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr int kStartLimitMs = 5000;
constexpr int kPortAttempts = 5;

sockaddr_in Loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// True once a socket listens on 127.0.0.1:port, read from the kernel's table
// rather than found by connecting: ser2net takes a probe connection for a
// client, and until it has seen that one go it turns the next away with
// "Port already in use", which is what the test's own open then met.
bool Listening(int port)
{
    std::ifstream table("/proc/net/tcp");
    char wanted[32];
    (void)std::snprintf(wanted, sizeof wanted, "0100007F:%04X", static_cast<unsigned>(port));
    std::string line;
    std::getline(table, line); // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot;
        std::string local;
        std::string remote;
        std::string state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A") { // TCP_LISTEN
            return true;
        }
    }
    return false;
}

std::string Ser2NetPath()
{
    for (const char* candidate : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/sbin/ser2net"}) {
        if (::access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

} // namespace

int FreeLoopbackPort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return 0;
    }
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
        port = ntohs(a.sin_port);
    }
    ::close(s);
    return port;
}

Ser2NetProcess::Ser2NetProcess(std::string device, Mode mode) : device(std::move(device)), mode(mode)
{
    static std::atomic<int> counter{0};
    std::string templ = "/tmp/ostrelle-ser2net-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-XXXXXX";
    std::vector<char> buffer(templ.begin(), templ.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        error = std::string("Creating a directory for ser2net: ") + std::strerror(errno);
        return;
    }
    directory = buffer.data();
    for (int attempt = 0; attempt < kPortAttempts && !Started(); ++attempt) {
        // Another program may take the port between asking and listening;
        // then ser2net fails to listen and the next free port is tried.
        port = FreeLoopbackPort();
        if (port != 0 && WriteFiles()) {
            Start();
        }
    }
}

Ser2NetProcess::~Ser2NetProcess()
{
    Kill();
    if (!directory.empty()) {
        for (const char* name : {"/ser2net.yaml", "/endpoint", "/ser2net.pid"}) {
            ::unlink((directory + name).c_str());
        }
        ::rmdir(directory.c_str());
    }
}

std::string Ser2NetProcess::EndpointLine() const
{
    return std::string(mode == Mode::Rfc2217 ? "rfc2217" : "tcp") + "://127.0.0.1:" + std::to_string(port);
}

bool Ser2NetProcess::WriteFiles()
{
    std::ofstream config(directory + "/ser2net.yaml", std::ios::trunc);
    config << "connection: &radio\n"
           << "  accepter: " << (mode == Mode::Rfc2217 ? "telnet(rfc2217),tcp" : "tcp") << ",127.0.0.1," << port
           << "\n"
           << "  connector: serialdev," << device << ",115200n81,local\n"
           << "  options:\n"
           << "    mdns: false\n";
    std::ofstream endpoint(directory + "/endpoint", std::ios::trunc);
    endpoint << EndpointLine() << "\n";
    endpointFile = directory + "/endpoint";
    if (!config || !endpoint) {
        error = "Writing ser2net's files in " + directory + " failed";
        return false;
    }
    return true;
}

bool Ser2NetProcess::Start()
{
    if (Started()) {
        return true;
    }
    const std::string program = Ser2NetPath();
    if (program.empty()) {
        error = "ser2net is not installed; run tools/setup.sh test";
        return false;
    }
    // -n: stay in the foreground as our child; -u: no UUCP lock files.
    std::vector<std::string> args{program, "-n", "-u", "-c", directory + "/ser2net.yaml", "-P",
                                  directory + "/ser2net.pid"};
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        error = "Starting " + program + ": " + std::strerror(rc);
        pid = -1;
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartLimitMs);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            error = "ser2net ended at once (is port " + std::to_string(port) + " taken?)";
            return false;
        }
        if (Listening(port)) {
            error.clear();
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Kill();
    error = "ser2net did not listen on port " + std::to_string(port) + " within 5 s";
    return false;
}

void Ser2NetProcess::Kill()
{
    if (pid <= 0) {
        return;
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
}
