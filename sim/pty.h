#pragma once

// The simulated cable: a pseudo-terminal whose slave side the front panel
// opens as its serial port, reachable through a link of the user's choosing.

#include <string>

namespace sim {

class PseudoTerminal {
public:
    PseudoTerminal() = default;
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Opens the pair, puts the slave in raw mode and keeps one slave
    // descriptor: the client may then close and reopen the slave without the
    // master seeing a hang-up, and nothing is echoed before it configures the
    // line. The master is non-blocking.
    bool Open(std::string& error);

    // Makes `path` a symbolic link to the slave, replacing a stale link or
    // file and creating missing parent directories.
    bool Link(const std::string& path, std::string& error);

    // Removes the link, only while it still points to our slave (another
    // simulator may have taken the name since).
    void Unlink();

    // The port class claims the terminal exclusively, and the claim outlives
    // the client's close while we hold the slave, so that an ordinary user
    // could never open it twice. Clearing it again keeps reopening possible;
    // the client's own lock still keeps a second program out.
    void ReleaseExclusive();

    // Closes both sides: the client sees a hang-up.
    void Close();

    int Master() const { return masterFd; }
    const std::string& SlavePath() const { return slavePath; }

private:
    int masterFd = -1;
    int slaveFd = -1;
    std::string slavePath;
    std::string linkPath;
};

} // namespace sim
