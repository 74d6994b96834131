// What a network server sends and what a user writes into a ports/ file are
// outside our hands: the Telnet decoder and the endpoint parser must take any
// bytes without a crash, and give the same however the stream is cut.

#include "serial/netendpoint.h"
#include "serial/telnetcodec.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> wholeData;
    std::vector<telnet::Event> wholeEvents;
    telnet::Decoder whole;
    whole.Feed(data, size, wholeData, wholeEvents);

    // The first byte picks where to cut the rest.
    const size_t cut = size == 0 ? 0 : data[0] % (size + 1);
    std::vector<uint8_t> cutData;
    std::vector<telnet::Event> cutEvents;
    telnet::Decoder pieces;
    pieces.Feed(data, cut, cutData, cutEvents);
    pieces.Feed(data + cut, size - cut, cutData, cutEvents);
    if (cutData != wholeData || cutEvents != wholeEvents || wholeData.size() > size) {
        std::abort();
    }
    for (const auto& event : wholeEvents) {
        if (event.payload.size() > telnet::Decoder::kMaxPayload) {
            std::abort();
        }
    }

    // An endpoint that parses reads back the same from the text shown for it.
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    if (const auto endpoint = ParseNetEndpoint(line)) {
        const auto again = ParseNetEndpoint(endpoint->Text());
        if (!again || again->host != endpoint->host || again->port != endpoint->port ||
            again->protocol != endpoint->protocol) {
            std::abort();
        }
    }
    return 0;
}
