// Build-time tool: writes the program's version block, laid out as a Windows
// VS_VERSIONINFO resource, so that the front panel reads its version from the
// same kind of data on every platform.
//
// Usage: versiongen <output> <major> <minor> <patch> <tweak> <original file name>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void PutWord(Bytes& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void PutDword(Bytes& out, uint32_t value)
{
    PutWord(out, static_cast<uint16_t>(value & 0xFFFF));
    PutWord(out, static_cast<uint16_t>(value >> 16));
}

// The keys and values are plain ASCII, so widening each byte is UTF-16.
void PutText(Bytes& out, const std::string& text)
{
    for (const char c : text) {
        PutWord(out, static_cast<uint8_t>(c));
    }
    PutWord(out, 0);
}

void Align(Bytes& out)
{
    while (out.size() % 4 != 0) {
        out.push_back(0);
    }
}

// One node of the block: header words, key, value, then the children, each
// starting on a 4-byte boundary. Every node begins on such a boundary, so
// alignment within the node equals alignment within the whole block.
struct Node {
    std::string key;
    uint16_t type = 0; // 0: binary value, 1: text value
    Bytes value{};
    uint16_t valueLength = 0; // bytes for binary, characters for text
    std::vector<Node> children{};
};

Bytes Serialise(const Node& node)
{
    Bytes out;
    PutWord(out, 0); // length, patched below
    PutWord(out, node.valueLength);
    PutWord(out, node.type);
    PutText(out, node.key);
    Align(out);
    out.insert(out.end(), node.value.begin(), node.value.end());
    for (const Node& child : node.children) {
        Align(out);
        const Bytes bytes = Serialise(child);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    out[0] = static_cast<uint8_t>(out.size() & 0xFF);
    out[1] = static_cast<uint8_t>(out.size() >> 8);
    return out;
}

Node TextEntry(const std::string& key, const std::string& text)
{
    Node node{.key = key, .type = 1};
    if (!text.empty()) {
        PutText(node.value, text);
        node.valueLength = static_cast<uint16_t>(text.size() + 1);
    }
    return node;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 7) {
        std::fprintf(stderr, "usage: versiongen <output> <major> <minor> <patch> <tweak> <file name>\n");
        return 2;
    }
    const auto number = [&](int index) { return static_cast<uint32_t>(std::strtoul(argv[index], nullptr, 10)) & 0xFFFF; };
    const uint32_t major = number(2);
    const uint32_t minor = number(3);
    const uint32_t patch = number(4);
    const uint32_t tweak = number(5);
    const std::string fileName = argv[6];
    const uint32_t versionMS = (major << 16) | minor;
    const uint32_t versionLS = (patch << 16) | tweak;
    const std::string versionText = std::to_string(major) + ", " + std::to_string(minor) + ", " +
                                    std::to_string(patch) + ", " + std::to_string(tweak);

    Node root{.key = "VS_VERSION_INFO", .valueLength = 52};
    for (const uint32_t word : {0xFEEF04BDu, 0x00010000u, versionMS, versionLS, versionMS, versionLS, 0x3Fu, 0u,
                                4u /* VOS__WINDOWS32 */, 1u /* VFT_APP */, 0u, 0u, 0u}) {
        PutDword(root.value, word);
    }

    const std::string product = "Quelmar Demo Application";
    const Node table{.key = "040904b0",
                     .type = 1,
                     .children = {
                         TextEntry("Comments", ""),
                         TextEntry("CompanyName", "The Ostrelle developers"),
                         TextEntry("FileDescription", product),
                         TextEntry("FileVersion", versionText),
                         TextEntry("InternalName", product),
                         TextEntry("LegalCopyright", "Copyright (C) 2026 the Ostrelle developers"),
                         TextEntry("LegalTrademarks", ""),
                         TextEntry("OriginalFilename", fileName),
                         TextEntry("PrivateBuild", ""),
                         TextEntry("ProductName", product),
                         TextEntry("ProductVersion", versionText),
                         TextEntry("SpecialBuild", ""),
                     }};

    Node translation{.key = "Translation", .valueLength = 4};
    PutWord(translation.value, 0x0409);
    PutWord(translation.value, 0x04B0);

    root.children = {Node{.key = "StringFileInfo", .type = 1, .children = {table}},
                     Node{.key = "VarFileInfo", .type = 1, .children = {translation}}};
    const Bytes block = Serialise(root);

    std::FILE* file = std::fopen(argv[1], "wb");
    if (file == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    const bool written = std::fwrite(block.data(), 1, block.size(), file) == block.size();
    if (std::fclose(file) != 0 || !written) {
        std::fprintf(stderr, "versiongen: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
