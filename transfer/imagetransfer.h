#pragma once

// The one running memory-image transfer: its stream, its count and its
// worker. Filled in by the transfer work.

class ImageTransfer {
public:
    ImageTransfer() = default;
    virtual ~ImageTransfer() = default;
};
