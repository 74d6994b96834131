#pragma once

// Starts Debian's icecast2 for a test on 127.0.0.1 and a free port, with its
// own configuration, passwords and log folder in a temporary folder, and
// ends it again (a kill in the middle of a test stands for the server
// restarted or the machine gone).
//
//   IcecastProcess server;
//   ASSERT_TRUE(server.Started()) << server.Error();
//   stream.Start(SourceSettings(server, audio::StreamFormat::Mp3, "/feed.mp3"));
//   server.Get("/status-json.xsl");        // the status page, its body
//   server.Kill();  server.Start();        // gone, and back on the same port

#include "audio/icecastsettings.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

class IcecastProcess {
public:
    IcecastProcess();
    ~IcecastProcess();
    IcecastProcess(const IcecastProcess&) = delete;
    IcecastProcess& operator=(const IcecastProcess&) = delete;

    // Starts it (again, on the same port) and waits up to 5 s until it listens.
    bool Start();
    void Kill();

    bool Started() const { return pid > 0; }
    const std::string& Error() const { return error; }
    int Port() const { return port; }
    const std::string& SourcePassword() const { return sourcePassword; }
    const std::string& Directory() const { return directory; }

    // The body of a GET of `path`, empty when there was no answer in limitMs.
    std::string Get(const std::string& path, int limitMs = 2000) const;

private:
    bool WriteConfig();

    std::string directory;
    std::string sourcePassword;
    std::string adminPassword;
    std::string error;
    int port = 0;
    pid_t pid = -1;
};

// Settings that stream to `server`'s `mount` as its source.
audio::StreamSettings SourceSettings(const IcecastProcess& server, audio::StreamFormat format,
                                     const std::string& mount);

// A listener on a mount: reads what the server sends from the moment it
// connects until Stop(), on a thread of its own.
class MountListener {
public:
    MountListener(int port, const std::string& mount);
    ~MountListener();
    MountListener(const MountListener&) = delete;
    MountListener& operator=(const MountListener&) = delete;

    // True once the server answered 200 and the stream's bytes come.
    bool Listening() const { return listening.load(); }
    // Ends the reading; returns the body received (the stream).
    std::vector<uint8_t> Stop();

private:
    void Read(int fd);

    std::atomic<bool> stop{false};
    std::atomic<bool> listening{false};
    std::vector<uint8_t> received;
    std::thread reader;
};
