#pragma once

// Starts Debian's ser2net for a test, serving one terminal on loopback, and
// ends it again (a kill in the middle of a test stands for the remote
// machine going away).
//
//   Ser2NetProcess server(sim.SlavePath(), Ser2NetProcess::Mode::Rfc2217);
//   ASSERT_TRUE(server.Started()) << server.Error();
//   port.Open(server.EndpointFile().c_str(), ...);  // a file "rfc2217://127.0.0.1:PORT"
//   server.Kill();  server.Start();                 // gone, and back on the same port

#include "loopbackserver.h"

#include <string>

#include <sys/types.h>

class Ser2NetProcess {
public:
    enum class Mode { Rfc2217, RawTcp };

    Ser2NetProcess(std::string device, Mode mode);
    ~Ser2NetProcess();
    Ser2NetProcess(const Ser2NetProcess&) = delete;
    Ser2NetProcess& operator=(const Ser2NetProcess&) = delete;

    // Starts it (again) and waits up to 5 s until it accepts connections.
    bool Start();
    // SIGKILL and reap: no goodbye on the connections.
    void Kill();

    bool Started() const { return pid > 0; }
    const std::string& Error() const { return error; }
    int Port() const { return port; }
    // The endpoint line, and a file holding it that a port can open.
    std::string EndpointLine() const;
    const std::string& EndpointFile() const { return endpointFile; }
    const std::string& Directory() const { return directory; }

private:
    bool WriteFiles();

    std::string device;
    Mode mode;
    std::string directory;
    std::string endpointFile;
    std::string error;
    int port = 0;
    pid_t pid = -1;
};
