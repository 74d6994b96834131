#pragma once

#include "serial/clock.h"
#include "serial/serialerror.h"
#include "serial/traffictap.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class CSerialPortPrivate;

// One serial device, opened for exclusive use. Every operation returns within
// the time limit its caller gives; failures are returned, never thrown.
//
// Two threads use one object at once: the window thread writes key and tune
// frames while a worker reads, writes and purges. A write of one frame holds
// writeLock for its whole length so that two frames never interleave on the
// line; reads need no lock because the backend keeps no transfer pending
// after an operation returns.
class CSerialPort {
public:
    CSerialPort();
    explicit CSerialPort(Clock& clock);
    virtual ~CSerialPort();

    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    bool Open(const char* path, int baud, char parity, int dataBits, int stopBits, bool dtrEnable,
              bool rtsEnable);
    // Opens the port again by the name it was last opened by, after it went.
    // Only where that name led before: a COM number whose link has gone
    // (a simulated radio ended, a link being rewritten) must not fall back
    // to a ttyS the radio was never on and stay there, answering nothing.
    bool OpenAgain(int baud, char parity, int dataBits, int stopBits, bool dtrEnable, bool rtsEnable);
    bool Configure(int baud, char parity, int dataBits, int stopBits, bool dtrEnable, bool rtsEnable);
    bool Close();
    uint32_t BytesWaiting();
    int32_t Read(void* buffer, int32_t count, int32_t timeoutMs);
    int32_t Write(const void* buffer, int32_t count, int32_t timeoutMs);
    void Purge();

    // Blocks until input is waiting or timeoutMs has passed, without spinning.
    // True when bytes are waiting. A device that has hung up reports false
    // after the limit, the same as a silent one, so no caller loops on it.
    bool WaitForInput(int32_t timeoutMs);

    // True once the device has hung up (the cable pulled, the far end gone).
    bool HungUp();

    bool IsOpen() const { return isOpen; }
    // The name the port was last opened by, as its caller gave it ("\\.\COM3",
    // a device path, an endpoint): opened again by it, a COM number is looked
    // up in the COM map afresh, so a link moved to another device is followed.
    const std::string& Name() const { return name; }
    double MsPerByte() const { return msPerByte; }

    // Reason of the last failed Open or Configure, for the user.
    SerialError LastError() const;

    // A tap that sees every byte read or written; null for none. It may be
    // set and cleared while the port is in use.
    void SetTap(TrafficTap* newTap) { tap = newTap; }

    // The tick source and sleep used for write pacing.
    void SetClock(Clock& clock) { this->clock = &clock; }

private:
    void SetLastError(SerialError error);

    bool isOpen = false;
    double msPerByte = 1.0;
    std::string name;
    std::string device; // where name led at the last open that worked
    std::unique_ptr<CSerialPortPrivate> d;
    Clock* clock = nullptr;
    std::atomic<TrafficTap*> tap{nullptr};
    std::mutex writeLock;
    mutable std::mutex errorLock;
    SerialError lastError;
};
