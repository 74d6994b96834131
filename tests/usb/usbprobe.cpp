// usbprobe: the core against a real serial driver, run inside the test
// guest (or on the host against a pseudo-terminal for comparison). It prints
// one "name value" line per finding for tests/usb/run-usb-tests.sh to judge.
//
//   usbprobe DEVICE poll SECONDS [hold] [timer]
//                                         polls through the poll worker; on a
//                                         hang-up reports how it was seen, then
//                                         closes at once (or holds the old
//                                         descriptor) and waits for the
//                                         adapter to come back. `timer` takes
//                                         back the port's low-latency flag, so
//                                         that the driver's latency_timer holds
//   usbprobe DEVICE lines                 DTR and RTS as the driver holds them
//   usbprobe DEVICE exclusive             a second open is refused
//
// Exit code 0 when the probe could do its work, 1 when it could not (the
// script judges the figures), 2 for a wrong call.

#include "protocol/radiolink.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <glob.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Steady = std::chrono::steady_clock;

long MsSince(Steady::time_point t)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - t).count());
}

// The port object keeps its descriptor to itself; the probe finds it among
// its own open files so that it asks the driver about the very same open.
int OwnDescriptor(const std::string& device)
{
    struct stat want {};
    if (::stat(device.c_str(), &want) != 0) {
        return -1;
    }
    for (int fd = 3; fd < 256; ++fd) {
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == want.st_rdev) {
            return fd;
        }
    }
    return -1;
}

// The tty's device folder in sysfs, which names the driver and holds its knobs.
std::string SysfsDevice(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return {};
    }
    return "/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)) +
           "/device";
}

std::string FirstLine(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line.empty() ? "-" : line;
}

void PrintDriver(int fd)
{
    const std::string sys = SysfsDevice(fd);
    char target[512] = {};
    const ssize_t n = ::readlink((sys + "/driver").c_str(), target, sizeof target - 1);
    const std::string driver = n > 0 ? std::string(target, static_cast<size_t>(n)) : "-";
    std::printf("driver %s\n", driver.substr(driver.find_last_of('/') + 1).c_str());
    std::printf("latency_timer %s\n", FirstLine(sys + "/latency_timer").c_str());
    serial_struct ss {};
    if (::ioctl(fd, TIOCGSERIAL, &ss) == 0) {
        std::printf("low_latency %d\n", (ss.flags & ASYNC_LOW_LATENCY) != 0 ? 1 : 0);
    } else {
        std::printf("low_latency -\n");
    }
}

std::string Hex(const uint8_t* bytes, int count)
{
    std::string text;
    char two[4];
    for (int i = 0; i < count; ++i) {
        (void)std::snprintf(two, sizeof two, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += two;
    }
    return text;
}

// The first /dev/ttyUSB<n> that exists, or empty.
std::string AnyUsbTty()
{
    glob_t found{};
    std::string first;
    if (::glob("/dev/ttyUSB*", 0, nullptr, &found) == 0 && found.gl_pathc > 0) {
        first = found.gl_pathv[0];
    }
    ::globfree(&found);
    return first;
}

bool OpenPort(CSerialPort& port, const std::string& device, bool lines = true)
{
    if (port.Open(device.c_str(), 115200, 'N', 8, 1, lines, lines)) {
        return true;
    }
    std::printf("open_failed %s\n", port.LastError().text.c_str());
    return false;
}

int Poll(const std::string& device, int seconds, bool hold, bool timer)
{
    RadioLink link;
    if (!OpenPort(link.Port(), device)) {
        return 1;
    }
    serial_struct ss {};
    if (timer && ::ioctl(OwnDescriptor(device), TIOCGSERIAL, &ss) == 0) {
        ss.flags &= ~ASYNC_LOW_LATENCY;
        (void)::ioctl(OwnDescriptor(device), TIOCSSERIAL, &ss);
    }
    PrintDriver(OwnDescriptor(device));
    link.SetRunningForTest(true);
    // One exchange by hand first, so that its bytes can be laid beside the
    // radio's own trace.
    uint8_t reply[STATUS_REPLY_LENGTH] = {};
    link.SendCommand(statusPollFrame.data(), static_cast<int32_t>(statusPollFrame.size()));
    if (link.ReadReply(reply, STATUS_REPLY_LENGTH, CMD_STATUS, 1000)) {
        std::printf("reply %s\n", Hex(reply, STATUS_REPLY_LENGTH).c_str());
    } else {
        std::printf("reply none\n");
    }

    std::atomic<long> lastReplyMs{0};
    const auto start = Steady::now();
    link.SetStoreObserver([&](const StoredReply&) { lastReplyMs = MsSince(start); });
    if (hold) {
        // The poll worker lets a port that hung up go at once; to see what
        // the old descriptor does, this one only polls.
        link.StartWorker([](RadioLink& l) {
            uint8_t buffer[LCD_REPLY_LENGTH] = {};
            while (!l.StopRequested()) {
                l.GetClock().Sleep(10);
                PollStatusOnce(l, buffer);
            }
            return 0;
        });
    } else {
        link.StartWorker(PollWorker);
    }
    std::printf("polling\n");
    (void)std::fflush(stdout);

    // The rate leaves out the first second, in which caches and the
    // driver's first transfers settle.
    uint64_t countedFrom = 0;
    uint64_t previous = 0;
    long hangupMs = -1;
    int second = 0;
    while (MsSince(start) < seconds * 1000L) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (hold ? link.Port().HungUp() : link.State() == LinkState::PortGone) {
            hangupMs = MsSince(start);
            break;
        }
        if (MsSince(start) >= (second + 1) * 1000L) {
            ++second;
            const uint64_t now = link.Stats().statusRepliesStored;
            std::printf("second %d status %llu\n", second, static_cast<unsigned long long>(now - previous));
            (void)std::fflush(stdout);
            previous = now;
            if (second == 1) {
                countedFrom = now;
            }
        }
    }
    if (hangupMs < 0) {
        link.StopWorker();
        if (second > 1) {
            std::printf("rate %.1f\n", static_cast<double>(previous - countedFrom) / (second - 1));
        }
        return 0;
    }

    // Unplugged: how soon it was seen, and what the old descriptor still does.
    std::printf("hangup_ms %ld\n", hangupMs - lastReplyMs);
    link.StopWorkerThread();
    std::printf("write_after_hangup %d\n",
                link.Port().Write(statusPollFrame.data(), static_cast<int32_t>(statusPollFrame.size()), 100));
    std::printf("read_after_hangup %d\n", link.Port().Read(reply, 1, 100));
    const auto gone = Steady::now();
    while (::access(device.c_str(), F_OK) == 0 && MsSince(gone) < 2000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::printf("node_gone %s\n", ::access(device.c_str(), F_OK) == 0 ? "no" : "yes");
    if (!hold) {
        link.StopWorker();
    }
    std::printf("waiting\n");
    (void)std::fflush(stdout);
    const auto waitFrom = Steady::now();
    std::string back;
    while ((back = AnyUsbTty()).empty() && MsSince(waitFrom) < 10000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::printf("back %s\n", back.empty() ? "-" : back.c_str());
    link.StopWorker();
    return 0;
}

int Lines(const std::string& device)
{
    CSerialPort port;
    if (!OpenPort(port, device, false)) {
        return 1;
    }
    const int fd = OwnDescriptor(device);
    for (const bool raise : {false, true}) {
        if (raise && !port.Configure(115200, 'N', 8, 1, true, true)) {
            std::printf("configure_failed %s\n", port.LastError().text.c_str());
            return 1;
        }
        int bits = 0;
        if (::ioctl(fd, TIOCMGET, &bits) != 0) {
            std::printf("tiocmget_failed %s\n", std::strerror(errno));
            return 1;
        }
        std::printf("lines_%s DTR %d RTS %d\n", raise ? "raised" : "lowered", (bits & TIOCM_DTR) != 0 ? 1 : 0,
                    (bits & TIOCM_RTS) != 0 ? 1 : 0);
    }
    return 0;
}

int Exclusive(const std::string& device)
{
    CSerialPort first;
    if (!OpenPort(first, device)) {
        return 1;
    }
    CSerialPort second;
    const bool opened = second.Open(device.c_str(), 115200, 'N', 8, 1, true, true);
    const std::string why = second.LastError().text;
    std::printf("second_open %s\n", opened ? "opened" : "refused");
    std::printf("second_reason %s\n", why.substr(why.rfind('\n') + 1).c_str());
    // A program that takes no lock, run by an ordinary user who may use the
    // device: only the driver's exclusive claim keeps it out.
    (void)::chmod(device.c_str(), 0666);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(100);
        }
        const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ::_exit(fd >= 0 ? 0 : errno);
    }
    int status = 0;
    (void)::waitpid(child, &status, 0);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::printf("plain_open %s\n", code == 0 ? "opened" : code == 100 ? "no-user" : std::strerror(code));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: usbprobe DEVICE poll SECONDS [hold] [timer] | lines | exclusive\n");
        return 2;
    }
    const std::string device = argv[1];
    const std::string what = argv[2];
    int result = 2;
    if (what == "poll" && argc >= 4) {
        const auto given = [&](const char* word) {
            return std::any_of(argv + 4, argv + argc, [&](const char* a) { return std::strcmp(a, word) == 0; });
        };
        const long seconds = std::strtol(argv[3], nullptr, 10);
        result = Poll(device, static_cast<int>(std::clamp(seconds, 1L, 3600L)), given("hold"), given("timer"));
    } else if (what == "lines") {
        result = Lines(device);
    } else if (what == "exclusive") {
        result = Exclusive(device);
    } else {
        std::fprintf(stderr, "usbprobe: unknown request %s\n", what.c_str());
    }
    (void)std::fflush(stdout);
    return result;
}
