#include "transfertestsupport.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <stdlib.h>

ScratchDir::ScratchDir()
{
    char pattern[] = "/tmp/ostrelle-transfer-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    path = made != nullptr ? made : "/tmp";
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored;
    if (path != "/tmp") {
        std::filesystem::remove_all(path, ignored);
    }
}

std::string ScratchDir::Write(const std::string& name, const std::vector<uint8_t>& bytes) const
{
    std::string file = File(name);
    std::FILE* out = std::fopen(file.c_str(), "wb");
    // A file written short would make the test that reads it fail for the
    // wrong reason, or pass with the wrong image.
    bool written = out != nullptr;
    if (out != nullptr) {
        if (!bytes.empty()) { // an empty vector's data() may be null
            written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
        }
        written = std::fclose(out) == 0 && written;
    }
    if (!written) {
        // The tests report an escaping exception as their failure; the
        // benchmark that shares this ends with the message.
        throw std::runtime_error("cannot write " + file);
    }
    return file;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path)
{
    std::vector<uint8_t> bytes;
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) {
        return bytes;
    }
    uint8_t chunk[4096];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    (void)std::fclose(in); // read only
    return bytes;
}

namespace {

CountedStream& StateOf(void* cookie)
{
    return **static_cast<std::shared_ptr<CountedStream>*>(cookie);
}

ssize_t CountedRead(void* cookie, char* buffer, size_t size)
{
    CountedStream& s = StateOf(cookie);
    const size_t n = std::min(size, s.data.size() - std::min(s.position, s.data.size()));
    std::memcpy(buffer, s.data.data() + s.position, n);
    s.position += n;
    return static_cast<ssize_t>(n);
}

ssize_t CountedWrite(void* cookie, const char* buffer, size_t size)
{
    CountedStream& s = StateOf(cookie);
    if (s.position + size > s.data.size()) {
        s.data.resize(s.position + size);
    }
    std::memcpy(s.data.data() + s.position, buffer, size);
    s.position += size;
    return static_cast<ssize_t>(size);
}

int CountedSeek(void* cookie, off64_t* offset, int whence)
{
    CountedStream& s = StateOf(cookie);
    const off64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? static_cast<off64_t>(s.position)
                                                                     : static_cast<off64_t>(s.data.size());
    if (base + *offset < 0) {
        return -1;
    }
    s.position = static_cast<size_t>(base + *offset);
    *offset = static_cast<off64_t>(s.position);
    return 0;
}

int CountedClose(void* cookie)
{
    auto* holder = static_cast<std::shared_ptr<CountedStream>*>(cookie);
    ++(*holder)->closes;
    delete holder;
    return 0;
}

} // namespace

std::FILE* OpenCounted(const std::shared_ptr<CountedStream>& state, const char* mode)
{
    const cookie_io_functions_t functions{CountedRead, CountedWrite, CountedSeek, CountedClose};
    return ::fopencookie(new std::shared_ptr<CountedStream>(state), mode, functions);
}
