#include "panel/versionblock.h"

namespace {

constexpr uint32_t FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD;

uint32_t Dword(const QByteArray& block, qsizetype offset)
{
    const auto byte = [&](qsizetype i) { return static_cast<uint32_t>(static_cast<uint8_t>(block[offset + i])); };
    return byte(0) | (byte(1) << 8) | (byte(2) << 16) | (byte(3) << 24);
}

} // namespace

FileVersion ReadFileVersion(const QByteArray& block)
{
    FileVersion version;
    for (qsizetype offset = 0; offset + 12 <= block.size(); offset += 4) {
        if (Dword(block, offset) == FIXED_FILE_INFO_SIGNATURE) {
            const uint32_t fileVersionMS = Dword(block, offset + 8);
            version.major = static_cast<uint8_t>((fileVersionMS >> 16) & 0xFF);
            version.minor = static_cast<uint8_t>(fileVersionMS & 0xFF);
            version.found = true;
            break;
        }
    }
    return version;
}
