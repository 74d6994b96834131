#pragma once

// The radio's side of the cable: reads what the PC sends, answers polls,
// acts on keys and tune frames, and runs both image hand-shakes. One thread,
// one poll() loop; every wait ends at the next thing that is due.

#include "sim/faults.h"
#include "sim/frameparser.h"
#include "sim/options.h"
#include "sim/pty.h"
#include "sim/radiomodel.h"
#include "sim/voice.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// The cable's speed in bytes per second (115200 baud, ten bits a byte).
inline constexpr uint32_t LINE_BYTES_PER_SECOND = 11520;
// An upload ends after this much silence at a record boundary.
inline constexpr uint32_t UPLOAD_IDLE_MS = 150;
// The first record may take longer: the PC has to see the ready byte first.
inline constexpr uint32_t UPLOAD_START_MS = 1000;
// A sender that stops inside a record has gone; the partial record is dropped.
inline constexpr uint32_t UPLOAD_STALL_MS = 2000;
// A partial frame whose rest has not come for this long was cut off.
inline constexpr uint32_t FRAME_GAP_MS = 20;
// The longest sleep of the loop, which also bounds how long a closed client
// waits before the terminal can be opened again.
inline constexpr uint32_t MAX_WAIT_MS = 100;
// Output that the PC does not read is not kept without bound.
inline constexpr size_t OUTPUT_LIMIT = 65536;
// With a voice, the radio listens this often between polls, so that its
// loudspeaker follows a call from its start and not from the next poll.
inline constexpr uint32_t VOICE_PACE_MS = 10;

// One trace line as the front panel writes it too.
std::string TraceLine(uint32_t ms, bool fromPc, const uint8_t* data, size_t length);

class SimServer {
public:
    explicit SimServer(const SimOptions& options);
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Loads the image, opens the pseudo-terminal and makes the link.
    bool Start(std::string& error);
    const std::string& SlavePath() const { return pty.SlavePath(); }

    // Serves until `wakeFd` becomes readable (the signal handler writes to
    // it) or the hang-up fault fires: 0 then, 1 when the terminal failed.
    int Run(int wakeFd);

    // One line with what was received and sent, for standard error.
    std::string Summary() const;

private:
    enum class Phase { Normal, UploadWaitReady, UploadReceiving, DownloadWaitFlow, DownloadStreaming };

    struct Scheduled {
        uint32_t due = 0;
        Bytes bytes;
    };

    uint32_t Now() const;
    bool Due(uint32_t at, uint32_t now) const { return static_cast<int32_t>(now - at) >= 0; }

    void HandleInput(const uint8_t* data, size_t length, uint32_t now);
    void HandleFrame(const Frame& frame);
    void Reply(Bytes reply);
    void TakeUploadBytes(const uint8_t* data, size_t length);
    void FinishUpload(const char* reason);
    bool UploadComplete() const;
    uint32_t UploadQuietMs() const;
    void StartStream(uint32_t now);

    void Service(uint32_t now);
    void Speak(uint32_t now);
    void PumpStream(uint32_t now);
    void PumpFlood(uint32_t now);
    int TimeoutMs(uint32_t now) const;

    void Send(const Bytes& bytes);
    bool Flush();
    void Trace(bool fromPc, const uint8_t* data, size_t length);
    void FlushJunkTrace();
    void Note(const std::string& text);
    bool SaveImage(const Bytes& image, std::string& error) const;

    SimOptions options;
    PseudoTerminal pty;
    RadioModel model;
    FrameParser parser;
    ReplyFaults faults;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    FILE* traceFile = nullptr;
    std::unique_ptr<Voice> voice;

    Phase phase = Phase::Normal;
    Bytes output;
    size_t outputSent = 0;
    std::vector<Scheduled> scheduled;
    Bytes junkTrace;
    uint32_t nextTickAt = 0;
    uint32_t lastInputAt = 0;

    // Upload from the PC.
    uint32_t readyAt = 0;
    int expectedRecords = 0;
    Bytes uploadData;
    Bytes uploadPending;
    uint32_t lastUploadByteAt = 0;

    // Download to the PC.
    Bytes streamImage;
    size_t streamOffset = 0;
    size_t streamBaseOffset = 0;
    uint32_t streamBaseAt = 0;
    bool pauseDone = false;
    bool pausing = false;
    uint32_t pauseEndsAt = 0;

    uint64_t floodSent = 0;

    std::map<uint8_t, uint32_t> framesByLetter;
    uint32_t flowBytes = 0;
    uint32_t repliesSent = 0;
    uint32_t repliesLost = 0;
    uint32_t uploads = 0;
    uint32_t downloads = 0;
};

} // namespace sim
