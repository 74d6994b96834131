#include "simprocess.h"

#include "childio.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr int START_TIMEOUT_MS = 5000;
constexpr int STOP_TIMEOUT_MS = 3000;
constexpr int OUTPUT_DRAIN_MS = 2000;

std::string FreshDirectory()
{
    static std::atomic<int> counter{0};
    std::string templ = "/tmp/ostrelle-sim-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-XXXXXX";
    std::vector<char> buffer(templ.begin(), templ.end());
    buffer.push_back('\0');
    return ::mkdtemp(buffer.data()) != nullptr ? std::string(buffer.data()) : std::string();
}

} // namespace

SimProcess::SimProcess(std::vector<std::string> args, std::string link) : linkPath(std::move(link))
{
    if (linkPath.empty()) {
        ownDirectory = FreshDirectory();
        if (ownDirectory.empty()) {
            error = std::string("Creating a directory for the link: ") + std::strerror(errno);
            return;
        }
        linkPath = ownDirectory + "/COM1";
    }
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        error = std::string("Creating pipes: ") + std::strerror(errno);
        for (int fd : {out[0], out[1], err[0], err[1]}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        return;
    }
    std::vector<std::string> argv{RADIOSIM_PATH, "--link", linkPath};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv = CStrings(argv);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    const int rc = ::posix_spawn(&pid, RADIOSIM_PATH, &actions, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        error = std::string("Starting " RADIOSIM_PATH ": ") + std::strerror(rc);
        pid = -1;
        ::close(out[0]);
        ::close(err[0]);
        return;
    }
    reader = std::thread(&SimProcess::ReadOutput, this, out[0], err[0]);

    std::unique_lock<std::mutex> guard(lock);
    const bool seen = changed.wait_for(guard, std::chrono::milliseconds(START_TIMEOUT_MS), [this] {
        return firstLineSeen;
    });
    if (seen && !slavePath.empty()) {
        started = true;
    } else {
        error = "radiosim printed no terminal path within 5 s";
        for (const auto& line : errorLines) {
            error += "\n" + line;
        }
    }
}

SimProcess::~SimProcess()
{
    Stop();
    if (reader.joinable()) {
        reader.join();
    }
    if (!ownDirectory.empty()) {
        ::unlink(linkPath.c_str()); // only there if radiosim was killed
        ::rmdir(ownDirectory.c_str());
    }
}

void SimProcess::ReadOutput(int outFd, int errFd)
{
    std::string partial[2];
    PumpPipes(outFd, errFd, [&](int i, const char* bytes, size_t count) {
        partial[i].append(bytes, count);
        std::lock_guard<std::mutex> guard(lock);
        for (size_t cut; (cut = partial[i].find('\n')) != std::string::npos;) {
            std::string line = partial[i].substr(0, cut);
            partial[i].erase(0, cut + 1);
            if (i == 1) {
                errorLines.push_back(std::move(line));
            } else if (!firstLineSeen) {
                slavePath = std::move(line);
                firstLineSeen = true;
            } else {
                traceLines.push_back(std::move(line));
            }
        }
        changed.notify_all();
    });
    // The child is gone: wake a constructor still waiting for its first line,
    // and a Reap waiting for the last lines to be collected.
    std::lock_guard<std::mutex> guard(lock);
    firstLineSeen = true;
    outputClosed = true;
    changed.notify_all();
}

std::vector<std::string> SimProcess::TraceLines() const
{
    std::lock_guard<std::mutex> guard(lock);
    return traceLines;
}

std::vector<std::string> SimProcess::ErrorLines() const
{
    std::lock_guard<std::mutex> guard(lock);
    return errorLines;
}

bool SimProcess::WaitForTrace(const std::function<bool(const std::string&)>& predicate, int timeoutMs) const
{
    std::unique_lock<std::mutex> guard(lock);
    size_t checked = 0;
    return changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
        for (; checked < traceLines.size(); ++checked) {
            if (predicate(traceLines[checked])) {
                return true;
            }
        }
        return false;
    });
}

bool SimProcess::Reap(int timeoutMs)
{
    if (pid < 0 || reaped) {
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) {
            reaped = true;
            exitCode = (done == pid && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
            // The child's last words (the frame summary) may still sit in the
            // pipes when waitpid reports it gone; a test that reads them next
            // would miss them on a loaded machine.
            std::unique_lock<std::mutex> guard(lock);
            changed.wait_for(guard, std::chrono::milliseconds(OUTPUT_DRAIN_MS), [this] { return outputClosed; });
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int SimProcess::WaitForExit(int timeoutMs)
{
    return Reap(timeoutMs) ? exitCode : -1;
}

int SimProcess::Stop()
{
    if (pid < 0) {
        return -1;
    }
    if (!reaped) {
        ::kill(pid, SIGTERM);
        if (!Reap(STOP_TIMEOUT_MS)) {
            ::kill(pid, SIGKILL);
            Reap(STOP_TIMEOUT_MS);
            exitCode = -1;
        }
    }
    return exitCode;
}
