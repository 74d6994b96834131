#pragma once

// A radio at the far end of a pseudo-terminal, for the panel's tests: the
// panel opens "\\.\COM<n>", which the port maps to <exe dir>/ports/COM<n>, a
// link to the terminal's slave side. A thread holds the master side, keeps
// every byte the panel sends and answers the LCD and status polls.
//
// The test programs run side by side and share the build folder's ports/,
// so each keeps to COM numbers of its own: transfer_panel 143, progress
// 171-181, panel 233-243 but 240, serial 240, app 244-249, fault_panel
// 252.

#include "protocol/frames.h"
#include "serial/keptfiles.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

class PtyRadio {
public:
    using Bytes = std::vector<uint8_t>;

    explicit PtyRadio(int comNumber, bool answerPolls = true) : answerPolls(answerPolls)
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128] = {};
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
            ::ptsname_r(master, name, sizeof name) != 0) {
            return;
        }
        linkPath = LinkPath(comNumber);
        std::error_code ec;
        std::filesystem::create_directories(linkPath.parent_path(), ec);
        std::filesystem::remove(linkPath, ec);
        std::filesystem::create_symlink(name, linkPath, ec);
        if (ec) {
            return;
        }
        ok = true;
        reader = std::thread([this] { Run(); });
    }

    ~PtyRadio()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        changed.notify_all();
        if (reader.joinable()) {
            reader.join();
        }
        std::error_code ec;
        if (!linkPath.empty()) {
            std::filesystem::remove(linkPath, ec);
        }
        if (master >= 0) {
            ::close(master);
        }
    }

    PtyRadio(const PtyRadio&) = delete;
    PtyRadio& operator=(const PtyRadio&) = delete;

    static std::filesystem::path LinkPath(int comNumber)
    {
        return std::filesystem::path(KeptFilesDirectory()) / "ports" / ("COM" + std::to_string(comNumber));
    }

    bool Ok() const { return ok; }

    // Everything received so far, and forgetting it.
    Bytes Received() const
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return received;
    }
    void Clear()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        received.clear();
        scanned = 0;
    }

    static size_t Count(const Bytes& haystack, const Bytes& needle)
    {
        size_t count = 0;
        for (auto it = haystack.begin(); (it = std::search(it, haystack.end(), needle.begin(), needle.end())) !=
                                         haystack.end();
             ++it) {
            ++count;
        }
        return count;
    }

    // Waits until `pattern` has been received; false after timeoutMs.
    bool WaitFor(const Bytes& pattern, int timeoutMs) const
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return Count(received, pattern) > 0; });
    }

    template <size_t N>
    static Bytes Of(const std::array<uint8_t, N>& frame)
    {
        return Bytes(frame.begin(), frame.end());
    }

    // The rows and status block the radio reports.
    void SetDisplay(const std::string& row0, uint8_t battery)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        firstRow = row0;
        batteryByte = battery;
    }

private:
    void Run()
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!stopping) {
            lock.unlock();
            pollfd fd{master, POLLIN, 0};
            const int ready = ::poll(&fd, 1, 20);
            uint8_t chunk[512];
            ssize_t got = 0;
            if (ready > 0 && (fd.revents & POLLIN) != 0) {
                got = ::read(master, chunk, sizeof chunk);
            }
            lock.lock();
            if (got > 0) {
                received.insert(received.end(), chunk, chunk + got);
                changed.notify_all();
                if (answerPolls) {
                    Answer(lock);
                }
            } else if (ready > 0) {
                // No slave side open (yet, or any more): the master reports a
                // hang-up at once, so wait a little instead of asking again.
                changed.wait_for(lock, std::chrono::milliseconds(10), [this] { return stopping; });
            }
        }
    }

    // Answers each poll frame that has come in since the last look.
    void Answer(std::unique_lock<std::mutex>& lock)
    {
        std::vector<Bytes> replies;
        for (; scanned + 4 <= received.size(); ++scanned) {
            if (std::equal(lcdPollFrame.begin(), lcdPollFrame.end(), received.begin() + scanned)) {
                Bytes reply{STX, CMD_LCD};
                for (int k = 0; k < 64; ++k) {
                    const size_t column = static_cast<size_t>(k % 16);
                    reply.push_back(k < 16 && column < firstRow.size() ? firstRow[column] : ' ');
                }
                reply.insert(reply.end(), {0, 0, ETX, 0});
                replies.push_back(Finish(reply));
            } else if (std::equal(statusPollFrame.begin(), statusPollFrame.end(), received.begin() + scanned)) {
                Bytes reply{STX, CMD_STATUS, 1, 0, batteryByte, 0, 10, 0, 0, 0, 200, 0, 0, 0x40, 0x42, 0x0F,
                            0x09, 1, ETX, 0};
                replies.push_back(Finish(reply));
            }
        }
        lock.unlock();
        for (const Bytes& reply : replies) {
            [[maybe_unused]] const ssize_t n = ::write(master, reply.data(), reply.size());
        }
        lock.lock();
    }

    static Bytes Finish(Bytes reply)
    {
        reply.back() = Checksum(reply.data(), reply.size());
        return reply;
    }

    int master = -1;
    bool ok = false;
    bool answerPolls = true;
    std::filesystem::path linkPath;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool stopping = false;
    Bytes received;
    size_t scanned = 0;
    std::string firstRow = "MIRRORED ROW";
    uint8_t batteryByte = 0x90;
    std::thread reader;
};
