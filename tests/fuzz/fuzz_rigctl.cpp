// The control server's command parser fed arbitrary lines against a radio
// whose status block comes from the input too. Every line that asks
// something gets a reply ending in a newline, no reply carries a positive
// code after RPRT (clients misread it), a plain reply is either values or
// one result line, and a tune request is one the frame carries exactly.

#include "control/rigctlprotocol.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>

namespace {

class Radio final : public control::RadioAccess {
public:
    PanelSnapshot snap;
    LinkState state = LinkState::Answering;
    uint32_t ageMs = 0;
    PanelSnapshot Snapshot() const override { return snap; }
    LinkState State() const override { return state; }
    uint32_t StatusAgeMs() const override { return ageMs; }
    uint64_t StatusStores() const override { return 0; }
    SendResult Tune(uint32_t, int32_t) override { return SendResult::Sent; }
    void SetStatusWake(std::function<void()>) override {}
};

void Check(bool holds)
{
    if (!holds) {
        std::abort();
    }
}

// "RPRT 0" or "RPRT -n", then the newline, at `at`, ending the reply.
bool ResultAt(const std::string& reply, size_t at)
{
    if (reply.compare(at, 5, "RPRT ") != 0) {
        return false;
    }
    const std::string code = reply.substr(at + 5);
    if (code == "0\n") {
        return true;
    }
    return code.size() >= 3 && code[0] == '-' && code.back() == '\n' &&
           std::all_of(code.begin() + 1, code.end() - 1, [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

// Byte 0: flags (bit 0 status valid, bit 1 link running, bit 2 the radio
// found silent, bit 3 the status older than the link's rule); bytes 1-16:
// the status block; the rest: lines.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 17) {
        return 0;
    }
    Radio radio;
    radio.snap.status.statusValid = (data[0] & 1) != 0;
    if ((data[0] & 2) == 0) {
        radio.state = LinkState::Stopped;
    } else if ((data[0] & 4) != 0) {
        radio.state = LinkState::NotAnswering;
    }
    radio.ageMs = (data[0] & 8) != 0 ? ANSWER_LIMIT_MS : 0;
    std::memcpy(radio.snap.status.block, data + 1, 16);
    const std::string_view text(reinterpret_cast<const char*>(data + 17), size - 17);
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        const control::Handled h = control::HandleLine(line, radio);
        const size_t first = line.find_first_not_of(" \t");
        const bool blank = first == std::string_view::npos || line[first] == '#';
        Check(blank == (h.kind == control::Handled::Kind::Silent));
        if (h.kind == control::Handled::Kind::Reply) {
            Check(!h.reply.empty() && h.reply.back() == '\n');
            if (h.framing.extended) {
                // The command's echo comes first, the result last; what the
                // client wrote in its arguments is its own.
                const size_t last = h.reply.rfind("RPRT ");
                Check(h.reply.compare(0, h.framing.header.size(), h.framing.header) == 0);
                Check(last != std::string::npos && last > h.framing.header.size() && ResultAt(h.reply, last));
            } else {
                // Values alone, or one result line alone.
                const size_t result = h.reply.find("RPRT");
                Check(result == std::string::npos || (result == 0 && ResultAt(h.reply, 0)));
                Check(result == std::string::npos || h.reply.find('\n') == h.reply.size() - 1);
            }
        } else if (h.kind == control::Handled::Kind::Tune) {
            Check(h.tuneModulation >= 0 && h.tuneModulation <= 2);
            Check(!h.close);
            const std::string answer = control::SetReply(h.framing, control::ErrorOf(SendResult::LineOwned));
            Check(answer.size() >= 8 && answer.compare(answer.size() - 8, 8, "RPRT -9\n") == 0);
        }
        if (h.close) {
            Check(h.reply.size() >= 7 && h.reply.compare(h.reply.size() - 7, 7, "RPRT 0\n") == 0);
        }
    }
    return 0;
}
