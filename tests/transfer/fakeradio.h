#pragma once

// A radio on the master side of a pseudo-terminal, driven by a thread of its
// own: it answers polls, takes an image after its ready byte and streams one
// on request, with faults the tests switch on. The link opens the slave side
// as its port, so the real CSerialPort code runs end to end.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class RadioLink;

class FakeRadio {
public:
    using Time = std::chrono::steady_clock::time_point;

    struct Options {
        // Answer to 02 50 03 03 56: junk bytes at once, then FLOW_BYTE after
        // the delay. Bytes that come before FLOW_BYTE are no part of the
        // image: the radio is not ready for them.
        std::vector<uint8_t> readyJunk;
        int readyDelayMs = 0;
        bool neverReady = false;
        // After the ready byte the radio reads nothing more, so the line fills.
        bool stopReadingAfterReady = false;
        // Streamed on 02 50 01 03 54 once the first FLOW_BYTE arrives.
        std::vector<uint8_t> image;
        size_t pauseAt = SIZE_MAX;
        int pauseMs = 0;
        bool noReply = false; // stays silent on an image request
        bool answerPolls = true;
    };

    explicit FakeRadio(Options options);
    virtual ~FakeRadio();

    FakeRadio(const FakeRadio&) = delete;
    FakeRadio& operator=(const FakeRadio&) = delete;

    // Opens the slave as the link's port and marks the link as running, the
    // way START leaves it (without the poll worker).
    bool Attach(RadioLink& link);
    const std::string& SlavePath() const { return slavePath; }

    // Every byte the PC wrote, in order, with its arrival time.
    std::vector<uint8_t> Heard() const;
    std::vector<Time> HeardTimes() const;
    // Bytes taken as image after the ready byte went out.
    std::vector<uint8_t> ImageReceived() const;
    // Bytes of an image that came before the ready byte and were dropped.
    size_t BytesBeforeReady() const;
    // Takes what the line holds again after stopReadingAfterReady.
    void ResumeReading() { reading = true; }
    std::vector<Time> ImageTimes() const;
    int FlowBytesDuringReceive() const { return flowBytes; }
    int PollsSeen() const { return pollsSeen; }
    Time LastImageByteSent() const;
    // When the ready byte of an upload went on the line; the epoch until then.
    Time ReadySent() const;

    // Puts bytes on the line towards the PC now.
    void Inject(const std::vector<uint8_t>& bytes);
    // The radio vanishes: the master side is closed and the PC sees a hang-up.
    void Vanish();

private:
    enum class Mode { Idle, TakingImage, GivingImage };

    void Run();
    void Hear(const uint8_t* data, size_t count);
    void HandleFrame(const std::vector<uint8_t>& frame);
    void Put(const std::vector<uint8_t>& bytes);
    void StreamSome();
    void LeaveQuietImage();

    Options options;
    int master = -1;
    std::string slavePath;
    std::thread thread;
    std::atomic<bool> quit{false};
    std::atomic<bool> reading{true};
    std::atomic<int> flowBytes{0};
    std::atomic<int> pollsSeen{0};
    mutable std::mutex lock;
    std::vector<uint8_t> heard;
    std::vector<Time> heardTimes;
    std::vector<uint8_t> imageIn;
    std::vector<Time> imageInTimes;
    std::vector<uint8_t> pending; // bytes of a frame being collected
    Mode mode = Mode::Idle;
    bool streaming = false;
    size_t streamed = 0;
    bool pauseDone = false;
    Time resumeAt{};
    Time lastImageSent{};
    Time readyAt{};
    Time readySent{};
    bool readyOwed = false;
    size_t bytesBeforeReady = 0;
};
