// POSIX backend of CSerialPort: termios for the line, poll() for every bounded
// wait. Nothing is left pending in the driver when an operation returns, so a
// read or write that timed out can never touch its caller's buffer later.

#include "serial/serialport_p.h"

#include "serial/keptfiles.h"
#include "serial/netendpoint.h"
#include "serial/netport.h"
#include "serial/portmap.h"
#include "serial/portname.h"
#include "serial/posixwait.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/serial.h>
#include <sys/sysmacros.h>
#endif

namespace {

using namespace posixwait;

constexpr int kClosed = -1;

speed_t SpeedFor(int baud)
{
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
#ifdef B230400
    case 230400: return B230400;
#endif
    default: return 0;
    }
}

tcflag_t SizeFor(int dataBits)
{
    switch (dataBits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    case 8: return CS8;
    default: return 0;
    }
}

// A pseudo-terminal or a USB adapter without modem lines refuses the modem
// ioctls; the line still works, so that refusal is not a failure.
bool SetModemLine(int fd, int line, bool raise)
{
#if defined(TIOCMBIS) && defined(TIOCMBIC)
    if (::ioctl(fd, raise ? TIOCMBIS : TIOCMBIC, &line) == 0) {
        return true;
    }
    return errno == ENOTTY || errno == EINVAL || errno == ENOTSUP || errno == EPERM;
#else
    (void)fd;
    (void)line;
    (void)raise;
    return true;
#endif
}

#if defined(__linux__)
// The driver behind a terminal, as sysfs names it ("ftdi_sio"); empty for
// one without (a pseudo-terminal).
std::string DriverOf(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return {};
    }
    const std::string link = "/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                             std::to_string(minor(st.st_rdev)) + "/device/driver";
    const std::string path = ReadLink(link); // empty, and so the result, when there is none
    return path.substr(path.find_last_of('/') + 1);
}
#endif

// An FTDI adapter holds what it received until 62 bytes have come or its
// latency timer runs out, 16 ms unless told otherwise, so every short reply
// would wait that long and the polling rhythm would fall to about a third.
// The low-latency flag makes the driver set the timer to 1 ms; any user may
// set it. True when it was set here, so that Close gives the old setting
// back. Nothing here can fail the open: the line works either way.
bool LowerLatency(int fd)
{
#if defined(__linux__)
    serial_struct ss {};
    if (DriverOf(fd) != "ftdi_sio" || ::ioctl(fd, TIOCGSERIAL, &ss) != 0 || (ss.flags & ASYNC_LOW_LATENCY) != 0) {
        return false;
    }
    ss.flags |= ASYNC_LOW_LATENCY;
    return ::ioctl(fd, TIOCSSERIAL, &ss) == 0;
#else
    (void)fd;
    return false;
#endif
}

void RestoreLatency(int fd)
{
#if defined(__linux__)
    serial_struct ss {};
    if (::ioctl(fd, TIOCGSERIAL, &ss) == 0) {
        ss.flags &= ~ASYNC_LOW_LATENCY;
        (void)::ioctl(fd, TIOCSSERIAL, &ss); // an adapter already gone keeps nothing
    }
#else
    (void)fd;
#endif
}

// A ports/COM<n> file naming a network endpoint opens that instead of a
// device. True when `path` is such a file (or a malformed one, which fails
// here with its own message); `net` is then set only on success.
bool OpenNetwork(const std::string& path, SerialError& error, std::unique_ptr<NetPort>& net)
{
    // The endpoint may also be named directly instead of through a file.
    const std::optional<NetEndpoint> named = ParseNetEndpoint(path);
    NetEndpoint endpoint = named.value_or(NetEndpoint{});
    const EndpointFile found = named ? EndpointFile::Endpoint : ReadNetEndpointFile(path, endpoint);
    switch (found) {
    case EndpointFile::NotAFile:
        return false;
    case EndpointFile::Malformed:
        error = SerialError{ENOTTY, path + " is not a serial device, nor a file whose one line is "
                                           "rfc2217://HOST:PORT or tcp://HOST:PORT."};
        return true;
    case EndpointFile::Endpoint:
        break;
    }
    auto port = std::make_unique<NetPort>(endpoint);
    if (port->Open(error)) {
        net = std::move(port);
    }
    return true;
}

// Reads or writes (`events` POLLIN or POLLOUT) with `move`, which moves what
// is left after the bytes done, until `count` bytes went, the limit passed or
// the line failed. A read that fails fails whole; a write that failed after
// some bytes went reports them, cut short.
template <typename Move>
TransferResult MoveAll(int fd, short events, int32_t count, int32_t timeoutMs, Move move)
{
    TransferResult result;
    const bool reading = events == POLLIN;
    const auto deadline = DeadlineAfter(timeoutMs);
    while (result.count < count) {
        const ssize_t n = move(result.count);
        if (n > 0) {
            result.count += static_cast<int32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            result.failed = reading || result.count == 0; // EIO once the far end has hung up
            return result;
        }
        const short revents = PollFor(fd, events, deadline);
        if (revents == 0) {
            result.timedOut = true;
            return result;
        }
        // A device the kernel has hung up (a USB adapter pulled out) reads
        // as nothing at once and polls as readable for ever after; reading
        // on would spin past the limit.
        if ((revents & events) == 0 || (reading && (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)) {
            result.failed = reading || result.count == 0;
            return result;
        }
    }
    return result;
}

// Where a COM number leads, for the user: the device a link names in the
// end rather than the link itself.
std::string Resolved(const std::string& device)
{
    char resolved[PATH_MAX] = {};
    return ::realpath(device.c_str(), resolved) != nullptr ? std::string(resolved) : device;
}

// The clause that tells why `device` could not be opened, without naming it.
std::string WhyNotOpened(long code, const std::string& device)
{
    switch (code) {
    case ENOENT:
        return "does not exist";
    case ENXIO:
    case ENODEV:
    case EIO:
        // A device node without hardware behind it (a ttyS without a UART)
        // fails so rather than with ENOENT.
        return "has no device behind it";
    case EBUSY:
    case EWOULDBLOCK: {
        const auto holders = FindHolders({device}, SystemPortMapRoots().procDirectory).front();
        if (!holders.empty() &&
            std::all_of(holders.begin(), holders.end(), [](const PortHolder& h) { return h.self; })) {
            return "is already open in this program";
        }
        // Another user's program cannot be seen, nor named.
        return "is already in use by " + (holders.empty() ? std::string("another program") : DescribeHolders(holders)) +
               (holders.size() > 1 ? ": end those programs first" : ": end that program first");
    }
    case ENOTTY:
        return "is not a serial device";
    default:
        return std::string("could not be opened: ") + std::strerror(static_cast<int>(code));
    }
}

} // namespace

SerialError MakeOpenError(long code, const std::string& port, const std::string& device)
{
    const std::string where = port == device ? port : port + " (" + Resolved(device) + ")";
    const bool missing = code == ENOENT || code == ENXIO || code == ENODEV || code == EIO;
    const std::string target = port == device ? std::string() : ReadLink(device);
    if (port != device && target.empty()) {
        // Nothing is linked under the number, and the system's device that
        // stands for it then failed. Said as it is: whatever befell that
        // device, the user most likely meant a cable of their own, which
        // the COM map would name.
        std::string text = "Nothing is linked as " + port + " in the COM map, and " + device + ", which " + port +
                           " opens without a link, " + WhyNotOpened(code, device) + ".";
        if (code == EACCES || code == EPERM) {
            text += " " + PermissionAdvice(device);
        }
        return SerialError{code, text, SerialFault::Missing};
    }
    if (missing) {
        const std::string text = port == device ? device + " " + WhyNotOpened(code, device) + ": is the cable plugged in?"
                                                : port + " leads to " + target + ", which " +
                                                      WhyNotOpened(code, device) + ": is the cable plugged in?";
        return SerialError{code, text, SerialFault::Missing};
    }
    if (code == EACCES || code == EPERM) {
        return SerialError{code, "You have no permission to use " + where + ". " + PermissionAdvice(Resolved(device)),
                           SerialFault::NotPermitted};
    }
    const SerialFault fault = code == EBUSY || code == EWOULDBLOCK ? SerialFault::Busy
                              : code == ENOTTY                     ? SerialFault::NotSerial
                                                                   : SerialFault::Other;
    return SerialError{code, where + " " + WhyNotOpened(code, device) + ".", fault};
}

SerialError MakeError(long code, const std::string& what)
{
    return SerialError{code, what + ": " + std::strerror(static_cast<int>(code)) + ".", SerialFault::Other};
}

CSerialPortPrivate::CSerialPortPrivate() : portHandle(kClosed) {}

std::string CSerialPortPrivate::DeviceName(const std::string& name)
{
    // A device path opens as it stands and needs no folder of kept files:
    // the folder is decided (and perhaps made) only when a COM name needs it.
    if (ComNumberOfPortName(name) < 0) {
        return name;
    }
    return DeviceForPortName(name, KeptFilesDirectory());
}

CSerialPortPrivate::~CSerialPortPrivate()
{
    CloseDevice();
}

bool CSerialPortPrivate::OpenDevice(const std::string& path, SerialError& error)
{
    if (OpenNetwork(path, error, net)) {
        return net != nullptr;
    }
    // Non-blocking, so that the open itself never waits for a carrier, and so
    // that every later read and write waits only inside a bounded poll().
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error.code = errno;
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || !::isatty(fd)) {
        error.code = ENOTTY;
        ::close(fd);
        return false;
    }
    // Exclusive use: TIOCEXCL keeps other users' opens out, and the lock keeps
    // out every program that locks as we do, root included.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error.code = (errno == EWOULDBLOCK) ? EBUSY : errno;
        ::close(fd);
        return false;
    }
#ifdef TIOCEXCL
    ::ioctl(fd, TIOCEXCL);
#endif
    loweredLatency = LowerLatency(fd);
    portHandle = fd;
    return true;
}

bool CSerialPortPrivate::ApplySettings(const LineSettings& s, SerialError& error)
{
    if (net) {
        return net->ApplySettings(s, error);
    }
    termios tio {};
    if (::tcgetattr(portHandle, &tio) != 0) {
        error = MakeError(errno, "Reading the line settings");
        return false;
    }
    const speed_t speed = SpeedFor(s.baud);
    const tcflag_t size = SizeFor(s.dataBits);
    if (speed == 0 || size == 0 || (s.stopBits != 1 && s.stopBits != 2)) {
        error = MakeError(EINVAL, "Line settings");
        return false;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
    tio.c_cflag |= size | CREAD | CLOCAL;
    if (s.parity == 'E' || s.parity == 'O') {
        tio.c_cflag |= PARENB;
        if (s.parity == 'O') {
            tio.c_cflag |= PARODD;
        }
    }
    if (s.stopBits == 2) {
        tio.c_cflag |= CSTOPB;
    }
#ifdef CRTSCTS
    tio.c_cflag &= ~CRTSCTS;
#endif
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    if (::tcsetattr(portHandle, TCSANOW, &tio) != 0) {
        error = MakeError(errno, "Writing the line settings");
        return false;
    }
#if defined(TIOCM_DTR) && defined(TIOCM_RTS)
    if (!SetModemLine(portHandle, TIOCM_DTR, s.dtrEnable) || !SetModemLine(portHandle, TIOCM_RTS, s.rtsEnable)) {
        error = MakeError(errno, "Setting DTR and RTS");
        return false;
    }
#endif
    return true;
}

void CSerialPortPrivate::CloseDevice()
{
    net.reset();
    if (portHandle != kClosed) {
#ifdef TIOCNXCL
        // The exclusive claim belongs to the device, not to this descriptor:
        // while another process (a simulator, say) keeps the device open it
        // would outlive the close and lock the user out of the next START.
        ::ioctl(portHandle, TIOCNXCL);
#endif
        if (loweredLatency) {
            RestoreLatency(portHandle);
            loweredLatency = false;
        }
        ::close(portHandle); // also releases the lock
        portHandle = kClosed;
    }
}

bool CSerialPortPrivate::Valid() const
{
    if (net) {
        return net->Valid();
    }
    return portHandle != kClosed;
}

uint32_t CSerialPortPrivate::BytesWaiting()
{
    if (net) {
        return net->BytesWaiting();
    }
    int waiting = 0;
    if (portHandle == kClosed || ::ioctl(portHandle, FIONREAD, &waiting) != 0 || waiting < 0) {
        return 0;
    }
    return static_cast<uint32_t>(waiting);
}

TransferResult CSerialPortPrivate::ReadSome(void* buffer, int32_t count, int32_t timeoutMs)
{
    if (net) {
        return net->ReadSome(buffer, count, timeoutMs);
    }
    auto* bytes = static_cast<uint8_t*>(buffer);
    return MoveAll(portHandle, POLLIN, count, timeoutMs, [&](int32_t done) {
        return ::read(portHandle, bytes + done, static_cast<size_t>(count - done));
    });
}

TransferResult CSerialPortPrivate::WriteAll(const void* buffer, int32_t count, int32_t timeoutMs)
{
    if (net) {
        return net->WriteAll(buffer, count, timeoutMs);
    }
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    return MoveAll(portHandle, POLLOUT, count, timeoutMs, [&](int32_t done) {
        return ::write(portHandle, bytes + done, static_cast<size_t>(count - done));
    });
}

bool CSerialPortPrivate::WaitReadable(int32_t timeoutMs)
{
    if (net) {
        return net->WaitReadable(timeoutMs);
    }
    if (BytesWaiting() != 0) {
        return true;
    }
    const auto deadline = DeadlineAfter(timeoutMs);
    const short revents = PollFor(portHandle, POLLIN, deadline);
    if ((revents & POLLIN) != 0 && BytesWaiting() != 0) {
        return true;
    }
    if (revents != 0) {
        // A hung-up descriptor reports itself at once and for ever; waiting
        // out the limit here keeps every caller's loop from spinning on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(MsLeft(deadline)));
    }
    return false;
}

bool CSerialPortPrivate::HungUp()
{
    if (net) {
        return net->HungUp();
    }
    pollfd p{portHandle, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void CSerialPortPrivate::PurgeDevice()
{
    if (net) {
        net->Purge();
    }
}

const std::string& ExecutableDirectory()
{
    static const std::string directory = [] {
        const std::string full = ReadLink("/proc/self/exe");
        if (full.empty()) {
            return std::string(".");
        }
        const auto cut = full.find_last_of('/');
        return cut == std::string::npos ? std::string(".") : full.substr(0, cut == 0 ? 1 : cut);
    }();
    return directory;
}
