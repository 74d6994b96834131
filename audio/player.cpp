#include "audio/player.h"

#include "audio/pulsestream.h"
#include "audio/recordingfiles.h"

#include <sndfile.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t READ_FRAMES = 4096;
constexpr uint32_t OPEN_LIMIT_MS = 3000;
constexpr uint32_t BUFFER_MS = 200;
// A server that takes nothing for this long has stopped playing.
constexpr uint32_t STALL_LIMIT_MS = 3000;

std::string BaseName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A WAV file says its length in its header; libsndfile trusts the file's
// size instead and says nothing when the two differ.
bool WavCutShort(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    unsigned char head[12] = {};
    struct stat info {};
    if (!in.read(reinterpret_cast<char*>(head), sizeof head) || std::memcmp(head, "RIFF", 4) != 0 ||
        ::stat(path.c_str(), &info) != 0) {
        return false;
    }
    const uint64_t said = uint64_t{head[4]} | uint64_t{head[5]} << 8 | uint64_t{head[6]} << 16 |
                          uint64_t{head[7]} << 24;
    return said + 8 > static_cast<uint64_t>(info.st_size);
}

// Only a regular file is opened: a FIFO or a device in a recording's place
// (a name in an activity row is all it takes) would hold the open, and
// whoever waits for the player, for ever. Tested on the open descriptor, so
// that nothing can be put in its place between the test and the open.
SNDFILE* OpenRecording(const std::string& path, SF_INFO& info, std::string& problem)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        problem = BaseName(path) + " cannot be played: " + (fd < 0 ? std::strerror(errno) : "it is not a file");
        if (fd >= 0) {
            ::close(fd);
        }
        return nullptr;
    }
    SNDFILE* file = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
    if (file == nullptr) {
        problem = BaseName(path) + " cannot be played: " + sf_strerror(nullptr);
    }
    return file;
}

} // namespace

RecordingInfo InspectRecording(const std::string& path)
{
    RecordingInfo result;
    const std::string name = BaseName(path);
    SF_INFO info{};
    SNDFILE* file = OpenRecording(path, info, result.problem);
    if (file == nullptr) {
        return result;
    }
    std::vector<short> scratch(READ_FRAMES * static_cast<size_t>(info.channels));
    sf_count_t frames = 0;
    for (sf_count_t n; (n = sf_readf_short(file, scratch.data(), READ_FRAMES)) > 0;) {
        frames += n;
    }
    const bool failed = sf_error(file) != SF_ERR_NO_ERROR;
    sf_close(file);
    result.rate = static_cast<uint32_t>(info.samplerate);
    result.channels = info.channels;
    result.lengthMs = static_cast<uint32_t>(frames * 1000 / std::max(info.samplerate, 1));
    result.playable = frames > 0;
    // The length is unknown when an Ogg stream never ended, and more than
    // there is when a FLAC file stops inside.
    const bool cut = failed || info.frames == SF_COUNT_MAX || info.frames != frames ||
                     ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV && WavCutShort(path));
    if (!result.playable) {
        result.problem = name + " holds no sound that can be played";
    } else if (cut) {
        result.problem = name + " is cut short: only its first " + SecondsText(result.lengthMs) + " can be played";
    }
    return result;
}

void RecordingPlayer::Play(const std::string& path, const std::string& output)
{
    Stop();
    state.Set(PlayerState::Opening, {});
    lengthMs = 0;
    positionMs = 0;
    thread.Start([this, path, output] { Run(path, output); });
}

void RecordingPlayer::Stop()
{
    if (!thread.Running()) {
        return;
    }
    thread.Stop();
    // The player's thread has ended: nothing else sets the state meanwhile.
    if (const PlayerState now = state.Get(); now == PlayerState::Opening || now == PlayerState::Playing) {
        state.Set(PlayerState::Idle, state.Text());
    }
}

void RecordingPlayer::Set(PlayerState next, std::string text)
{
    state.Set(next, std::move(text));
    if (changed) {
        changed();
    }
}

void RecordingPlayer::Run(const std::string& path, const std::string& output)
{
    const RecordingInfo info = InspectRecording(path);
    if (!info.playable) {
        Set(PlayerState::Failed, info.problem);
        return;
    }
    lengthMs = info.lengthMs;
    PulseStream pulse(clock);
    if (!thread.Use(&pulse)) {
        return;
    }
    const auto finish = [&](PlayerState end, std::string text) {
        thread.Use(nullptr);
        Set(end, std::move(text));
    };
    const PulseStream::Spec spec{.direction = PulseStream::Direction::Playback, .device = output, .rate = info.rate,
                                 .channels = static_cast<uint8_t>(info.channels), .bufferMs = BUFFER_MS,
                                 .name = "Ostrelle: " + BaseName(path)};
    if (!pulse.Open(spec, OPEN_LIMIT_MS)) {
        finish(PlayerState::Failed, "No sound server to play " + BaseName(path) + ": " + pulse.Error());
        return;
    }
    SF_INFO fileInfo{};
    std::string problem;
    SNDFILE* file = OpenRecording(path, fileInfo, problem);
    if (file == nullptr) {
        finish(PlayerState::Failed, problem);
        return;
    }
    Set(PlayerState::Playing, info.problem);
    const auto frameBytes = sizeof(short) * static_cast<size_t>(info.channels);
    std::vector<short> samples(READ_FRAMES * static_cast<size_t>(info.channels));
    uint64_t played = 0;
    uint64_t frames = uint64_t{info.lengthMs} * info.rate / 1000;
    uint32_t tookAt = clock.TickCount();
    std::string failure;
    while (!thread.Stopping() && played < frames) {
        const int64_t room = pulse.Wait(BUFFER_MS);
        if (room < 0) {
            failure = "Playing " + BaseName(path) + " stopped: " + pulse.Error();
            break;
        }
        if (room == 0) {
            if (clock.TickCount() - tookAt >= STALL_LIMIT_MS) {
                failure = "Playing " + BaseName(path) + " stopped: the sound server takes no more sound";
                break;
            }
            continue;
        }
        const auto want = static_cast<sf_count_t>(std::min<uint64_t>(
            {static_cast<uint64_t>(room) / frameBytes, READ_FRAMES, frames - played}));
        const sf_count_t got = sf_readf_short(file, samples.data(), want);
        if (got <= 0 || !pulse.Write(samples.data(), static_cast<size_t>(got) * frameBytes)) {
            break;
        }
        played += static_cast<uint64_t>(got);
        positionMs = static_cast<uint32_t>(played * 1000 / info.rate);
        tookAt = clock.TickCount();
    }
    sf_close(file);
    if (!failure.empty()) {
        finish(PlayerState::Failed, failure);
        return;
    }
    if (!thread.Stopping()) {
        pulse.Drain(BUFFER_MS * 2 + 1000);
    }
    finish(thread.Stopping() ? PlayerState::Idle : PlayerState::Finished, info.problem);
}
