// Holds a device open and locked, the way another serial program would, until
// its standard input closes: the far side of the tests that look for a port's
// holder. Says "ready" once the device is held.

#include <cstdio>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DEVICE\n", argv[0]);
        return 2;
    }
    // A test that dies leaves no holder behind for long.
    ::alarm(60);
    const int fd = ::open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    if (::write(STDOUT_FILENO, "ready\n", 6) != 6) {
        return 1;
    }
    char c = 0;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
    ::close(fd);
    return 0;
}
