#pragma once

// Progress of a memory image transfer on standard error: a bar redrawn in
// place when standard error is a terminal, else one line a second, so that a
// log of a cron job stays short and readable.

#include "transfer/imagetransfer.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace cli {

class TransferProgress {
public:
    // `out` is standard error; `terminal` whether it is a terminal.
    TransferProgress(std::FILE* out, bool terminal);

    // Called often (every 50 ms or so); draws at its own pace.
    void Update(const ImageTransfer::Progress& progress);
    // The last state, and the end of the bar's line.
    void Finish(const ImageTransfer::Progress& progress);

    // The text of one state: "[#####     ] 100/200 records  13.1 kB/s  0:04".
    static std::string Describe(const ImageTransfer::Progress& progress, double seconds, bool bar);

private:
    void Draw(const ImageTransfer::Progress& progress);

    std::FILE* out;
    bool terminal;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point lastDrawn;
    bool drawn = false;
    size_t lastWidth = 0;
    int32_t lastCount = -1; // records sent or bytes received at the last line
};

} // namespace cli
