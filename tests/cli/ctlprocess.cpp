#include "ctlprocess.h"

#include "childio.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

CtlProcess::CtlProcess(std::vector<std::string> args, const std::string& input, std::string program)
{
    if (program.empty()) {
        program = OSTRELLECTL_PATH;
    }
    int in[2] = {-1, -1};
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        return;
    }
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv = CStrings(argv);
    // ThreadSanitizer waits a second at every exit by default; that is its
    // own pause, not the program's, and would hide how soon Ctrl-C ends it.
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::string(*e).rfind("TSAN_OPTIONS=", 0) != 0) {
            environment.emplace_back(*e);
        }
    }
    const char* tsanOptions = std::getenv("TSAN_OPTIONS");
    environment.push_back(std::string("TSAN_OPTIONS=") + (tsanOptions != nullptr ? tsanOptions : "") +
                          " atexit_sleep_ms=0");
    std::vector<char*> cenv = CStrings(environment);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    started = std::chrono::steady_clock::now();
    if (::posix_spawn(&pid, program.c_str(), &actions, nullptr, cargv.data(), cenv.data()) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    // Small inputs only (a confirmation): the pipe holds them whole.
    if (!input.empty()) {
        [[maybe_unused]] const ssize_t n = ::write(in[1], input.data(), input.size());
    }
    ::close(in[1]);
    reader = std::thread(&CtlProcess::Read, this, outPipe[0], errPipe[0]);
}

CtlProcess::~CtlProcess()
{
    Finish(5000);
}

void CtlProcess::Read(int outFd, int errFd)
{
    PumpPipes(outFd, errFd, [this](int i, const char* bytes, size_t count) {
        const std::lock_guard<std::mutex> guard(lock);
        (i == 0 ? out : err).append(bytes, count);
        changed.notify_all();
    });
    const std::lock_guard<std::mutex> guard(lock);
    closed = true;
    changed.notify_all();
}

bool CtlProcess::WaitForOutput(const std::function<bool(const std::string&)>& seen, int timeoutMs, bool fromErr)
{
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return seen(fromErr ? err : out); });
}

void CtlProcess::Signal(int signal)
{
    if (pid > 0 && !finished) {
        ::kill(pid, signal);
    }
}

CtlResult CtlProcess::Finish(int timeoutMs)
{
    if (finished || pid <= 0) {
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    bool killed = false;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) {
            break;
        }
        if (!killed && std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            killed = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ended = std::chrono::steady_clock::now();
    if (reader.joinable()) {
        reader.join();
    }
    finished = true;
    result.code = (!killed && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    result.out = out;
    result.err = err;
    result.ms = std::chrono::duration_cast<std::chrono::milliseconds>(ended - started).count();
    return result;
}

long long CtlProcess::MsFrom(std::chrono::steady_clock::time_point since) const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(ended - since).count();
}

CtlResult RunCtl(std::vector<std::string> args, const std::string& input)
{
    CtlProcess ctl(std::move(args), input);
    return ctl.Finish(10000);
}

std::vector<TraceFrame> ParseTrace(const std::vector<std::string>& lines)
{
    std::vector<TraceFrame> frames;
    for (const std::string& line : lines) {
        std::istringstream in(line);
        TraceFrame frame;
        std::string unit;
        std::string direction;
        if (!(in >> frame.ms >> unit >> direction) || unit != "ms" ||
            (direction != "PC->RADIO" && direction != "RADIO->PC")) {
            continue;
        }
        frame.toRadio = direction == "PC->RADIO";
        std::string word;
        while (in >> word && word.size() == 2) {
            frame.bytes.push_back(static_cast<unsigned>(std::stoul(word, nullptr, 16)));
        }
        frames.push_back(std::move(frame));
    }
    return frames;
}

std::string HexOf(const std::vector<unsigned>& bytes, size_t from, size_t count)
{
    std::string hex;
    for (size_t i = from; i < bytes.size() && i - from < count; ++i) {
        char two[4];
        std::snprintf(two, sizeof two, "%02X", bytes[i]);
        hex += (hex.empty() ? "" : " ") + std::string(two);
    }
    return hex;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}
