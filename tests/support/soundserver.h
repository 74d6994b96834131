#pragma once

// A private PulseAudio for a test: `pulseaudio -n` with the native protocol
// on a socket in a fresh folder under /tmp (its XDG_RUNTIME_DIR and home
// too, so nothing of the user's is read or written) and one null sink,
// whose monitor records what is played into it. Runs as root too. Started
// in well under a second, stopped and its folder removed afterwards.
//
//   SoundServer sound;                       // PULSE_SERVER now leads to it
//   ASSERT_TRUE(sound.Started()) << sound.Error();
//   SimProcess sim({"--voice", "tones", "--voice-sink", sound.Sink()});
//   capture->Start(sound.Monitor());
//   sound.RemoveSink();  sound.AddSink();    // the device gone mid-hit, and back
//   sound.Kill();  sound.Start();            // the daemon killed, and a new one
//
// The constructor sets PULSE_SERVER and PULSE_COOKIE in this process (so
// make it before any thread that may read them), the destructor puts them
// back.

#include <string>
#include <vector>

#include <sys/types.h>

class SoundServer {
public:
    explicit SoundServer(std::string sink = "radio");
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    // Starts the daemon (again) with the sink; waits up to 5 s.
    bool Start();
    // SIGKILL and reap: the clients see the server vanish.
    void Kill();

    bool Started() const { return pid > 0; }
    const std::string& Error() const { return error; }
    const std::string& Sink() const { return sink; }
    std::string Monitor() const { return sink + ".monitor"; }
    const std::string& Directory() const { return directory; }
    pid_t Pid() const { return pid; }

    // The sink's module unloaded (the device gone), and loaded again.
    bool RemoveSink();
    bool AddSink();

    // pactl against this server; its exit code (-1 when it could not run or
    // took over 5 s), and what it printed.
    int Pactl(const std::vector<std::string>& args, std::string* output = nullptr);

    // True when Debian's pulseaudio and pactl are installed.
    static bool Installed();

private:
    void StopKeeper();
    std::vector<std::string> ToolEnvironment() const;

    std::string sink;
    std::string directory;
    std::string error;
    std::string sinkModule;
    pid_t pid = -1;
    pid_t keeper = -1; // plays silence into the sink
    std::vector<std::pair<std::string, std::string>> savedEnvironment;
};
