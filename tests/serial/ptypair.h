#pragma once

// A pseudo-terminal pair that stands in for the serial cable: the code under
// test opens the slave path like any serial device, and the test holds the
// master side and plays the far end of the line.

#include "serial/serialport.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

class PtyPair {
public:
    PtyPair()
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
            CloseMaster();
            return;
        }
        char name[128] = {};
        if (::ptsname_r(master, name, sizeof name) != 0) {
            CloseMaster();
            return;
        }
        slavePath = name;
    }
    ~PtyPair() { CloseMaster(); }

    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return master >= 0 && !slavePath.empty(); }
    int Master() const { return master; }
    const std::string& SlavePath() const { return slavePath; }

    // Writes every byte or gives up after timeoutMs; true when all went out.
    bool WriteMaster(const std::vector<uint8_t>& bytes, int timeoutMs = 1000) const
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (!WaitFor(POLLOUT, deadline)) {
                return false;
            }
        }
        return true;
    }

    // Reads until `count` bytes have come or timeoutMs has passed.
    std::vector<uint8_t> ReadMaster(size_t count, int timeoutMs) const
    {
        std::vector<uint8_t> bytes(count);
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        size_t done = 0;
        while (done < count && WaitFor(POLLIN, deadline)) {
            const ssize_t n = ::read(master, bytes.data() + done, count - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else {
                break; // EIO: the slave side has been closed
            }
        }
        bytes.resize(done);
        return bytes;
    }

    void CloseMaster()
    {
        if (master >= 0) {
            ::close(master);
            master = -1;
        }
    }

private:
    using Clock = std::chrono::steady_clock;

    bool WaitFor(short events, Clock::time_point deadline) const
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return false;
        }
        pollfd p{master, events, 0};
        return ::poll(&p, 1, static_cast<int>(left)) > 0 && (p.revents & events) != 0;
    }

    int master = -1;
    std::string slavePath;
};

// Bytes written on the master reach the slave's input queue a moment later;
// a test that depends on how many are waiting first waits for them, bounded.
inline bool WaitForWaiting(CSerialPort& port, uint32_t count, int timeoutMs = 1000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (port.BytesWaiting() < count) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return port.BytesWaiting() == count;
}

// Opens `port` on the pair's slave with the program's own line settings.
inline bool OpenOnPty(CSerialPort& port, const PtyPair& pty)
{
    return port.Open(pty.SlavePath().c_str(), 115200, 'N', 8, 1, true, true);
}
