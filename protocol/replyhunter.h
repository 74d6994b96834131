#pragma once

#include <cstdint>

// Finds one reply of a known length in the bytes the radio sends: STX, then
// the expected command letter, then the rest of the frame as it comes. Kept
// apart from the port so that any byte stream, cut into any pieces, can be
// fed to it (the tests and the fuzzer do).
class ReplyHunter {
public:
    // `buffer` must hold `length` (at least 2) bytes; it is zeroed here.
    ReplyHunter(uint8_t* buffer, int32_t length, uint8_t command);

    // Bytes still missing from the frame; a read never asks for more, so no
    // byte beyond the frame is ever taken from the port.
    int32_t Missing() const { return missing; }
    bool Complete() const { return missing == 0; }

    // Examines `count` bytes in order and returns true once the frame is
    // whole; bytes after its last one are not examined.
    bool Feed(const uint8_t* bytes, int32_t count);

private:
    uint8_t* buffer = nullptr;
    int32_t length = 0;
    uint8_t command = 0;
    int32_t position = 0;
    int32_t missing = 0;
};
