#include "ser2netprocess.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include <unistd.h>

namespace {

constexpr int kStartLimitMs = 5000;
constexpr int kPortAttempts = 5;

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

Ser2NetProcess::Ser2NetProcess(std::string device, Mode mode) : device(std::move(device)), mode(mode)
{
    directory = MakeServerDirectory("ser2net", error);
    if (directory.empty()) {
        return;
    }
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
    pid = SpawnLoopbackServer({program, "-n", "-u", "-c", directory + "/ser2net.yaml", "-P", directory + "/ser2net.pid"},
                              "/dev/null", port, kStartLimitMs, error);
    return pid > 0;
}

void Ser2NetProcess::Kill()
{
    KillLoopbackServer(pid);
}
