#include "sim/faults.h"

#include "protocol/frames.h"

namespace sim {

ReplyFaults::ReplyFaults(const SimOptions& options, uint32_t seed) : options(options), rng(seed ^ 0x5A5A5A5Au) {}

Bytes ReplyFaults::Junk(size_t count)
{
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes junk;
    junk.reserve(count);
    while (junk.size() < count) {
        const auto b = static_cast<uint8_t>(byte(rng));
        if (b != STX && b != FLOW_BYTE) {
            junk.push_back(b);
        }
    }
    return junk;
}

std::optional<Bytes> ReplyFaults::Shape(Bytes reply)
{
    if (options.noReply ||
        (options.dropPercent > 0 && std::uniform_int_distribution<int>(0, 99)(rng) < options.dropPercent)) {
        ++dropped;
        return std::nullopt;
    }
    if (options.wrongLetter && reply.size() >= 2) {
        // Lower case: a letter no reply carries, with a checksum that fits it,
        // so that only the letter is wrong.
        reply[1] = static_cast<uint8_t>(reply[1] ^ 0x20);
        reply.back() = Checksum(reply.data(), reply.size());
    }
    if (options.truncate >= 0 && static_cast<size_t>(options.truncate) < reply.size()) {
        reply.resize(static_cast<size_t>(options.truncate));
    }
    if (options.junk > 0) {
        Bytes shaped = Junk(static_cast<size_t>(options.junk));
        shaped.insert(shaped.end(), reply.begin(), reply.end());
        reply = std::move(shaped);
    }
    return reply;
}

} // namespace sim
