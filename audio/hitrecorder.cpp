#include "audio/hitrecorder.h"

#include "protocol/statustext.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// What the ring holds: the pre-roll, a merge gap waited out, and a disk
// that is slow for a few seconds.
constexpr uint32_t RING_MS = 8000;
// While a hit lasts, its samples go to the file this often.
constexpr uint32_t DRAIN_MS = 250;
constexpr size_t CHUNK_SAMPLES = size_t{DRAIN_MS} * SAMPLES_PER_MS;
// At a hit's end the input may still owe its last samples (they come some
// 50 ms after they were heard); they are waited for this long at most.
constexpr uint32_t END_WAIT_MS = 1000;

int64_t WallNowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Makes `folder` and any missing parent, as the user's umask says; why not
// (or why nothing can be written there), in words.
std::string MakeFolder(const std::string& folder)
{
    for (size_t cut = folder.find('/', 1);; cut = folder.find('/', cut + 1)) {
        const std::string level = folder.substr(0, cut);
        if (::mkdir(level.c_str(), 0777) != 0 && errno != EEXIST) {
            return "cannot make the folder " + level + ": " + std::strerror(errno);
        }
        if (cut == std::string::npos) {
            break;
        }
    }
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return folder + " is not a folder";
    }
    // Said now, rather than at the first hit.
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        return "cannot write in the folder " + folder + ": " + std::strerror(errno);
    }
    return {};
}

} // namespace

HitRecorder::HitRecorder(Clock& clock, RecorderSettings chosen, std::function<void()> noticed)
    : clock(clock), settings(std::move(chosen)), notices(std::move(noticed)), ring(size_t{RING_MS} * SAMPLES_PER_MS),
      chunk(CHUNK_SAMPLES)
{
    if (settings.folder.empty()) {
        settings.folder = DefaultRecordingFolder();
    }
    settings.preRollMs = std::min(settings.preRollMs, LONGEST_PRE_ROLL_MS);
    // A split every few samples would make files without end.
    settings.longestMs = std::max(settings.longestMs, SHORTEST_SPLIT_MS);
    writer = std::thread(&HitRecorder::Run, this);
}

HitRecorder::~HitRecorder()
{
    {
        const std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    wake.notify_all();
    writer.join();
}

void HitRecorder::Follow(HitEdge edge, uint32_t tick, Hit& followed)
{
    if (edge == HitEdge::Shown) {
        return; // the file is named by the frequency and the time alone
    }
    {
        const std::lock_guard<std::mutex> guard(lock);
        if (edge == HitEdge::Began) {
            ++began;
        }
        // Also when a fault stopped recording in the middle of the hit:
        // what was heard until then is in the file.
        if (edge == HitEdge::Ended && namedHit == began) {
            followed.recording = firstName;
        }
        if (!on) {
            return;
        }
        events.push_back({edge, tick, edge == HitEdge::Began ? followed : Hit{}});
    }
    wake.notify_one();
}

void HitRecorder::Interrupted()
{
    ring.Break();
    wake.notify_one();
}

RecorderStats HitRecorder::Stats() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return stats;
}

void HitRecorder::Run()
{
    if (const std::string refused = MakeFolder(settings.folder); !refused.empty()) {
        Fault(refused, {});
        return;
    }
    Prune();
    std::unique_lock<std::mutex> guard(lock);
    while (!stopping && on) {
        const auto due = [this] { return stopping || !events.empty(); };
        if (phase == Phase::Idle) {
            wake.wait(guard, due);
        } else {
            wake.wait_for(guard, std::chrono::milliseconds(DRAIN_MS), due);
        }
        const std::deque<Event> taken = std::exchange(events, {});
        guard.unlock();
        for (const Event& event : taken) {
            Take(event);
            Drain();
        }
        Drain();
        guard.lock();
    }
    guard.unlock();
    // The end of recording ends the hit in progress where the input got to.
    if (phase == Phase::Open) {
        Drain();
    }
    EndHit();
}

void HitRecorder::Take(const Event& event)
{
    switch (event.edge) {
    case HitEdge::Began:
        EndHit();
        phase = Phase::Open;
        hit = event.hit;
        ++hitNumber;
        startTick = event.tick;
        placed = false;
        part = 0;
        saidLost = false;
        break;
    case HitEdge::Closed:
        if (phase == Phase::Open) {
            phase = Phase::Held;
            holdTick = event.tick;
        }
        break;
    case HitEdge::Reopened:
        if (phase == Phase::Held) {
            phase = Phase::Open;
            // A gap longer than the ring holds keeps only its end.
            writePos = std::max(writePos, ring.Held().begin);
        }
        break;
    case HitEdge::Ended:
        if (phase != Phase::Idle) {
            phase = Phase::Ending;
            endTick = event.tick;
            endSeenAt = clock.TickCount();
        }
        break;
    case HitEdge::Shown:
        break;
    }
}

// The position up to which the hit's samples belong in its file; false
// while nothing of the input's current run is there.
bool HitRecorder::Limit(uint64_t& limit) const
{
    switch (phase) {
    case Phase::Open:
        limit = ring.Held().end;
        return true;
    case Phase::Held:
        return ring.PositionOf(holdTick, limit);
    case Phase::Ending:
        return ring.PositionOf(endTick, limit);
    case Phase::Idle:
        break;
    }
    return false;
}

void HitRecorder::Drain()
{
    if (phase == Phase::Idle || !on) {
        return;
    }
    SampleRing::Extent held = ring.Held();
    if (!placed) {
        uint64_t from = 0;
        if (ring.PositionOf(startTick - settings.preRollMs, from)) {
            writePos = std::max(from, held.begin);
            run = held.runBegin;
            placed = true;
        }
    }
    if (placed && held.runBegin != run) {
        // The input was lost and is back: what it gave before ends this
        // file; the rest of the hit goes into the next part.
        WriteUntil(held.runBegin);
        EndFile();
        writePos = std::max(writePos, held.runBegin);
        run = held.runBegin;
    }
    uint64_t limit = 0;
    const bool known = placed && Limit(limit);
    if (known) {
        held = ring.Held();
        if (writePos < held.begin && writePos < limit) {
            const uint64_t missed = std::min(held.begin, limit) - writePos;
            {
                const std::lock_guard<std::mutex> guard(lock);
                stats.lost += missed;
            }
            if (!saidLost) {
                notices.Say(SecondsText(static_cast<uint32_t>(std::min<uint64_t>(missed / SAMPLES_PER_MS, UINT32_MAX))) + " of the hit on " + statustext::FrequencyText(hit.frequencyHz) +
                            " MHz could not be recorded: the disk did not keep up.");
                saidLost = true;
            }
            writePos = held.begin;
        }
        WriteUntil(std::min(limit, held.end));
    }
    if (phase == Phase::Ending && on) {
        const bool allThere = known && ring.Held().end >= limit;
        if (allThere || clock.TickCount() - endSeenAt >= END_WAIT_MS) {
            EndHit();
        }
    }
}

void HitRecorder::WriteUntil(uint64_t until)
{
    while (writePos < until && on) {
        const size_t n = ring.Read(writePos, chunk.data(),
                                   static_cast<size_t>(std::min<uint64_t>(chunk.size(), until - writePos)));
        if (n == 0) {
            return;
        }
        Write(chunk.data(), n);
        writePos += n;
    }
}

void HitRecorder::Write(const int16_t* samples, size_t count)
{
    while (count > 0 && on) {
        if (!file.IsOpen()) {
            ++part;
            const std::string stem = part == 1 ? RecordingStem(hit) : firstStem + "-part" + std::to_string(part);
            std::string error;
            if (!file.Create(settings.folder, stem, settings.format, hit, error)) {
                Fault(error, {});
                return;
            }
            const std::lock_guard<std::mutex> guard(lock);
            ++stats.files;
            if (part == 1) {
                firstStem = file.Stem();
                firstName = file.Name();
                namedHit = hitNumber;
            }
        }
        // A stuck squelch: the file ends at the longest length, and the
        // next part begins with the next sample.
        const uint64_t room = uint64_t{settings.longestMs} * SAMPLES_PER_MS - file.Frames();
        const size_t now = static_cast<size_t>(std::min<uint64_t>(count, room));
        std::string error;
        if (!file.Write(samples, now, error)) {
            Fault(error, file.Frames() > 0 ? file.Name() : std::string());
            return;
        }
        {
            const std::lock_guard<std::mutex> guard(lock);
            stats.samples += now;
        }
        samples += now;
        count -= now;
        if (file.Frames() >= uint64_t{settings.longestMs} * SAMPLES_PER_MS) {
            EndFile();
        }
    }
}

void HitRecorder::EndFile()
{
    std::string error;
    if (file.IsOpen() && !file.Close(error)) {
        Fault(error, {});
    }
}

void HitRecorder::EndHit()
{
    if (phase == Phase::Idle) {
        return;
    }
    EndFile();
    phase = Phase::Idle;
    if (on) {
        Prune();
    }
}

void HitRecorder::Prune()
{
    // The newest recording stays, even should it alone be over the limit.
    const PruneResult pruned =
        PruneRecordings(settings.folder, settings.keepDays, settings.keepBytes, WallNowMs(), file.Name());
    const std::lock_guard<std::mutex> guard(lock);
    stats.removed += static_cast<uint32_t>(pruned.removed);
}

void HitRecorder::Fault(const std::string& error, const std::string& kept)
{
    if (!on.exchange(false)) {
        return;
    }
    std::string ignored;
    file.Close(ignored);
    notices.Say("Recording has stopped: " + error + "." +
                (kept.empty() ? std::string() : " What was heard until then is in " + kept + "."));
    phase = Phase::Idle;
}
