#include "panel/privatestore.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

bool MayBeKeptFile(const QString& path, bool creating)
{
    const QFileInfo info(path);
    return info.isFile() || (creating && !info.exists() && !info.isSymLink());
}

#if defined(_WIN32)
// The user's folder of application data is private already.
PrivateWrite::PrivateWrite(const QString&) {}
PrivateWrite::~PrivateWrite() = default;
#else
PrivateWrite::PrivateWrite(const QString& path) : previous(::umask(S_IRWXG | S_IRWXO))
{
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                            QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                            QFileDevice::WriteOther | QFileDevice::ExeOther;
    const QFileInfo info(path);
    if (info.isFile() && (info.permissions() & others) != 0) {
        (void)QFile::setPermissions(path, info.permissions() & ~others); // fails only for another's file
    }
}

PrivateWrite::~PrivateWrite()
{
    ::umask(previous);
}
#endif

bool WriteKeptSettings(const QString& path, const std::function<void(QSettings&)>& write)
{
    if (!MayBeKeptFile(path, true)) {
        return false;
    }
    const PrivateWrite privately(path);
    QSettings store(path, QSettings::IniFormat);
    write(store);
    store.sync();
    return store.status() == QSettings::NoError;
}
