#include "sim/simserver.h"

#include "protocol/frames.h"
#include "protocol/tracerecorder.h"
#include "activity/walltime.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr uint32_t PUMP_MS = 10;
constexpr int READ_CHUNK = 4096;

// True when `bytes` is the whole of a poll frame or could still grow into one.
bool MayBePoll(const Bytes& bytes, bool& whole)
{
    for (const auto* frame : {&lcdPollFrame, &statusPollFrame}) {
        const size_t n = std::min(bytes.size(), frame->size());
        if (std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n), frame->begin())) {
            whole = n == frame->size();
            return true;
        }
    }
    whole = false;
    return false;
}

} // namespace

std::string TraceLine(uint32_t ms, bool fromPc, const uint8_t* data, size_t length)
{
    // The program's own trace lines, so that the two sides of a line compare.
    std::string line = TraceRecorder::FormatLine(
        ms, fromPc ? TrafficDirection::ToRadio : TrafficDirection::FromRadio, data, length);
    line.pop_back(); // its line end
    return line;
}

SimServer::SimServer(const SimOptions& options)
    : options(options), model(options.seed), faults(this->options, options.seed)
{
    parser.SetHandlers([this](const Frame& frame) { HandleFrame(frame); },
                       [this](const Bytes& junk) { junkTrace.insert(junkTrace.end(), junk.begin(), junk.end()); });
}

SimServer::~SimServer()
{
    if (traceFile != nullptr) {
        (void)std::fclose(traceFile); // each line was flushed as it was written
    }
}

uint32_t SimServer::Now() const
{
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count());
}

bool SimServer::Start(std::string& error)
{
    Bytes image = DefaultImage(options.records);
    if (!options.imageFile.empty()) {
        std::ifstream in(options.imageFile, std::ios::binary);
        if (in) {
            image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            if (image.size() % IMAGE_RECORD_SIZE != 0) {
                error = options.imageFile + ": its size, " + std::to_string(image.size()) +
                        " bytes, is not a whole number of " + std::to_string(IMAGE_RECORD_SIZE) + "-byte records";
                return false;
            }
        } else {
            // A file that does not exist yet is where an upload will go.
            Note("no " + options.imageFile + " yet: sending the built-in image, saving uploads there");
        }
    }
    model.SetImage(std::move(image));
    std::vector<Transmission> script;
    if (!options.activityFile.empty()) {
        std::ifstream in(options.activityFile, std::ios::binary);
        if (!in) {
            error = "Reading the activity script " + options.activityFile + ": " + std::strerror(errno);
            return false;
        }
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string why;
        if (!ParseActivityScript(text, script, why)) {
            error = options.activityFile + ", " + why;
            return false;
        }
        model.SetScriptedTraffic(script);
    } else {
        model.SetRandomTraffic(options.trafficPerMinute);
    }
    if (!options.traceFile.empty()) {
        traceFile = std::fopen(options.traceFile.c_str(), "we");
        if (traceFile == nullptr) {
            error = "Opening the trace file " + options.traceFile + ": " + std::strerror(errno);
            return false;
        }
    }
    if (!pty.Open(error)) {
        return false;
    }
    if (!options.linkPath.empty() && !pty.Link(options.linkPath, error)) {
        return false;
    }
    if (options.voice != VoiceKind::None) {
        voice = std::make_unique<Voice>(options.voice, options.voiceSink);
    }
    started = std::chrono::steady_clock::now();
    const int64_t startedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
    nextTickAt = RadioModel::TICK_MS;
    if (!options.activityFile.empty()) {
        // Whoever checks what the radio heard needs to know when 0 s was.
        Note("playing " + std::to_string(script.size()) + " transmissions from " + options.activityFile +
             "; 0 s is " + IsoLocalTime(startedMs, SystemWallTime(SystemClock()).OffsetMinutesAt(startedMs)) +
             " (" + std::to_string(startedMs) + " ms since 1970)");
    }
    return true;
}

void SimServer::Note(const std::string& text)
{
    std::fprintf(stderr, "radiosim: %s\n", text.c_str());
}

void SimServer::Trace(bool fromPc, const uint8_t* data, size_t length)
{
    if (length == 0 || (!options.trace && traceFile == nullptr)) {
        return;
    }
    const std::string line = TraceLine(Now(), fromPc, data, length);
    // A trace that cannot be written must not stop the radio answering.
    for (std::FILE* out : {options.trace ? stdout : nullptr, traceFile}) {
        if (out != nullptr) {
            std::fprintf(out, "%s\n", line.c_str());
            (void)std::fflush(out);
        }
    }
}

void SimServer::FlushJunkTrace()
{
    Trace(true, junkTrace.data(), junkTrace.size());
    junkTrace.clear();
}

void SimServer::Send(const Bytes& bytes)
{
    if (output.size() - outputSent + bytes.size() > OUTPUT_LIMIT) {
        // Nobody reads the line; like a real cable, the bytes are simply lost.
        return;
    }
    Trace(false, bytes.data(), bytes.size());
    output.insert(output.end(), bytes.begin(), bytes.end());
}

bool SimServer::Flush()
{
    while (outputSent < output.size()) {
        const ssize_t n = ::write(pty.Master(), output.data() + outputSent, output.size() - outputSent);
        if (n > 0) {
            outputSent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        break; // EAGAIN: the loop waits for POLLOUT
    }
    if (outputSent == output.size()) {
        output.clear();
        outputSent = 0;
        return true;
    }
    return false;
}

void SimServer::Reply(Bytes reply)
{
    auto shaped = faults.Shape(std::move(reply));
    if (!shaped) {
        ++repliesLost;
        return;
    }
    ++repliesSent;
    if (options.delayMs > 0) {
        scheduled.push_back({Now() + static_cast<uint32_t>(options.delayMs), std::move(*shaped)});
    } else {
        Send(*shaped);
    }
}

void SimServer::HandleFrame(const Frame& frame)
{
    FlushJunkTrace();
    Trace(true, frame.raw.data(), frame.raw.size());
    ++framesByLetter[frame.letter];
    if (frame.letter != CMD_CLONE && (phase == Phase::UploadWaitReady || phase == Phase::DownloadWaitFlow)) {
        // The PC gave up on the transfer it asked for and talks again.
        Note("transfer abandoned by the PC");
        phase = Phase::Normal;
    }
    switch (frame.letter) {
    case CMD_LCD: {
        model.Listen(Now());
        const auto reply = model.LcdReply();
        Reply(Bytes(reply.begin(), reply.end()));
        break;
    }
    case CMD_STATUS: {
        model.Listen(Now());
        const auto reply = model.StatusReply();
        Reply(Bytes(reply.begin(), reply.end()));
        break;
    }
    case CMD_KEY:
        model.OnKey(frame.payload[0]);
        break;
    case CMD_TUNE: {
        const auto& p = frame.payload;
        const uint32_t hz = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                            (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
        model.OnTune(hz, p[4]);
        break;
    }
    case CMD_CLONE:
        if (frame.payload[0] == imageSendStartFrame[2]) {
            phase = Phase::UploadWaitReady;
            readyAt = Now() + static_cast<uint32_t>(options.readyDelayMs);
            expectedRecords = options.expectRecords >= 0 ? options.expectRecords : model.ChannelCount();
        } else if (frame.payload[0] == imageReceiveStartFrame[2]) {
            phase = Phase::DownloadWaitFlow;
        } else {
            Note("unknown transfer request " + std::to_string(frame.payload[0]) + " ignored");
        }
        break;
    default:
        break;
    }
}

void SimServer::HandleInput(const uint8_t* data, size_t length, uint32_t now)
{
    size_t i = 0;
    while (i < length) {
        if (phase == Phase::UploadReceiving) {
            TakeUploadBytes(data + i, length - i);
            break;
        }
        if (phase == Phase::DownloadStreaming) {
            // While the image flows the PC only paces it; nothing else counts.
            flowBytes += static_cast<uint32_t>(std::count(data + i, data + length, FLOW_BYTE));
            Trace(true, data + i, length - i);
            break;
        }
        if (phase == Phase::DownloadWaitFlow && parser.Idle() && data[i] == FLOW_BYTE) {
            FlushJunkTrace();
            Trace(true, data + i, 1);
            ++flowBytes;
            ++i;
            StartStream(now);
            continue;
        }
        // One byte at a time: a frame may change the phase, and what follows
        // it in the same read then belongs to the new phase.
        parser.Feed(data + i, 1);
        ++i;
    }
    FlushJunkTrace();
}

uint32_t SimServer::UploadQuietMs() const
{
    return uploadData.empty() && uploadPending.empty() ? UPLOAD_START_MS : UPLOAD_IDLE_MS;
}

bool SimServer::UploadComplete() const
{
    // With no count known, only silence or renewed polling ends an upload.
    return expectedRecords > 0 &&
           uploadData.size() >= static_cast<size_t>(expectedRecords) * static_cast<size_t>(IMAGE_RECORD_SIZE);
}

void SimServer::TakeUploadBytes(const uint8_t* data, size_t length)
{
    uploadPending.insert(uploadPending.end(), data, data + length);
    lastUploadByteAt = Now();
    const size_t tracedFrom = uploadData.size();
    while (!uploadPending.empty()) {
        const bool atBoundary = uploadData.size() % IMAGE_RECORD_SIZE == 0;
        if (atBoundary && UploadComplete()) {
            break;
        }
        if (atBoundary && uploadPending.front() == STX) {
            bool whole = false;
            if (MayBePoll(uploadPending, whole)) {
                if (whole) {
                    Trace(true, uploadData.data() + tracedFrom, uploadData.size() - tracedFrom);
                    FinishUpload("the PC polls again");
                    return;
                }
                // Too short to tell a poll from a record yet; wait for more.
                break;
            }
        }
        const size_t room = IMAGE_RECORD_SIZE - uploadData.size() % IMAGE_RECORD_SIZE;
        const size_t n = std::min(room, uploadPending.size());
        uploadData.insert(uploadData.end(), uploadPending.begin(), uploadPending.begin() + static_cast<std::ptrdiff_t>(n));
        uploadPending.erase(uploadPending.begin(), uploadPending.begin() + static_cast<std::ptrdiff_t>(n));
    }
    Trace(true, uploadData.data() + tracedFrom, uploadData.size() - tracedFrom);
    if (UploadComplete()) {
        FinishUpload("all records received");
    }
}

void SimServer::FinishUpload(const char* reason)
{
    const size_t whole = uploadData.size() / IMAGE_RECORD_SIZE * IMAGE_RECORD_SIZE;
    const size_t partial = uploadData.size() - whole;
    uploadData.resize(whole);
    ++uploads;
    Note("upload ended (" + std::string(reason) + "): " + std::to_string(whole / IMAGE_RECORD_SIZE) + " records" +
         (partial > 0 ? ", " + std::to_string(partial) + " bytes of a partial record dropped" : ""));
    if (whole > 0) {
        // An upload that brought nothing leaves the radio's memory as it was.
        if (!options.imageFile.empty()) {
            std::string error;
            if (!SaveImage(uploadData, error)) {
                Note(error);
            }
        }
        model.SetImage(std::move(uploadData));
    }
    uploadData.clear();
    phase = Phase::Normal;
    Bytes rest;
    rest.swap(uploadPending);
    if (!rest.empty()) {
        HandleInput(rest.data(), rest.size(), Now());
    }
}

bool SimServer::SaveImage(const Bytes& image, std::string& error) const
{
    // Written beside the target and renamed over it, so that a failure never
    // leaves half an image in place of the old one.
    const std::string temporary = options.imageFile + ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        out.flush();
        if (!out) {
            error = "Writing " + temporary + " failed";
            ::unlink(temporary.c_str());
            return false;
        }
    }
    if (::rename(temporary.c_str(), options.imageFile.c_str()) != 0) {
        error = "Saving " + options.imageFile + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

void SimServer::StartStream(uint32_t now)
{
    ++downloads;
    streamImage = model.Image();
    streamOffset = 0;
    streamBaseOffset = 0;
    streamBaseAt = now;
    pauseDone = options.pauseAt < 0;
    pausing = false;
    phase = streamImage.empty() ? Phase::Normal : Phase::DownloadStreaming;
}

void SimServer::PumpStream(uint32_t now)
{
    if (pausing) {
        if (!Due(pauseEndsAt, now)) {
            return;
        }
        pausing = false;
        streamBaseAt = now;
        streamBaseOffset = streamOffset;
    }
    size_t allowed = streamBaseOffset + static_cast<size_t>(uint64_t{now - streamBaseAt} * LINE_BYTES_PER_SECOND / 1000);
    allowed = std::min(allowed, streamImage.size());
    const auto pauseAt = static_cast<size_t>(options.pauseAt);
    if (!pauseDone && allowed >= pauseAt) {
        allowed = std::min(pauseAt, streamImage.size());
    }
    if (allowed > streamOffset) {
        Send(Bytes(streamImage.begin() + static_cast<std::ptrdiff_t>(streamOffset),
                   streamImage.begin() + static_cast<std::ptrdiff_t>(allowed)));
        streamOffset = allowed;
    }
    if (!pauseDone && streamOffset == pauseAt) {
        pauseDone = true;
        pausing = true;
        pauseEndsAt = now + static_cast<uint32_t>(options.pauseMs);
    }
    if (streamOffset >= streamImage.size() && !pausing) {
        phase = Phase::Normal;
        streamImage.clear();
    }
}

void SimServer::PumpFlood(uint32_t now)
{
    const uint64_t due = uint64_t{now} * LINE_BYTES_PER_SECOND / 1000;
    if (due > floodSent) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(due - floodSent, OUTPUT_LIMIT));
        Send(faults.Junk(n));
        floodSent = due;
    }
}

void SimServer::Speak(uint32_t now)
{
    model.Listen(now);
    std::string words;
    if (model.receiving) {
        std::string name = model.Row(2);
        name.erase(name.find_last_not_of(' ') + 1);
        const uint32_t hz = model.receiving->frequencyHz;
        char mhz[32] = {};
        std::snprintf(mhz, sizeof mhz, "%u.%04u", hz / 1000000, hz % 1000000 / 100);
        words = name + ", " + mhz + " megahertz";
    }
    voice->Hear(model.receiving, words);
}

void SimServer::Service(uint32_t now)
{
    while (Due(nextTickAt, now)) {
        model.Tick();
        nextTickAt += RadioModel::TICK_MS;
    }
    if (voice) {
        Speak(now);
    }
    for (auto it = scheduled.begin(); it != scheduled.end();) {
        if (Due(it->due, now)) {
            Send(it->bytes);
            it = scheduled.erase(it);
        } else {
            ++it;
        }
    }
    if (!parser.Idle() && now - lastInputAt >= FRAME_GAP_MS) {
        parser.Expire();
        FlushJunkTrace();
    }
    if (phase == Phase::UploadWaitReady && !options.neverReady && Due(readyAt, now)) {
        Bytes ready = faults.Junk(static_cast<size_t>(options.readyJunk));
        ready.push_back(FLOW_BYTE);
        Send(ready);
        phase = Phase::UploadReceiving;
        uploadData.clear();
        uploadPending.clear();
        parser.Reset();
        lastUploadByteAt = now;
    }
    if (phase == Phase::UploadReceiving) {
        const bool atBoundary = uploadData.size() % IMAGE_RECORD_SIZE == 0;
        const uint32_t idle = now - lastUploadByteAt;
        if (atBoundary && idle >= UploadQuietMs()) {
            FinishUpload("the line went quiet");
        } else if (!atBoundary && idle >= UPLOAD_STALL_MS) {
            FinishUpload("the sender stopped inside a record");
        }
    }
    if (phase == Phase::DownloadStreaming) {
        PumpStream(now);
    }
    if (options.floodSeconds > 0 && now < static_cast<uint32_t>(options.floodSeconds) * 1000) {
        PumpFlood(now);
    }
}

int SimServer::TimeoutMs(uint32_t now) const
{
    uint32_t wait = nextTickAt - now;
    const auto until = [&](uint32_t at) {
        wait = std::min(wait, Due(at, now) ? 0 : at - now);
    };
    for (const Scheduled& s : scheduled) {
        until(s.due);
    }
    if (!parser.Idle()) {
        until(lastInputAt + FRAME_GAP_MS);
    }
    if (phase == Phase::UploadWaitReady && !options.neverReady) {
        until(readyAt);
    }
    if (phase == Phase::UploadReceiving) {
        const bool atBoundary = uploadData.size() % IMAGE_RECORD_SIZE == 0;
        until(lastUploadByteAt + (atBoundary ? UploadQuietMs() : UPLOAD_STALL_MS));
    }
    if (phase == Phase::DownloadStreaming) {
        until(pausing ? pauseEndsAt : now + PUMP_MS);
    }
    if (options.floodSeconds > 0 && now < static_cast<uint32_t>(options.floodSeconds) * 1000) {
        until(now + PUMP_MS);
    }
    if (options.hangupAfterMs >= 0) {
        until(static_cast<uint32_t>(options.hangupAfterMs));
    }
    if (voice) {
        until(now + VOICE_PACE_MS);
    }
    return static_cast<int>(std::min<uint32_t>(wait, MAX_WAIT_MS));
}

int SimServer::Run(int wakeFd)
{
    for (;;) {
        const uint32_t now = Now();
        if (options.hangupAfterMs >= 0 && now >= static_cast<uint32_t>(options.hangupAfterMs)) {
            Note("hanging up the line as asked");
            pty.Unlink();
            pty.Close();
            return 0;
        }
        Service(now);
        pty.ReleaseExclusive();
        const bool drained = Flush();
        pollfd fds[2] = {{pty.Master(), static_cast<short>(POLLIN | (drained ? 0 : POLLOUT)), 0},
                         {wakeFd, POLLIN, 0}};
        const int n = ::poll(fds, wakeFd >= 0 ? 2 : 1, TimeoutMs(Now()));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            Note(std::string("poll failed: ") + std::strerror(errno));
            return 1;
        }
        if (wakeFd >= 0 && fds[1].revents != 0) {
            return 0;
        }
        if (fds[0].revents & POLLIN) {
            uint8_t buffer[READ_CHUNK];
            const ssize_t got = ::read(pty.Master(), buffer, sizeof buffer);
            if (got > 0) {
                lastInputAt = Now();
                HandleInput(buffer, static_cast<size_t>(got), Now());
            } else if (got < 0 && errno != EAGAIN && errno != EINTR) {
                Note(std::string("reading the terminal failed: ") + std::strerror(errno));
                return 1;
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            // We hold a slave descriptor ourselves, so this is a real failure.
            Note("the pseudo-terminal failed");
            return 1;
        }
    }
}

std::string SimServer::Summary() const
{
    std::string text = "radiosim: frames received:";
    for (const uint8_t letter : {CMD_LCD, CMD_STATUS, CMD_KEY, CMD_TUNE, CMD_CLONE}) {
        const auto found = framesByLetter.find(letter);
        text += " " + std::string(1, static_cast<char>(letter)) + "=" +
                std::to_string(found == framesByLetter.end() ? 0 : found->second);
    }
    text += ", flow bytes " + std::to_string(flowBytes);
    text += ", bad checksums " + std::to_string(parser.badChecksums);
    text += ", junk bytes " + std::to_string(parser.junkBytes);
    text += "; replies sent " + std::to_string(repliesSent) + ", lost " + std::to_string(repliesLost);
    text += "; uploads " + std::to_string(uploads) + ", downloads " + std::to_string(downloads);
    return text;
}

} // namespace sim
