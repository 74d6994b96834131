#include "readcounter.h"

#include <mutex>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

// The linker's --wrap=read gives these names; they cannot be chosen.
extern "C" ssize_t __real_read(int fd, void* buffer, size_t count); // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" ssize_t __wrap_read(int fd, void* buffer, size_t count); // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace {

std::mutex counterLock;
bool counting = false;
dev_t watched = 0;
std::vector<long> counts;

} // namespace

extern "C" ssize_t __wrap_read(int fd, void* buffer, size_t count)
{
    const ssize_t n = __real_read(fd, buffer, count);
    if (n > 0) {
        const std::lock_guard<std::mutex> lock(counterLock);
        struct stat st {};
        if (counting && ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == watched) {
            counts.push_back(static_cast<long>(n));
        }
    }
    return n;
}

void StartCountingReads(const std::string& path)
{
    struct stat st {};
    const bool found = ::stat(path.c_str(), &st) == 0;
    const std::lock_guard<std::mutex> lock(counterLock);
    counts.clear();
    watched = found ? st.st_rdev : 0;
    counting = found;
}

std::vector<long> StopCountingReads()
{
    const std::lock_guard<std::mutex> lock(counterLock);
    counting = false;
    return counts;
}
