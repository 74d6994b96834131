#pragma once

#include <cstdint>

#include <QByteArray>

// The first two numbers of the file version in a VS_VERSIONINFO block.
struct FileVersion {
    uint8_t major = 0;
    uint8_t minor = 0;
    bool found = false;
};

// Scans the block from its first byte in steps of 4 bytes for the signature
// of the fixed file information and takes the word 8 bytes after it. A block
// without the signature, or cut short after it, gives version 0.00 and
// found = false instead of a read past its end.
FileVersion ReadFileVersion(const QByteArray& block);
