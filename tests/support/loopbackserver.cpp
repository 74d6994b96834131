#include "loopbackserver.h"

#include "childio.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

std::string MakeServerDirectory(const std::string& name, std::string& error)
{
    static std::atomic<int> counter{0};
    std::string templ =
        "/tmp/ostrelle-" + name + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) {
        error = "Creating a directory for " + name + ": " + std::strerror(errno);
        return {};
    }
    return templ;
}

int FreeLoopbackPort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return 0;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
        port = ntohs(a.sin_port);
    }
    ::close(s);
    return port;
}

// Read from the kernel's table rather than found by connecting: ser2net
// takes a probe connection for a client, and until it has seen that one go
// it turns the next away with "Port already in use", which is what the
// test's own open then met.
bool ListeningOnLoopback(int port)
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

pid_t SpawnLoopbackServer(std::vector<std::string> args, const std::string& outputFile, int port, int limitMs,
                          std::string& error)
{
    const std::string program = args.front();
    const std::string name = program.substr(program.rfind('/') + 1);
    std::vector<char*> argv = CStrings(args);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        error = "Starting " + program + ": " + std::strerror(rc);
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            error = name + " ended at once (is port " + std::to_string(port) + " taken?)";
            return -1;
        }
        if (ListeningOnLoopback(port)) {
            error.clear();
            return pid;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    KillLoopbackServer(pid);
    error = name + " did not listen on port " + std::to_string(port) + " within " + std::to_string(limitMs / 1000) +
            " s";
    return -1;
}

void KillLoopbackServer(pid_t& pid)
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
