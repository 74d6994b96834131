#include "serial/serialport.h"

#include "serial/portname.h"
#include "serial/serialport_p.h"

#include <algorithm>
#include <cerrno>

namespace {

// The port as messages name it: "COM 7", as the panel's own "Unable to open
// port COM 7" does above them, or the device or endpoint as named.
std::string PortAsNamed(const std::string& name, const std::string& device)
{
    const long number = ComNumberOfPortName(name);
    return number >= 0 ? "COM " + std::to_string(number) : device;
}

} // namespace

CSerialPort::CSerialPort() : CSerialPort(SystemClock()) {}

CSerialPort::CSerialPort(Clock& clock) : d(std::make_unique<CSerialPortPrivate>()), clock(&clock) {}

CSerialPort::~CSerialPort()
{
    Close();
}

bool CSerialPort::Open(const char* path, int baud, char parity, int dataBits, int stopBits,
                       bool dtrEnable, bool rtsEnable)
{
    if (isOpen || path == nullptr) {
        return false;
    }
    name = path;
    const std::string found = CSerialPortPrivate::DeviceName(name);
    SerialError error;
    if (!d->OpenDevice(found, error)) {
        // The port named as the user knows it; a device named directly
        // stands for itself. A backend that knows more than the
        // code says so in its own words.
        const std::string port = PortAsNamed(name, found);
        SetLastError(error.text.empty() ? MakeOpenError(error.code, port, found) : error);
        return false;
    }
    isOpen = true;
    device = found;
    return Configure(baud, parity, dataBits, stopBits, dtrEnable, rtsEnable);
}

bool CSerialPort::OpenAgain(int baud, char parity, int dataBits, int stopBits, bool dtrEnable, bool rtsEnable)
{
    if (isOpen || name.empty()) {
        return false;
    }
    if (const std::string found = CSerialPortPrivate::DeviceName(name); found != device) {
        const std::string port = PortAsNamed(name, found);
        SetLastError(SerialError{ENOENT, port + " no longer leads to " + device + ".", SerialFault::Missing});
        return false;
    }
    const std::string again = name;
    return Open(again.c_str(), baud, parity, dataBits, stopBits, dtrEnable, rtsEnable);
}

bool CSerialPort::Configure(int baud, char parity, int dataBits, int stopBits, bool dtrEnable,
                            bool rtsEnable)
{
    if (!isOpen) {
        return false;
    }
    msPerByte = 1.0;
    if (!d->Valid()) {
        return false;
    }
    SerialError error;
    if (!d->ApplySettings(LineSettings{baud, parity, dataBits, stopBits, dtrEnable, rtsEnable}, error)) {
        SetLastError(error);
        return false;
    }
    const int bitsPerChar = dataBits + stopBits + 1 + (parity != 'N' ? 1 : 0);
    msPerByte = 1000.0 / (static_cast<double>(baud) / static_cast<double>(bitsPerChar));
    return true;
}

bool CSerialPort::Close()
{
    if (!isOpen) {
        return false;
    }
    d->CloseDevice();
    isOpen = false;
    return true;
}

uint32_t CSerialPort::BytesWaiting()
{
    return isOpen ? d->BytesWaiting() : 0;
}

int32_t CSerialPort::Read(void* buffer, int32_t count, int32_t timeoutMs)
{
    if (!isOpen || buffer == nullptr || count <= 0) {
        return 0;
    }
    // Bytes that arrived before the limit are returned rather than dropped: they
    // are already out of the driver's queue and would otherwise be lost.
    const int32_t got = d->ReadSome(buffer, count, timeoutMs).count;
    if (TrafficTap* const t = tap.load(); t != nullptr && got > 0) {
        t->OnTraffic(TrafficDirection::FromRadio, static_cast<const uint8_t*>(buffer), static_cast<size_t>(got));
    }
    return got;
}

int32_t CSerialPort::Write(const void* buffer, int32_t count, int32_t timeoutMs)
{
    if (!isOpen || buffer == nullptr || count < 0) {
        return 0;
    }
    const uint32_t t0 = clock->TickCount();
    TransferResult result;
    {
        const std::lock_guard<std::mutex> lock(writeLock);
        result = d->WriteAll(buffer, count, timeoutMs);
        // Told inside the lock, so the tap sees frames in the order they went out.
        if (TrafficTap* const t = tap.load(); t != nullptr && result.count > 0) {
            t->OnTraffic(TrafficDirection::ToRadio, static_cast<const uint8_t*>(buffer),
                         static_cast<size_t>(result.count));
        }
    }
    if (result.failed || (result.timedOut && result.count == 0)) {
        return 0;
    }
    if (result.timedOut) {
        // The bytes that did go out are reported, so that a caller that
        // repeats with the remainder never sends them twice; a write that ran
        // out of time is not paced.
        return result.count;
    }
    // Pace the caller to the line: a writer of record after record must not
    // run ahead of what the line carries. The target is taken from the count
    // asked for; a write that took no tick at all, or longer than the target,
    // does not sleep.
    const auto target = static_cast<uint32_t>(static_cast<double>(count) * msPerByte);
    const uint32_t elapsed = clock->TickCount() - t0;
    const uint32_t remaining = target - elapsed;
    if (remaining < target) {
        clock->Sleep(remaining);
    }
    return result.count;
}

void CSerialPort::Purge()
{
    if (isOpen) {
        d->PurgeDevice();
    }
    uint8_t scratch[100];
    uint32_t waiting = BytesWaiting();
    while (waiting != 0) {
        const auto chunk = static_cast<int32_t>(std::min<uint32_t>(waiting, sizeof scratch));
        if (Read(scratch, chunk, 1000) == 0) {
            break; // the device went away under us; nothing more will come out
        }
        waiting = BytesWaiting();
    }
}

bool CSerialPort::WaitForInput(int32_t timeoutMs)
{
    return isOpen && d->WaitReadable(timeoutMs);
}

bool CSerialPort::HungUp()
{
    return isOpen && d->HungUp();
}

SerialError CSerialPort::LastError() const
{
    const std::lock_guard<std::mutex> lock(errorLock);
    return lastError;
}

void CSerialPort::SetLastError(SerialError error)
{
    const std::lock_guard<std::mutex> lock(errorLock);
    lastError = std::move(error);
}
