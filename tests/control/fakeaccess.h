#pragma once

// A radio whose records a test sets, and a client on a loopback socket.

#include "control/rigctlprotocol.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

class FakeAccess final : public control::RadioAccess {
public:
    // A stored status with this frequency, status modulation index and RSSI.
    void SetStatus(uint32_t hz, uint8_t modulation, uint16_t rssi)
    {
        const std::lock_guard<std::mutex> guard(lock);
        uint8_t* b = snap.status.block;
        b[4] = static_cast<uint8_t>(rssi & 0xFF);
        b[5] = static_cast<uint8_t>(rssi >> 8);
        for (int i = 0; i < 4; ++i) {
            b[11 + i] = static_cast<uint8_t>(hz >> (8 * i));
        }
        b[15] = modulation;
        snap.status.statusValid = true;
    }
    // A status reply stored: the server's wake is called as the link calls it.
    void Store()
    {
        ++stores;
        const std::lock_guard<std::mutex> guard(wakeLock);
        if (wake) {
            wake();
        }
    }
    size_t TuneCount() const
    {
        const std::lock_guard<std::mutex> guard(lock);
        return tunes.size();
    }
    std::pair<uint32_t, int32_t> LastTune() const
    {
        const std::lock_guard<std::mutex> guard(lock);
        return tunes.empty() ? std::pair<uint32_t, int32_t>{} : tunes.back();
    }

    PanelSnapshot Snapshot() const override
    {
        const std::lock_guard<std::mutex> guard(lock);
        return snap;
    }
    LinkState State() const override { return state; }
    uint32_t StatusAgeMs() const override { return ageMs; }
    uint64_t StatusStores() const override { return stores; }
    void SetStatusWake(std::function<void()> next) override
    {
        const std::lock_guard<std::mutex> guard(wakeLock);
        wake = std::move(next);
    }
    SendResult Tune(uint32_t hz, int32_t modulation) override
    {
        const std::lock_guard<std::mutex> guard(lock);
        if (result == SendResult::Sent) {
            tunes.emplace_back(hz, modulation);
        }
        return result;
    }

    PanelSnapshot snap;
    std::atomic<LinkState> state{LinkState::Answering};
    std::atomic<uint32_t> ageMs{0};
    std::atomic<SendResult> result{SendResult::Sent};

private:
    mutable std::mutex lock;
    std::atomic<uint64_t> stores{0};
    std::mutex wakeLock;
    std::function<void()> wake;
    std::vector<std::pair<uint32_t, int32_t>> tunes;
};

// One TCP client of 127.0.0.1:port, with bounded reads.
class TestClient {
public:
    explicit TestClient(uint16_t port) : fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    TestClient(TestClient&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;
    TestClient& operator=(TestClient&&) = delete;
    ~TestClient()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }

    bool Connected() const { return fd >= 0; }
    // The server has closed it (seen by a read).
    bool Closed() const { return closed; }
    void Send(const std::string& text) const { (void)!::send(fd, text.data(), text.size(), MSG_NOSIGNAL); }
    void ShutWrite() const { (void)::shutdown(fd, SHUT_WR); }

    // What arrives within `ms` (stops early once the peer closes).
    std::string ReadFor(int ms)
    {
        return Read(ms, [](const std::string&) { return false; });
    }
    // Everything until the peer closes; what came when `ms` ran out first.
    std::string ReadUntilClosed(int ms) { return ReadFor(ms); }
    // Until `lines` lines came, or `ms` ran out.
    std::string ReadLines(long lines, int ms)
    {
        return Read(ms, [lines](const std::string& got) { return std::count(got.begin(), got.end(), '\n') >= lines; });
    }
    // Sends `question` and reads its reply: a result line, or as many lines
    // as the simple questions asked here answer (two for m and s).
    std::string Ask(const std::string& question, int ms = 2000)
    {
        Send(question);
        const long lines = question == "m\n" || question == "s\n" ? 2 : 1;
        return Read(ms, [lines](const std::string& got) {
            return !got.empty() && got.back() == '\n' &&
                   (got.find("RPRT") != std::string::npos || std::count(got.begin(), got.end(), '\n') >= lines);
        });
    }

private:
    template <typename Done>
    std::string Read(int ms, Done done)
    {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!closed && !done(got)) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            char buffer[65536];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed = true;
                break;
            }
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }

    bool closed = false;
    int fd = -1;
};
