#include "cli/interrupt.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace interrupt {

namespace {

std::atomic<bool> requested{false};
// The first signal that came; Ctrl-C until one does.
std::atomic<int> signalNumber{0};
constexpr int SIGNAL_EXIT_BASE = 128;
constexpr int CTRL_C_SIGNAL = 2;
std::mutex wakerLock;
std::function<void()> waker;

void Wake()
{
    const std::lock_guard<std::mutex> lock(wakerLock);
    if (waker) {
        waker();
    }
}
std::atomic<int> leavingWith{-1};

constexpr uint32_t SLICE_MS = 20;

[[noreturn]] void LeaveNow()
{
    static constexpr char text[] = "ostrellectl: interrupted\n";
    const int leaving = leavingWith.load();
    const int code = leaving >= 0 ? leaving : SignalExitCode();
#if defined(_WIN32)
    if (leaving < 0) {
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, sizeof text - 1, &written, nullptr);
    }
    ExitProcess(static_cast<UINT>(code));
#else
    if (leaving < 0) {
        [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, text, sizeof text - 1);
    }
    ::_exit(code);
#endif
}

#if defined(_WIN32)

// The console runs this on a thread of its own, which may wait here.
BOOL WINAPI OnConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    requested = true;
    Wake();
    ::Sleep(GRACE_MS);
    LeaveNow();
}

#else

int wakeWrite = -1;

// Only async-signal-safe calls: the guard thread does the rest.
void OnSignal(int number)
{
    int none = 0;
    (void)signalNumber.compare_exchange_strong(none, number); // a later signal does not rename the first
    requested = true;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeWrite, &byte, 1);
}

void Guard(int wakeRead)
{
    char byte = 0;
    while (::read(wakeRead, &byte, 1) < 0) {
    }
    Wake();
    std::this_thread::sleep_for(std::chrono::milliseconds(GRACE_MS));
    LeaveNow();
}

#endif

} // namespace

void Install()
{
#if defined(_WIN32)
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
    int wake[2] = {-1, -1};
    if (::pipe(wake) == 0) {
        (void)::fcntl(wake[0], F_SETFD, FD_CLOEXEC); // kept out of nothing we start; harmless if refused
        (void)::fcntl(wake[1], F_SETFD, FD_CLOEXEC);
        wakeWrite = wake[1];
        // Detached: it lives until the process ends, one way or the other.
        std::thread(Guard, wake[0]).detach();
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(signal, &action, nullptr);
    }
    // `watch | head -1`: the write fails and the program ends by itself.
    (void)std::signal(SIGPIPE, SIG_IGN);
#endif
}

void Leaving(int exitCode)
{
    leavingWith = exitCode;
}

bool Requested()
{
    return requested.load();
}

int SignalExitCode()
{
    const int number = signalNumber.load();
    return SIGNAL_EXIT_BASE + (number != 0 ? number : CTRL_C_SIGNAL);
}

void SetWaker(std::function<void()> newWaker)
{
    const std::lock_guard<std::mutex> lock(wakerLock);
    waker = std::move(newWaker);
}

bool Sleep(uint32_t ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!requested) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= end) {
            return true;
        }
        // The rest to the microsecond: a rest rounded down to whole
        // milliseconds would be 0 for its last fraction and spin there.
        const std::chrono::steady_clock::duration slice = std::chrono::milliseconds(SLICE_MS);
        std::this_thread::sleep_for(std::min(end - now, slice));
    }
    return false;
}

} // namespace interrupt
