// Win32 backend of CSerialPort: the device opened overlapped, every transfer
// waited on with the caller's limit and cancelled when the limit passes, so
// that the driver never writes into a buffer its caller has given up.
//
// Two threads use the port at once (the window thread writes frames and
// purges, the worker reads, writes and waits). Writes are serialised by the
// portable part's write lock and use the one `overlapped` record that Open
// prepares. Reads and the wait for input each use an OVERLAPPED record and
// event of their own, on the calling thread's stack: a shared record would let
// one thread's completion be taken for the other's, and a lock around reads
// would hold a key frame's purge behind the worker's wait.

#include "serial/serialport_p.h"

#include "serial/portname.h"

#include <algorithm>

namespace {

std::string ErrorText(DWORD code)
{
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                   text, sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.')) {
        s.pop_back();
    }
    return s;
}

DWORD TimeoutOf(int32_t timeoutMs)
{
    return static_cast<DWORD>(std::max<int32_t>(0, timeoutMs));
}

// One overlapped transfer with a record and event of its own.
class OwnTransfer {
public:
    OwnTransfer() { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~OwnTransfer()
    {
        if (ov.hEvent != nullptr) {
            CloseHandle(ov.hEvent);
        }
    }
    OwnTransfer(const OwnTransfer&) = delete;
    OwnTransfer& operator=(const OwnTransfer&) = delete;

    bool Ready() const { return ov.hEvent != nullptr; }
    OVERLAPPED ov{};
};

// Waits for a started transfer; on time-out cancels it and waits for the
// cancellation, so nothing of it is left in the driver. Returns the count
// the driver moved, and whether the limit passed first.
TransferResult Finish(HANDLE handle, OVERLAPPED& ov, DWORD timeoutMs)
{
    TransferResult result;
    DWORD moved = 0;
    const DWORD wait = WaitForSingleObject(ov.hEvent, timeoutMs);
    if (wait == WAIT_OBJECT_0) {
        if (!GetOverlappedResult(handle, &ov, &moved, FALSE)) {
            result.failed = true;
            return result;
        }
        ResetEvent(ov.hEvent);
        result.count = static_cast<int32_t>(moved);
        return result;
    }
    result.timedOut = wait == WAIT_TIMEOUT;
    result.failed = !result.timedOut;
    CancelIoEx(handle, &ov);
    if (GetOverlappedResult(handle, &ov, &moved, TRUE)) {
        result.count = static_cast<int32_t>(moved);
    }
    ResetEvent(ov.hEvent);
    return result;
}

} // namespace

SerialError MakeOpenError(long code, const std::string& port, const std::string& device)
{
    (void)device; // "\\.\COM7" tells the user nothing "COM7" does not
    if (code == ERROR_FILE_NOT_FOUND) {
        return SerialError{code, port + " does not exist: is the cable plugged in?", SerialFault::Missing};
    }
    // The system answers a port held by another program with access denied.
    if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) {
        return SerialError{code, port + " is already in use by another program: end that program first.",
                           SerialFault::Busy};
    }
    return SerialError{code, port + " could not be opened: " + ErrorText(static_cast<DWORD>(code)) + ".",
                       SerialFault::Other};
}

SerialError MakeError(long code, const std::string& what)
{
    return SerialError{code, what + ": " + ErrorText(static_cast<DWORD>(code)) + ".", SerialFault::Other};
}

CSerialPortPrivate::CSerialPortPrivate() : portHandle(INVALID_HANDLE_VALUE) {}

CSerialPortPrivate::~CSerialPortPrivate()
{
    CloseDevice();
}

std::string CSerialPortPrivate::DeviceName(const std::string& name)
{
    return name;
}

bool CSerialPortPrivate::OpenDevice(const std::string& path, SerialError& error)
{
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error.code = static_cast<long>(GetLastError());
        return false;
    }
    overlapped = OVERLAPPED{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        error.code = static_cast<long>(GetLastError());
        CloseHandle(handle);
        return false;
    }
    portHandle = handle;
    return true;
}

bool CSerialPortPrivate::ApplySettings(const LineSettings& s, SerialError& error)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(portHandle, &dcb)) {
        error = MakeError(static_cast<long>(GetLastError()), "Reading the line settings");
        return false;
    }
    dcb.BaudRate = static_cast<DWORD>(s.baud);
    dcb.fBinary = 1;
    dcb.fParity = s.parity != 'N' ? 1 : 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = s.dtrEnable ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = s.rtsEnable ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = 0;
    dcb.wReserved = 0;
    dcb.XonLim = 0;
    dcb.XoffLim = 0;
    dcb.ByteSize = static_cast<BYTE>(s.dataBits);
    dcb.Parity = s.parity == 'E' ? EVENPARITY : (s.parity == 'O' ? ODDPARITY : NOPARITY);
    dcb.StopBits = s.stopBits == 1 ? ONESTOPBIT : TWOSTOPBITS;
    dcb.XonChar = 0;
    dcb.XoffChar = 1;
    dcb.ErrorChar = 0;
    dcb.EofChar = 0;
    dcb.EvtChar = 0;
    if (!SetCommState(portHandle, &dcb)) {
        error = MakeError(static_cast<long>(GetLastError()), "Writing the line settings");
        return false;
    }
    // All five limits 0: a read completes when its count has come, a write
    // when every byte has gone; the caller's limit comes from the wait.
    COMMTIMEOUTS timeouts{};
    if (!SetCommTimeouts(portHandle, &timeouts)) {
        error = MakeError(static_cast<long>(GetLastError()), "Setting the time-outs");
        return false;
    }
    SetCommMask(portHandle, EV_RXCHAR);
    return true;
}

void CSerialPortPrivate::CloseDevice()
{
    if (overlapped.hEvent != nullptr) {
        CloseHandle(overlapped.hEvent);
        overlapped.hEvent = nullptr;
    }
    if (portHandle != INVALID_HANDLE_VALUE && portHandle != nullptr) {
        CloseHandle(portHandle);
    }
    portHandle = INVALID_HANDLE_VALUE;
}

bool CSerialPortPrivate::Valid() const
{
    return portHandle != INVALID_HANDLE_VALUE && portHandle != nullptr;
}

uint32_t CSerialPortPrivate::BytesWaiting()
{
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(portHandle, &errors, &status)) {
        return 0;
    }
    return status.cbInQue;
}

TransferResult CSerialPortPrivate::ReadSome(void* buffer, int32_t count, int32_t timeoutMs)
{
    // Only bytes that are already waiting are asked of the driver, so a read
    // is never left pending for bytes that have not come: cancelling such a
    // read loses what it had taken (Wine reports no count for it at all).
    TransferResult result;
    auto* bytes = static_cast<uint8_t*>(buffer);
    const ULONGLONG deadline = GetTickCount64() + TimeoutOf(timeoutMs);
    while (result.count < count) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        const uint32_t waiting = BytesWaiting();
        if (waiting == 0) {
            if (left == 0) {
                result.timedOut = true;
                return result;
            }
            WaitReadable(static_cast<int32_t>(left));
            continue;
        }
        const auto chunk = static_cast<DWORD>(std::min<uint32_t>(waiting, static_cast<uint32_t>(count - result.count)));
        OwnTransfer transfer;
        if (!transfer.Ready()) {
            result.failed = true;
            return result;
        }
        DWORD got = 0;
        if (!ReadFile(portHandle, bytes + result.count, chunk, &got, &transfer.ov)) {
            if (GetLastError() != ERROR_IO_PENDING) {
                result.failed = result.count == 0;
                return result;
            }
            const TransferResult part = Finish(portHandle, transfer.ov, std::max<DWORD>(left, 1));
            got = static_cast<DWORD>(part.count);
            if (part.failed || part.timedOut) {
                result.count += part.count;
                result.timedOut = part.timedOut;
                result.failed = part.failed && result.count == 0;
                return result;
            }
        }
        result.count += static_cast<int32_t>(got);
    }
    return result;
}

TransferResult CSerialPortPrivate::WriteAll(const void* buffer, int32_t count, int32_t timeoutMs)
{
    TransferResult result;
    overlapped.Offset = 0;
    overlapped.OffsetHigh = 0;
    ClearCommError(portHandle, nullptr, nullptr);
    DWORD put = 0;
    if (WriteFile(portHandle, buffer, static_cast<DWORD>(count), &put, &overlapped)) {
        result.count = static_cast<int32_t>(put);
        return result;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        result.failed = true;
        return result;
    }
    return Finish(portHandle, overlapped, TimeoutOf(timeoutMs));
}

bool CSerialPortPrivate::WaitReadable(int32_t timeoutMs)
{
    if (BytesWaiting() != 0) {
        return true;
    }
    OwnTransfer transfer;
    if (!transfer.Ready()) {
        return false;
    }
    DWORD mask = 0;
    if (!WaitCommEvent(portHandle, &mask, &transfer.ov)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            // No event support: wait out the limit rather than let the caller spin.
            Sleep(TimeoutOf(timeoutMs));
            return BytesWaiting() != 0;
        }
        Finish(portHandle, transfer.ov, TimeoutOf(timeoutMs));
    }
    return BytesWaiting() != 0;
}

bool CSerialPortPrivate::HungUp()
{
    DWORD errors = 0;
    COMSTAT status{};
    return !ClearCommError(portHandle, &errors, &status);
}

const std::string& ExecutableDirectory()
{
    static const std::string directory = [] {
        char path[MAX_PATH + 1] = {};
        const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
        std::string full(path, n);
        const auto cut = full.find_last_of("\\/");
        return cut == std::string::npos ? std::string(".") : full.substr(0, cut);
    }();
    return directory;
}

void CSerialPortPrivate::PurgeDevice()
{
    // The driver's queue is read out by the portable part; nothing sits further away.
}
