#pragma once

// The network backend of CSerialPort on POSIX systems: a TCP connection to a
// serial server such as ser2net, plain (tcp://) or with Telnet and the
// com-port option of RFC 2217 (rfc2217://). It keeps the rules of the local
// backend: every wait is bounded by its caller's limit, nothing spins on a
// lost connection, and reading and writing may happen on two threads.
//
// Exclusive use here means the server's: ser2net lets one client at a time
// use a port and turns a second one away, which is seen at Open and
// reported as a port in use. Two programs on one machine are kept apart
// the same way.

#include "serial/netendpoint.h"
#include "serial/serialport_p.h"
#include "serial/telnetcodec.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class NetPort {
public:
    // Bounds of the steps of Open; each is a plain wait, never a retry loop.
    static constexpr int kResolveLimitMs = 3000;
    static constexpr int kConnectLimitMs = 3000;
    static constexpr int kNegotiateLimitMs = 1000;
    // How long a com-port command waits for the server's confirmation before
    // going on without it: ser2net on a pseudo-terminal never confirms DTR
    // and RTS, and a client that waits for that never opens.
    static constexpr int kConfirmLimitMs = 300;
    // A plain TCP server that turns a client away does so at once; this is
    // how long Open watches for it.
    static constexpr int kSettleMs = 150;
    // A purge comes before every command, so its confirmation gets less.
    static constexpr int kPurgeLimitMs = 100;

    explicit NetPort(NetEndpoint endpoint);
    ~NetPort();
    NetPort(const NetPort&) = delete;
    NetPort& operator=(const NetPort&) = delete;

    bool Open(SerialError& error);
    bool ApplySettings(const LineSettings& settings, SerialError& error);
    void Close();
    bool Valid() const { return fd >= 0; }
    uint32_t BytesWaiting();
    TransferResult ReadSome(void* buffer, int32_t count, int32_t timeoutMs);
    TransferResult WriteAll(const void* buffer, int32_t count, int32_t timeoutMs);
    bool WaitReadable(int32_t timeoutMs);
    bool HungUp();
    void Purge();

private:
    using Deadline = std::chrono::steady_clock::time_point;

    bool Connect(SerialError& error);
    bool Negotiate(SerialError& error);
    // Sends com-port commands at once and waits, within one bound, for their
    // confirmations: `applied` gets each value the server reports (empty where
    // it said nothing); returns how many were answered.
    size_t SendCommands(const std::vector<uint8_t>& commands,
                        const std::function<std::vector<uint8_t>(size_t)>& valueOf,
                        std::vector<std::vector<uint8_t>>& applied, int limitMs = kConfirmLimitMs);
    bool WaitFor(const std::function<bool()>& seen, Deadline deadline);
    // Takes what the socket holds, without waiting; true when something came.
    bool Pump();
    void HandleEvent(const telnet::Event& event);
    void Queue(const std::vector<uint8_t>& bytes, bool first = false);
    // Sends what waits in `queued` when no write holds the socket.
    void AnswerServer();
    // The rest live under sendLock.
    bool FlushQueued(Deadline deadline);
    size_t SendBytes(const uint8_t* bytes, size_t count, Deadline deadline);
    // A Telnet frame is sent whole: what did not fit goes first in `queued`.
    void SendFrame(const std::vector<uint8_t>& frame, Deadline deadline);
    size_t Available() const { return rx.size() - rxHead; }
    std::string ServerSaid() const;
    SerialError TurnedAway() const;

    NetEndpoint endpoint;
    bool telnetMode = false;
    int fd = -1;
    std::atomic<bool> lost{false};

    // Received side: taken by whichever thread reads, purges or asks.
    mutable std::mutex rxLock;
    telnet::Decoder decoder;
    std::vector<uint8_t> rx;
    size_t rxHead = 0;
    // The server's answers by answer code: how many came, and the last few.
    static constexpr size_t kKeptAnswers = 8;
    uint64_t answerCount[256] = {};
    std::vector<std::vector<uint8_t>> confirms[256];
    bool answered[256] = {}; // options refused once, never again, so no loop
    bool comPortAccepted = false;
    bool comPortRefused = false;
    std::atomic<bool> purgesConfirmed{true};

    // Sending side: one frame at a time; negotiation answers wait in
    // `queued` for the next send when a write holds the lock.
    std::mutex sendLock;
    std::mutex queueLock;
    std::vector<uint8_t> queued;
};
