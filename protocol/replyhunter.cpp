#include "protocol/replyhunter.h"

#include "protocol/frames.h"

#include <cstring>

ReplyHunter::ReplyHunter(uint8_t* buffer, int32_t length, uint8_t command)
    : buffer(buffer), length(length), command(command), missing(length)
{
    std::memset(buffer, 0, static_cast<size_t>(length));
}

bool ReplyHunter::Feed(const uint8_t* bytes, int32_t count)
{
    for (int32_t i = 0; i < count && missing != 0; ++i) {
        const uint8_t byte = bytes[i];
        if (position == 1 && byte != command) {
            // Dropped and not looked at again: a second STX here does not
            // open a new attempt.
            position = 0;
            missing = length;
        } else if (position != 0 || byte == STX) {
            // An STX opens a reply and the letter follows it; after them
            // every value is data, STX included.
            buffer[position++] = byte;
            --missing;
        }
    }
    return missing == 0;
}
