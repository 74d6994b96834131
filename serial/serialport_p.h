#pragma once

// The one place that knows which platform the port runs on. Each backend file
// defines these operations; serialport.cpp holds what is common to both.

#include "serial/serialerror.h"

#include <cstdint>
#include <memory>
#include <string>

#if defined(_WIN32)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  include <windows.h>
using PortHandle = HANDLE;
#else
using PortHandle = int;
#endif

struct LineSettings {
    int baud = 115200;
    char parity = 'N';
    int dataBits = 8;
    int stopBits = 1;
    bool dtrEnable = true;
    bool rtsEnable = true;
};

// Outcome of a bounded wait for a transfer of the backend.
struct TransferResult {
    int32_t count = 0;   // bytes moved before the limit or the failure
    bool failed = false; // the device refused or reported an error
    bool timedOut = false;
};

#if !defined(_WIN32)
class NetPort; // a radio served over the network, named by a ports/COM<n> file
#endif

class CSerialPortPrivate {
public:
    CSerialPortPrivate();
    ~CSerialPortPrivate();

    // The device a port name stands for on this platform.
    static std::string DeviceName(const std::string& name);

    // Opens the device for exclusive use; on failure returns false and fills error.
    bool OpenDevice(const std::string& path, SerialError& error);
    bool ApplySettings(const LineSettings& settings, SerialError& error);
    void CloseDevice();
    bool Valid() const;
    uint32_t BytesWaiting();
    TransferResult ReadSome(void* buffer, int32_t count, int32_t timeoutMs);
    TransferResult WriteAll(const void* buffer, int32_t count, int32_t timeoutMs);
    bool WaitReadable(int32_t timeoutMs);
    bool HungUp();
    // Drops what the far end still holds for us; the local queue is read out
    // by the portable part.
    void PurgeDevice();

    PortHandle portHandle{};
#if defined(_WIN32)
    OVERLAPPED overlapped{};
#else
    std::unique_ptr<NetPort> net;
    bool loweredLatency = false; // the FTDI adapter's latency timer, set to 1 ms by the open
#endif
};
