#pragma once

// The rules for the files the panel keeps through Qt (the store
// Ostrelle.ini above all), for the parts of the panel that keep their own
// keys there.

#include <QString>

#include <functional>

#if !defined(_WIN32)
#include <sys/types.h>
#endif

class QSettings;

// Only a regular file can be kept: opening a FIFO waits for its other end,
// and a device never ends a line. Something that does not exist yet may be
// made (`creating`), but not through a symbolic link that leads nowhere.
bool MayBeKeptFile(const QString& path, bool creating);

// While one lives, what Qt writes at `path` is private to the user whatever
// the umask, and an existing file that others may read is made private
// first (Qt gives the new text the old file's mode). Only the window thread
// makes files, so narrowing the process's umask for the while is safe.
class PrivateWrite {
public:
    explicit PrivateWrite(const QString& path);
    ~PrivateWrite();
    PrivateWrite(const PrivateWrite&) = delete;
    PrivateWrite& operator=(const PrivateWrite&) = delete;

private:
#if !defined(_WIN32)
    mode_t previous;
#endif
};

// Runs `write` on the store at `path` and writes it out at once (a program
// killed later still finds it), privately; false when the store may not be
// written or could not be.
bool WriteKeptSettings(const QString& path, const std::function<void(QSettings&)>& write);
