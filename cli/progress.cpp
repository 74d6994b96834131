#include "cli/progress.h"

#include "protocol/frames.h"

#include <algorithm>

namespace cli {

namespace {

constexpr int BAR_WIDTH = 24;
constexpr auto TERMINAL_PACE = std::chrono::milliseconds(100);
constexpr auto LOG_PACE = std::chrono::seconds(1);

std::string Rate(double bytes, double seconds)
{
    if (seconds <= 0.2 || bytes <= 0) {
        return "  - kB/s";
    }
    char text[32] = {};
    (void)std::snprintf(text, sizeof text, "  %.1f kB/s", bytes / seconds / 1000.0);
    return text;
}

} // namespace

TransferProgress::TransferProgress(std::FILE* out, bool terminal)
    : out(out), terminal(terminal), start(std::chrono::steady_clock::now()), lastDrawn(start)
{
}

std::string TransferProgress::Describe(const ImageTransfer::Progress& p, double seconds, bool bar)
{
    const bool sending = p.kind == TransferKind::Send;
    const double bytes = sending ? static_cast<double>(p.recordsSent) * IMAGE_RECORD_SIZE : p.bytesReceived;
    std::string text;
    if (sending) {
        if (bar) {
            const int filled = p.recordsTotal > 0 ? p.recordsSent * BAR_WIDTH / p.recordsTotal : BAR_WIDTH;
            text = "[" + std::string(static_cast<size_t>(filled), '#') +
                   std::string(static_cast<size_t>(BAR_WIDTH - filled), ' ') + "] ";
        }
        text += std::to_string(p.recordsSent) + "/" + std::to_string(p.recordsTotal) + " records";
    } else {
        text = std::to_string(p.bytesReceived) + " bytes (" + std::to_string(p.bytesReceived / IMAGE_RECORD_SIZE) +
               " records)";
    }
    text += Rate(bytes, seconds);
    const int whole = static_cast<int>(seconds);
    char clock[24] = {};
    (void)std::snprintf(clock, sizeof clock, "  %d:%02d", whole / 60, whole % 60);
    text += clock;
    return text;
}

void TransferProgress::Draw(const ImageTransfer::Progress& progress)
{
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string text = Describe(progress, seconds, terminal);
    if (terminal) {
        // Spaces over what a longer earlier line left.
        const size_t pad = lastWidth > text.size() ? lastWidth - text.size() : 0;
        (void)std::fprintf(out, "\r%s%s", text.c_str(), std::string(pad, ' ').c_str());
        lastWidth = text.size();
    } else {
        (void)std::fprintf(out, "%s\n", text.c_str());
    }
    (void)std::fflush(out); // progress only: a closed standard error changes nothing
    drawn = true;
    lastCount = progress.kind == TransferKind::Send ? progress.recordsSent : progress.bytesReceived;
}

void TransferProgress::Update(const ImageTransfer::Progress& progress)
{
    const auto now = std::chrono::steady_clock::now();
    if (now - lastDrawn < (terminal ? TERMINAL_PACE : LOG_PACE)) {
        return;
    }
    lastDrawn = now;
    Draw(progress);
}

void TransferProgress::Finish(const ImageTransfer::Progress& progress)
{
    // A log gets the last state once, unless its last line already said it.
    const int32_t count = progress.kind == TransferKind::Send ? progress.recordsSent : progress.bytesReceived;
    if (terminal || (drawn && count != lastCount)) {
        Draw(progress);
    }
    if (terminal) {
        (void)std::fputc('\n', out);
        (void)std::fflush(out);
    }
}

} // namespace cli
