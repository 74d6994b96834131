#include "fakeradio.h"

#include "protocol/frames.h"

#include <cstring>

#include <poll.h>
#include <unistd.h>

namespace {

// Length of each frame the PC sends, by its command letter; 0 for letters
// that no PC frame starts with.
size_t FrameLengthOf(uint8_t command)
{
    switch (command) {
    case CMD_LCD:
    case CMD_STATUS: return 4;
    case CMD_KEY:
    case CMD_CLONE: return 5;
    case CMD_TUNE: return 9;
    default: return 0;
    }
}

constexpr uint8_t LIGHT_KEY = 32;
constexpr uint8_t BACKLIGHT_ICON = 0x40;

} // namespace

LcdReply MakeLcdReply(const char* rows, uint8_t iconFlagsA, uint8_t iconFlagsB)
{
    LcdReply reply{};
    reply[0] = STX;
    reply[1] = CMD_LCD;
    std::memcpy(reply.data() + 2, rows, 64);
    reply[66] = iconFlagsA;
    reply[67] = iconFlagsB;
    reply[68] = ETX;
    reply[69] = Checksum(reply.data(), reply.size());
    return reply;
}

StatusReply MakeStatusReply(const std::array<uint8_t, 16>& block)
{
    StatusReply reply{};
    reply[0] = STX;
    reply[1] = CMD_STATUS;
    std::memcpy(reply.data() + 2, block.data(), block.size());
    reply[18] = ETX;
    reply[19] = Checksum(reply.data(), reply.size());
    return reply;
}

FakeRadio::FakeRadio(int masterFd)
    : master(masterFd),
      lcdReply(MakeLcdReply("FAKE RADIO      "
                            "                "
                            "                "
                            "                ",
                            0, 0)),
      statusReply(MakeStatusReply({}))
{
}

FakeRadio::~FakeRadio()
{
    Stop();
}

void FakeRadio::Start()
{
    stopRequested = false;
    thread = std::thread([this] { Run(stopRequested); });
}

void FakeRadio::Stop()
{
    if (thread.joinable()) {
        stopRequested = true;
        thread.join();
    }
}

void FakeRadio::Run(const std::atomic<bool>& stop, int quitFd)
{
    uint8_t chunk[256];
    while (!stop) {
        pollfd p[2] = {{master, POLLIN, 0}, {quitFd, POLLIN, 0}};
        const int n = ::poll(p, quitFd >= 0 ? 2 : 1, 20);
        if (n < 0 || (quitFd >= 0 && p[1].revents != 0)) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return;
        }
        if (n == 0) {
            continue;
        }
        if ((p[0].revents & POLLIN) == 0) {
            // The slave side is closed: the master reports a hang-up at once
            // and for ever, so wait a little instead of spinning.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        const ssize_t got = ::read(master, chunk, sizeof chunk);
        for (ssize_t i = 0; i < got; ++i) {
            Feed(chunk[i]);
        }
    }
}

void FakeRadio::Feed(uint8_t byte)
{
    if (pending.empty() && byte != STX) {
        pending.push_back(byte);
        Finish(false); // a byte outside any frame
        return;
    }
    pending.push_back(byte);
    if (pending.size() < 2) {
        return;
    }
    const size_t length = FrameLengthOf(pending[1]);
    if (length == 0) {
        Finish(false);
        return;
    }
    if (pending.size() < length) {
        return;
    }
    const bool whole = pending[length - 2] == ETX && Checksum(pending.data(), length) == pending[length - 1];
    const uint8_t command = pending[1];
    const uint8_t code = pending[2];
    Finish(whole);
    if (!whole) {
        return;
    }
    if (command == CMD_KEY && code == LIGHT_KEY) {
        const std::lock_guard<std::mutex> guard(lock);
        lcdReply[67] ^= BACKLIGHT_ICON;
        lcdReply[69] = Checksum(lcdReply.data(), lcdReply.size());
    }
    Answer(command);
}

void FakeRadio::Finish(bool whole)
{
    ReceivedFrame frame{pending, std::chrono::steady_clock::now(), whole};
    pending.clear();
    const std::lock_guard<std::mutex> guard(lock);
    frames.push_back(std::move(frame));
}

void FakeRadio::Answer(uint8_t command)
{
    if (!answering || (command != CMD_LCD && command != CMD_STATUS)) {
        return;
    }
    std::vector<uint8_t> reply;
    {
        const std::lock_guard<std::mutex> guard(lock);
        if (command == CMD_LCD) {
            reply.assign(lcdReply.begin(), lcdReply.end());
        } else {
            reply.assign(statusReply.begin(), statusReply.end());
        }
    }
    WriteAll(reply.data(), reply.size());
    ++repliesSent;
}

void FakeRadio::WriteAll(const uint8_t* bytes, size_t count)
{
    size_t done = 0;
    int stalls = 0;
    while (done < count && stalls < 50) {
        const ssize_t n = ::write(master, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        ++stalls; // the PC side is not reading; give up after about 100 ms
        pollfd p{master, POLLOUT, 0};
        ::poll(&p, 1, 2);
    }
}

void FakeRadio::SetLcdReply(const LcdReply& reply)
{
    const std::lock_guard<std::mutex> guard(lock);
    lcdReply = reply;
}

void FakeRadio::SetStatusReply(const StatusReply& reply)
{
    const std::lock_guard<std::mutex> guard(lock);
    statusReply = reply;
}

std::vector<ReceivedFrame> FakeRadio::Frames() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return frames;
}

std::vector<ReceivedFrame> FakeRadio::FramesOf(uint8_t command) const
{
    std::vector<ReceivedFrame> matching;
    for (auto& frame : Frames()) {
        if (frame.bytes.size() >= 2 && frame.bytes[1] == command) {
            matching.push_back(std::move(frame));
        }
    }
    return matching;
}

bool FakeRadio::WaitForFrames(uint8_t command, size_t count, int timeoutMs) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (FramesOf(command).size() < count) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
