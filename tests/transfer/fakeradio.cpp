#include "fakeradio.h"

#include "protocol/frames.h"
#include "protocol/radiolink.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The radio's own pace: half a record at line speed, 66 bytes in about 6 ms.
constexpr size_t STREAM_CHUNK = 66;
constexpr milliseconds STREAM_GAP{6};
constexpr milliseconds IMAGE_QUIET{80};

size_t FrameLength(uint8_t command)
{
    switch (command) {
    case CMD_LCD:
    case CMD_STATUS: return 4;
    case CMD_CLONE:
    case CMD_KEY: return 5;
    case CMD_TUNE: return 9;
    default: return 0;
    }
}

std::vector<uint8_t> Reply(uint8_t command, const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> frame;
    frame.reserve(payload.size() + 4);
    frame.push_back(STX);
    frame.push_back(command);
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(ETX);
    frame.push_back(0);
    frame.back() = Checksum(frame.data(), frame.size());
    return frame;
}

} // namespace

FakeRadio::FakeRadio(Options opts) : options(std::move(opts))
{
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        return;
    }
    slavePath = ::ptsname(master);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    thread = std::thread([this] { Run(); });
}

FakeRadio::~FakeRadio()
{
    quit = true;
    if (thread.joinable()) {
        thread.join();
    }
    if (master >= 0) {
        ::close(master);
    }
}

bool FakeRadio::Attach(RadioLink& link)
{
    if (slavePath.empty() || !link.Port().Open(slavePath.c_str(), 115200, 'N', 8, 1, true, true)) {
        return false;
    }
    link.SetRunningForTest(true);
    return true;
}

std::vector<uint8_t> FakeRadio::Heard() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return heard;
}

std::vector<FakeRadio::Time> FakeRadio::HeardTimes() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return heardTimes;
}

std::vector<uint8_t> FakeRadio::ImageReceived() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return imageIn;
}

FakeRadio::Time FakeRadio::ReadySent() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return readySent;
}

std::vector<FakeRadio::Time> FakeRadio::ImageTimes() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return imageInTimes;
}

size_t FakeRadio::BytesBeforeReady() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return bytesBeforeReady;
}

FakeRadio::Time FakeRadio::LastImageByteSent() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return lastImageSent;
}

void FakeRadio::Inject(const std::vector<uint8_t>& bytes)
{
    Put(bytes);
}

void FakeRadio::Vanish()
{
    quit = true;
    if (thread.joinable()) {
        thread.join();
    }
    if (master >= 0) {
        ::close(master);
        master = -1;
    }
}

void FakeRadio::Put(const std::vector<uint8_t>& bytes)
{
    size_t done = 0;
    const auto deadline = Steady::now() + milliseconds(2000);
    while (done < bytes.size() && Steady::now() < deadline && master >= 0) {
        const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        pollfd p{master, POLLOUT, 0};
        ::poll(&p, 1, 5);
    }
}

void FakeRadio::Run()
{
    uint8_t buffer[512];
    while (!quit) {
        pollfd p{master, static_cast<short>(reading ? POLLIN : 0), 0};
        const int n = ::poll(&p, 1, streaming ? 1 : 5);
        if (n > 0 && (p.revents & POLLIN) != 0) {
            const ssize_t got = ::read(master, buffer, sizeof buffer);
            if (got > 0) {
                Hear(buffer, static_cast<size_t>(got));
            }
        } else if (n > 0 || !reading) {
            // No slave open yet, or it was closed: the master reports a
            // hang-up without pause until someone opens it again. Not
            // reading, the radio keeps the same pace.
            std::this_thread::sleep_for(milliseconds(5));
        }
        if (readyOwed && Steady::now() >= readyAt) {
            Put({FLOW_BYTE});
            const std::lock_guard<std::mutex> guard(lock);
            readyOwed = false;
            readySent = Steady::now();
            if (options.stopReadingAfterReady) {
                reading = false;
            }
        }
        if (streaming) {
            StreamSome();
        }
        LeaveQuietImage();
    }
}

void FakeRadio::Hear(const uint8_t* data, size_t count)
{
    const Time now = Steady::now();
    std::vector<std::vector<uint8_t>> frames;
    {
        const std::lock_guard<std::mutex> guard(lock);
        heard.insert(heard.end(), data, data + count);
        heardTimes.insert(heardTimes.end(), count, now);
        for (size_t i = 0; i < count; ++i) {
            const uint8_t byte = data[i];
            if (mode == Mode::TakingImage) {
                if (readySent == Time{}) {
                    ++bytesBeforeReady;
                    continue;
                }
                imageIn.push_back(byte);
                imageInTimes.push_back(now);
                continue;
            }
            if (mode == Mode::GivingImage && byte == STX && !streaming) {
                mode = Mode::Idle; // a new command: the PC has given up the image
            }
            if (mode == Mode::GivingImage) {
                if (byte == FLOW_BYTE) {
                    ++flowBytes;
                    if (!streaming && !options.noReply && streamed == 0) {
                        streaming = true;
                    }
                }
                continue;
            }
            if (pending.empty() && byte != STX) {
                continue;
            }
            pending.push_back(byte);
            const size_t length = pending.size() >= 2 ? FrameLength(pending[1]) : 4;
            if (length == 0) {
                pending.clear();
            } else if (pending.size() == length) {
                frames.push_back(pending);
                pending.clear();
                // The clone command changes how the following bytes are read.
                if (frames.back()[1] == CMD_CLONE) {
                    mode = frames.back()[2] == 3 ? Mode::TakingImage : Mode::GivingImage;
                }
            }
        }
    }
    for (const auto& frame : frames) {
        HandleFrame(frame);
    }
}

void FakeRadio::LeaveQuietImage()
{
    // Like the radio, which goes back to its keypad once the PC has been
    // quiet for a while after an image (or after announcing an empty one).
    const std::lock_guard<std::mutex> guard(lock);
    if (mode == Mode::TakingImage && reading && !readyOwed && !heardTimes.empty() &&
        Steady::now() - heardTimes.back() > IMAGE_QUIET) {
        mode = Mode::Idle;
    }
}

void FakeRadio::HandleFrame(const std::vector<uint8_t>& frame)
{
    switch (frame[1]) {
    case CMD_LCD: {
        ++pollsSeen;
        if (options.answerPolls) {
            std::vector<uint8_t> rows(64, ' ');
            const char* text = "SCAN  CH 001    146.5200 FM     ";
            std::memcpy(rows.data(), text, std::strlen(text));
            rows.push_back(0x11);
            rows.push_back(0x22);
            Put(Reply(CMD_LCD, rows));
        }
        break;
    }
    case CMD_STATUS:
        ++pollsSeen;
        if (options.answerPolls) {
            Put(Reply(CMD_STATUS, std::vector<uint8_t>(16, 0x01)));
        }
        break;
    case CMD_CLONE:
        if (frame[2] == 3) {
            Put(options.readyJunk);
            const std::lock_guard<std::mutex> guard(lock);
            readySent = Time{};
            readyOwed = !options.neverReady;
            readyAt = Steady::now() + milliseconds(options.readyDelayMs);
        }
        break;
    default:
        break;
    }
}

void FakeRadio::StreamSome()
{
    const Time now = Steady::now();
    if (now < resumeAt) {
        return;
    }
    if (!pauseDone && streamed >= options.pauseAt) {
        pauseDone = true;
        resumeAt = now + milliseconds(options.pauseMs);
        return;
    }
    size_t end = std::min(options.image.size(), streamed + STREAM_CHUNK);
    if (!pauseDone && options.pauseAt > streamed) {
        end = std::min(end, options.pauseAt);
    }
    Put(std::vector<uint8_t>(options.image.begin() + static_cast<std::ptrdiff_t>(streamed),
                             options.image.begin() + static_cast<std::ptrdiff_t>(end)));
    streamed = end;
    {
        const std::lock_guard<std::mutex> guard(lock);
        lastImageSent = Steady::now();
        if (streamed >= options.image.size()) {
            streaming = false;
            mode = Mode::Idle;
        }
    }
    resumeAt = Steady::now() + STREAM_GAP;
}
