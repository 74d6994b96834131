#pragma once

// The network control server: Hamlib's rigctld protocol on a TCP port, so
// that loggers, satellite trackers, decoders and scripts drive the radio as
// they drive any other. One thread with poll() serves every client; answers
// come from the link's stored records and never cost an exchange with the
// radio, and a set goes out through the link's own tune frame.

#include "serial/clock.h"
#include "control/rigctlprotocol.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace control {

// Hamlib's own port for rigctld, which its clients propose.
inline constexpr uint16_t DEFAULT_PORT = 4532;
inline constexpr const char* LOOPBACK_ADDRESS = "127.0.0.1";
inline constexpr const char* ALL_INTERFACES_ADDRESS = "0.0.0.0";

// Every loopback address (127.0.0.0/8, ::1, and the former written as IPv6):
// only programs on this computer can reach a server listening there.
bool IsLoopbackAddress(const std::string& address);

// The server's limits. No client may keep another out: one that has asked
// nothing for `giveWayMs` gives its place to a program waiting for one, and
// an unfinished line holds its place for `lineLimitMs` at most.
struct ServerSettings {
    std::string address = LOOPBACK_ADDRESS; // a numeric IPv4 or IPv6 address
    uint16_t port = DEFAULT_PORT;           // 0: any free port (Port() tells which)
    int maxClients = 4;                     // served at once; as many more may wait
    size_t longestLine = 1024;              // a longer line closes its client
    uint32_t lineLimitMs = 5000;            // a line not ended this long after its first byte closes its client
    uint32_t giveWayMs = 2000;              // a client that asked nothing this long gives way to one waiting
    uint32_t waitLimitMs = 3000;            // a client kept waiting this long is told so and closed
    uint32_t idleLimitMs = 10 * 60 * 1000;  // a client that asked nothing this long is closed
    // A set is answered RPRT 0 once the radio has answered a poll sent after
    // its frame; this long after it was asked without that, RPRT -5.
    uint32_t confirmLimitMs = ANSWER_LIMIT_MS;
};

class RigctlServer {
public:
    explicit RigctlServer(RadioAccess& radio, Clock& clock = SystemClock());
    ~RigctlServer();
    RigctlServer(const RigctlServer&) = delete;
    RigctlServer& operator=(const RigctlServer&) = delete;

    // Listens at once, so that a port in use is told here and not later, and
    // then serves on a thread of its own. False with a sentence for the
    // user when it cannot listen. A running server is stopped first.
    bool Start(const ServerSettings& settings, std::string& error);
    // Closes every client and the port; returns within a few milliseconds.
    void Stop();

    bool Running() const { return serving.load(); }
    // Where it listens: "127.0.0.1:4532", "[::1]:4532"; empty when stopped.
    std::string Endpoint() const;
    uint16_t Port() const { return boundPort.load(); }
    int Clients() const { return clientCount.load(); }

    // Counts for tests and the benchmark; they change nothing.
    std::atomic<uint64_t> linesAnswered{0};
    std::atomic<uint64_t> clientsRefused{0};
    std::atomic<uint64_t> clientsGivenWay{0};
    std::atomic<uint64_t> framesSent{0};

private:
    class Loop;
    void Serve();

    RadioAccess& radio;
    Clock& clock;
    ServerSettings settings;
    int listener = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    // The server's thread is woken by a stored status only while a set
    // waits for one, and ends once `stopping` is seen.
    std::atomic<bool> awaitingStatus{false};
    std::atomic<bool> stopping{false};
    std::thread thread;
    std::atomic<bool> serving{false};
    std::atomic<uint16_t> boundPort{0};
    std::atomic<int> clientCount{0};
    mutable std::mutex endpointLock;
    std::string endpoint;
};

} // namespace control
