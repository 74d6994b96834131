#include "soundserver.h"

#include "childio.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr int START_LIMIT_MS = 5000;
constexpr int TOOL_LIMIT_MS = 5000;
const char* const ENVIRONMENT[] = {"PULSE_SERVER", "PULSE_COOKIE"};

std::string FreshDirectory()
{
    static std::atomic<int> counter{0};
    std::string templ = "/tmp/ostrelle-sound-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-XXXXXX";
    return ::mkdtemp(templ.data()) != nullptr ? templ : std::string();
}

// Starts `args` with `environment`, standard input from /dev/null and
// standard error to `errFile` (or nowhere); its pid, or -1.
pid_t Spawn(std::vector<std::string> args, std::vector<std::string> environment, int outFd, const std::string& errFile)
{
    std::vector<char*> argv = CStrings(args);
    std::vector<char*> envp = CStrings(environment);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.empty() ? "/dev/null" : errFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

bool OnPath(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    for (size_t from = 0; from <= folders.size();) {
        const size_t to = std::min(folders.find(':', from), folders.size());
        if (::access((folders.substr(from, to - from) + "/" + program).c_str(), X_OK) == 0) {
            return true;
        }
        from = to + 1;
    }
    return false;
}

} // namespace

bool SoundServer::Installed()
{
    return OnPath("pulseaudio") && OnPath("pactl");
}

SoundServer::SoundServer(std::string sinkName) : sink(std::move(sinkName)), directory(FreshDirectory())
{
    if (directory.empty()) {
        error = std::string("Creating a folder for the sound server: ") + std::strerror(errno);
        return;
    }
    for (const char* name : ENVIRONMENT) {
        const char* was = std::getenv(name);
        savedEnvironment.emplace_back(name, was != nullptr ? std::string(1, '=') + was : std::string());
    }
    ::setenv("PULSE_SERVER", ("unix:" + directory + "/native").c_str(), 1);
    ::setenv("PULSE_COOKIE", (directory + "/cookie").c_str(), 1);
    if (!Installed()) {
        error = "pulseaudio and pactl are not installed; run tools/setup.sh test";
        return;
    }
    Start();
}

SoundServer::~SoundServer()
{
    StopKeeper();
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (::waitpid(pid, nullptr, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                Kill();
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid = -1;
    }
    for (const auto& [name, value] : savedEnvironment) {
        if (value.empty()) {
            ::unsetenv(name.c_str());
        } else {
            ::setenv(name.c_str(), value.c_str() + 1, 1);
        }
    }
    if (!directory.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(directory, ec);
    }
}

bool SoundServer::Start()
{
    if (pid > 0) {
        return true;
    }
    // Its runtime folder and home are ours, so that it reads no settings
    // of the user's and leaves nothing behind; without a display it tries
    // no D-Bus session either.
    std::vector<std::string> environment{"XDG_RUNTIME_DIR=" + directory, "HOME=" + directory,
                                         "DBUS_SESSION_BUS_ADDRESS=unix:path=" + directory + "/no-bus",
                                         "PATH=/usr/bin:/bin"};
    pid = Spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                 "--log-target=file:" + directory + "/pulseaudio.log", "-L",
                 "module-native-protocol-unix socket=" + directory + "/native auth-anonymous=1"},
                environment, -1, directory + "/pulseaudio.err");
    if (pid < 0) {
        error = std::string("Starting pulseaudio: ") + std::strerror(errno);
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(START_LIMIT_MS);
    while (Pactl({"info"}) != 0) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid || std::chrono::steady_clock::now() >= deadline) {
            Kill();
            error = "pulseaudio did not start within 5 s; see " + directory + "/pulseaudio.log";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return AddSink();
}

void SoundServer::StopKeeper()
{
    if (keeper > 0) {
        ::kill(keeper, SIGKILL);
        while (::waitpid(keeper, nullptr, 0) < 0 && errno == EINTR) {
        }
        keeper = -1;
    }
}

void SoundServer::Kill()
{
    StopKeeper();
    if (pid <= 0) {
        return;
    }
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
    // The socket of a killed daemon stays behind; the next one makes it anew.
    ::unlink((directory + "/native").c_str());
}

bool SoundServer::AddSink()
{
    std::string index;
    if (Pactl({"load-module", "module-null-sink", "sink_name=" + sink, "rate=16000"}, &index) != 0) {
        error = "pactl load-module module-null-sink failed: " + index;
        return false;
    }
    sinkModule = index.substr(0, index.find_first_of("\r\n"));
    // A null sink's clock runs in blocks of up to two seconds while nothing
    // plays into it, and its monitor gives nothing until the block is over;
    // silence played in short pieces keeps it ticking like a sound card's.
    StopKeeper();
    keeper = Spawn({"paplay", "--raw", "--format=s16le", "--rate=16000", "--channels=1", "--latency-msec=20",
                    "--device=" + sink, "/dev/zero"},
                   ToolEnvironment(), -1, {});
    return keeper > 0;
}

bool SoundServer::RemoveSink()
{
    const bool removed = !sinkModule.empty() && Pactl({"unload-module", sinkModule}) == 0;
    StopKeeper();
    return removed;
}

std::vector<std::string> SoundServer::ToolEnvironment() const
{
    return {"PULSE_SERVER=unix:" + directory + "/native", "PULSE_COOKIE=" + directory + "/cookie",
            "HOME=" + directory, "PATH=/usr/bin:/bin"};
}

int SoundServer::Pactl(const std::vector<std::string>& args, std::string* output)
{
    int out[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0) {
        return -1;
    }
    std::vector<std::string> command{"pactl"};
    command.insert(command.end(), args.begin(), args.end());
    const pid_t tool = Spawn(command, ToolEnvironment(), out[1], {});
    ::close(out[1]);
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TOOL_LIMIT_MS);
    while (tool > 0 && std::chrono::steady_clock::now() < deadline) {
        pollfd fd{out[0], POLLIN, 0};
        if (::poll(&fd, 1, 50) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(out[0]);
    if (output != nullptr) {
        *output = text;
    }
    if (tool < 0) {
        return -1;
    }
    int status = 0;
    while (::waitpid(tool, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(tool, SIGKILL);
            ::waitpid(tool, nullptr, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
