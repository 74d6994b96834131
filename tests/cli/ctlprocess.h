#pragma once

// Runs ostrellectl as a child process, as a shell would: its standard output
// and error collected, its standard input fed (or closed), a signal sent at
// any moment, its exit code and how long it ran.
//
//   CtlProcess ctl({"--port", sim.Path(), "status"});
//   const CtlResult r = ctl.Finish(5000);   // r.code, r.out, r.err
//
// Lines are read on a thread of their own, so a test can wait for one while
// the program runs (WaitForOutput).

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

struct CtlResult {
    int code = -1; // exit code; -1 when it had to be killed
    std::string out;
    std::string err;
    long long ms = 0; // from start to exit
};

class CtlProcess {
public:
    // `program` empty: the ostrellectl of this build.
    explicit CtlProcess(std::vector<std::string> args, const std::string& input = {}, std::string program = {});
    ~CtlProcess();
    CtlProcess(const CtlProcess&) = delete;
    CtlProcess& operator=(const CtlProcess&) = delete;

    bool Started() const { return pid > 0; }
    // Waits until the output so far (out when `fromErr` is false) satisfies
    // `seen`; false after timeoutMs.
    bool WaitForOutput(const std::function<bool(const std::string&)>& seen, int timeoutMs, bool fromErr = false);
    void Signal(int signal);
    // Waits for the end (SIGKILL after timeoutMs) and collects everything.
    CtlResult Finish(int timeoutMs);
    // Milliseconds from `since` until the child's exit, once finished.
    long long MsFrom(std::chrono::steady_clock::time_point since) const;

private:
    void Read(int outFd, int errFd);

    pid_t pid = -1;
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point ended;
    std::thread reader;
    std::mutex lock;
    std::condition_variable changed;
    std::string out;
    std::string err;
    bool closed = false;
    CtlResult result;
    bool finished = false;
};

// Runs it to the end (10 s at most).
CtlResult RunCtl(std::vector<std::string> args, const std::string& input = {});

// The lines of a program's output, without their ends.
std::vector<std::string> Lines(const std::string& text);

// One frame of radiosim's trace: its time, direction and bytes.
struct TraceFrame {
    long long ms = 0;
    bool toRadio = false;
    std::vector<unsigned> bytes;
};
std::vector<TraceFrame> ParseTrace(const std::vector<std::string>& lines);

// The frames' bytes as upper-case hex with spaces, as the trace writes them.
std::string HexOf(const std::vector<unsigned>& bytes, size_t from = 0, size_t count = std::string::npos);
