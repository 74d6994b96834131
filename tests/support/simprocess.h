#pragma once

// Starts radiosim as a child process for a test and stops it again.
//
//   SimProcess sim({"--trace"});          // waits up to 5 s for the terminal
//   ASSERT_TRUE(sim.Started()) << sim.Error();
//   port.Open(sim.Path().c_str(), ...);   // the link, usable as a port name
//   sim.WaitForTrace([](const std::string& l) { return l.find("RADIO->PC") != l.npos; }, 1000);
//   sim.Stop();                           // also done by the destructor
//
// Standard output after the first line (the trace) and standard error are
// collected on a reader thread; the accessors return copies, so a test may
// call them from any thread at any time.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

class SimProcess {
public:
    // `args` are radiosim's switches except --link; `linkPath` is where the
    // link goes (empty: a fresh path under /tmp, removed again afterwards).
    explicit SimProcess(std::vector<std::string> args = {}, std::string linkPath = {});
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // True once radiosim has printed its terminal's path.
    bool Started() const { return started; }
    const std::string& Error() const { return error; }

    // The link (open this as the port) and the terminal it points to.
    const std::string& Path() const { return linkPath; }
    const std::string& SlavePath() const { return slavePath; }
    pid_t Pid() const { return pid; }

    std::vector<std::string> TraceLines() const;
    std::vector<std::string> ErrorLines() const;

    // Waits until some trace line satisfies `predicate`; false after timeoutMs.
    bool WaitForTrace(const std::function<bool(const std::string&)>& predicate, int timeoutMs) const;

    // Waits up to timeoutMs for radiosim to end by itself; its exit code, or
    // -1 when it is still running (or was ended by a signal). Once it has
    // ended, the lines it printed last are among the collected ones.
    int WaitForExit(int timeoutMs);

    // SIGTERM, a bounded wait (3 s), then SIGKILL. Returns the exit code, -1
    // when it had to be killed. Safe to call more than once.
    int Stop();

private:
    void ReadOutput(int outFd, int errFd);
    bool Reap(int timeoutMs);

    std::string linkPath;
    std::string ownDirectory;
    std::string slavePath;
    std::string error;
    bool started = false;
    pid_t pid = -1;
    int exitCode = -1;
    bool reaped = false;
    std::thread reader;
    mutable std::mutex lock;
    mutable std::condition_variable changed;
    std::vector<std::string> traceLines;
    std::vector<std::string> errorLines;
    bool firstLineSeen = false;
    bool outputClosed = false;
};
