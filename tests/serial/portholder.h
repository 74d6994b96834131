#pragma once

// Another program holding a device: port_holder, started with pipes on its
// standard input and output, so that the test knows when the device is held
// and ends the holder by closing the input.

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

class PortHolderProcess {
public:
    explicit PortHolderProcess(const std::string& device, int timeoutMs = 5000)
    {
        int in[2] = {-1, -1};
        int out[2] = {-1, -1};
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::string program = OSTRELLE_PORT_HOLDER;
        std::string argument = device;
        char* argv[] = {program.data(), argument.data(), nullptr};
        const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
        ::posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        input = in[1];
        if (spawned != 0) {
            pid = -1;
            ::close(out[0]);
            return;
        }
        pollfd p{out[0], POLLIN, 0};
        char word[6] = {};
        ready = ::poll(&p, 1, timeoutMs) > 0 && ::read(out[0], word, sizeof word) == 6;
        ::close(out[0]);
    }

    ~PortHolderProcess()
    {
        if (input >= 0) {
            ::close(input);
        }
        if (pid > 0) {
            int status = 0;
            // Closing its input ends it; a holder that does not go is killed.
            for (int i = 0; i < 200 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) {
                ::usleep(10000);
                if (i == 199) {
                    ::kill(pid, SIGKILL);
                    ::waitpid(pid, &status, 0);
                }
            }
        }
    }

    PortHolderProcess(const PortHolderProcess&) = delete;
    PortHolderProcess& operator=(const PortHolderProcess&) = delete;

    bool Ready() const { return ready; }
    long Pid() const { return static_cast<long>(pid); }

private:
    pid_t pid = -1;
    int input = -1;
    bool ready = false;
};
