// radiosim: a simulated scanner on a pseudo-terminal, for tests and for
// trying the front panel without a radio.

#include "sim/options.h"
#include "sim/simserver.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

int wakeWrite = -1;

// Only an async-signal-safe write: the poll loop wakes on the other end.
void OnSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeWrite, &byte, 1);
}

} // namespace

int main(int argc, char** argv)
{
    sim::SimOptions options;
    std::string error;
    if (!sim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "radiosim: %s\n\n%s", error.c_str(), sim::UsageText());
        return 2;
    }
    if (options.help) {
        std::fputs(sim::UsageText(), stdout);
        return 0;
    }
    int wake[2] = {-1, -1};
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("radiosim: pipe");
        return 1;
    }
    wakeWrite = wake[1];
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    (void)std::signal(SIGPIPE, SIG_IGN); // cannot fail for a valid signal

    int result = 1;
    {
        sim::SimServer server(options);
        if (!server.Start(error)) {
            std::fprintf(stderr, "radiosim: %s\n", error.c_str());
        } else {
            // The first line is the contract with whoever started us.
            std::printf("%s\n", server.SlavePath().c_str());
            // Should whoever started us be gone, there is no one to tell.
            (void)std::fflush(stdout);
            result = server.Run(wake[0]);
            std::fprintf(stderr, "%s\n", server.Summary().c_str());
        }
    }
    ::close(wake[0]);
    ::close(wake[1]);
    return result;
}
