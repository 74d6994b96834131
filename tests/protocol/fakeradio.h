#pragma once

// The far end of the line for tests and the benchmark: answers the two polls
// on a pty master with fixed replies, and records every frame it is sent with
// the time it came, so that a test can check rhythm and wholeness.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

struct ReceivedFrame {
    std::vector<uint8_t> bytes;
    std::chrono::steady_clock::time_point at{};
    // STX, a known command letter, ETX in its place and a right checksum.
    bool whole = false;
};

using LcdReply = std::array<uint8_t, 70>;
using StatusReply = std::array<uint8_t, 20>;

LcdReply MakeLcdReply(const char* rows, uint8_t iconFlagsA, uint8_t iconFlagsB);
StatusReply MakeStatusReply(const std::array<uint8_t, 16>& block);

class FakeRadio {
public:
    explicit FakeRadio(int masterFd);
    ~FakeRadio();

    FakeRadio(const FakeRadio&) = delete;
    FakeRadio& operator=(const FakeRadio&) = delete;

    void Start();
    void Stop();

    // Serves the line on the calling thread until `stop` is set or `quitFd`
    // (when not -1) becomes readable or hangs up.
    void Run(const std::atomic<bool>& stop, int quitFd = -1);

    // A silent radio receives and records but never answers.
    void SetAnswering(bool answering) { this->answering = answering; }
    void SetLcdReply(const LcdReply& reply);
    void SetStatusReply(const StatusReply& reply);

    std::vector<ReceivedFrame> Frames() const;
    std::vector<ReceivedFrame> FramesOf(uint8_t command) const;
    // Waits, bounded, until `count` frames of `command` have come.
    bool WaitForFrames(uint8_t command, size_t count, int timeoutMs) const;
    uint64_t RepliesSent() const { return repliesSent; }

private:
    void Feed(uint8_t byte);
    void Finish(bool whole);
    void Answer(uint8_t command);
    void WriteAll(const uint8_t* bytes, size_t count);

    int master = -1;
    std::atomic<bool> answering{true};
    std::atomic<bool> stopRequested{false};
    std::atomic<uint64_t> repliesSent{0};
    std::thread thread;
    mutable std::mutex lock;
    LcdReply lcdReply{};
    StatusReply statusReply{};
    std::vector<ReceivedFrame> frames;
    std::vector<uint8_t> pending; // the frame being received, touched by the serving thread only
};
