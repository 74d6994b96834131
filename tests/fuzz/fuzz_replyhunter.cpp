// Arbitrary byte streams cut into arbitrary pieces: the hunter must never
// write outside its buffer, and a frame it calls whole must begin STX and the
// command and hold exactly the bytes that followed them.

#include "protocol/frames.h"
#include "protocol/replyhunter.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    const int32_t length = 2 + data[0] % 80;
    const uint8_t command = (data[1] & 1) ? CMD_STATUS : CMD_LCD;
    data += 2;
    size -= 2;
    std::vector<uint8_t> buffer(static_cast<size_t>(length));
    ReplyHunter hunter(buffer.data(), length, command);
    size_t offset = 0;
    while (offset < size && !hunter.Complete()) {
        // The first byte of each piece says how long the piece is, as reads
        // of the port would cut the stream: never more than is missing.
        const int32_t want = 1 + data[offset] % 100;
        ++offset;
        int32_t piece = want < hunter.Missing() ? want : hunter.Missing();
        if (static_cast<size_t>(piece) > size - offset) {
            piece = static_cast<int32_t>(size - offset);
        }
        hunter.Feed(data + offset, piece);
        if (hunter.Missing() > length || hunter.Missing() < 0) {
            std::abort();
        }
        offset += static_cast<size_t>(piece);
    }
    if (hunter.Complete() && (buffer[0] != STX || buffer[1] != command)) {
        std::abort();
    }
    return 0;
}
