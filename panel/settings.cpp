#include "cfrontpaneldlg.h"

#include "hitdetector.h"
#include "settingsfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QTimer>

#include <cmath>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace {

// Only a regular file can be the settings file. Opening a FIFO waits for
// its other end, and a device such as /dev/zero never ends a line, so
// either would hang the start or the Exit; they count as unreadable and
// unwritable. Something that does not exist yet may be created, but not
// through a symbolic link that leads nowhere: a link the user made to a
// file of theirs is written through, one to nothing makes nothing.
bool MayBeSettingsFile(const QString& path, bool creating)
{
    const QFileInfo info(path);
    return info.isFile() || (creating && !info.exists() && !info.isSymLink());
}

// The files Qt writes here (the settings, the store, the store's lock and
// the new file each is written to first) are private to the user whatever
// the umask: the folder may be readable by others. Qt gives a new file the
// umask's mode, so the umask is narrowed while Qt writes; it is the
// process's, but only the window thread makes files. Qt gives the new text
// the old file's mode, so an old file that others may read (an earlier
// version made them so) is made private first.
class PrivateWrite {
public:
#if defined(_WIN32)
    explicit PrivateWrite(const QString&) {} // the user's folder of application data is private already
#else
    explicit PrivateWrite(const QString& path) : previous(::umask(S_IRWXG | S_IRWXO))
    {
        const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                                QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                                QFileDevice::WriteOther | QFileDevice::ExeOther;
        const QFileInfo info(path);
        if (info.isFile() && (info.permissions() & others) != 0) {
            (void)QFile::setPermissions(path, info.permissions() & ~others); // fails only for another's file
        }
    }
    ~PrivateWrite() { ::umask(previous); }

private:
    mode_t previous;
#endif

public:
    PrivateWrite(const PrivateWrite&) = delete;
    PrivateWrite& operator=(const PrivateWrite&) = delete;
};

const QString IMAGE_FOLDER_KEY = QStringLiteral("Folders/Images");
const QString LOG_ACTIVITY_KEY = QStringLiteral("Activity/Log");
const QString MERGE_GAP_KEY = QStringLiteral("Activity/MergeGapMs");
constexpr uint32_t LONGEST_MERGE_GAP_MS = 3600000;
const QString CONTROL_ON_KEY = QStringLiteral("NetworkControl/On");
const QString CONTROL_ALL_INTERFACES_KEY = QStringLiteral("NetworkControl/AllInterfaces");
const QString CONTROL_PORT_KEY = QStringLiteral("NetworkControl/Port");

} // namespace

void CFrontPanelDlg::LoadSettings()
{
    QFile file(SettingsPath());
    if (!MayBeSettingsFile(file.fileName(), false) || !file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return;
    }
    comPort = settingsfile::LeadingInt(settingsfile::ReadLine(file));
    // A frequency no box could hold (NaN, infinity, 1e999) would stand in
    // the frequency box as text that every later command refuses; it counts
    // as absent.
    const double frequency = settingsfile::LeadingDouble(settingsfile::ReadLine(file));
    if (std::isfinite(frequency)) {
        tuneFrequencyMHz = frequency;
    }
    UpdateData(false);
    int left = 0;
    int top = 0;
    if (settingsfile::ParsePair(settingsfile::ReadLine(file), left, top)) {
        move(left, top);
    }
}

void CFrontPanelDlg::SaveSettings()
{
    // The new text goes to a file beside the old one and takes its name only
    // when all of it was written, so a full disk or a failing write at Exit
    // leaves the previous settings as they were instead of an emptied file.
    // Where the folder lets nothing new be made but the file itself may be
    // written, it is written in place as before.
    const PrivateWrite privately(SettingsPath());
    QSaveFile file(SettingsPath());
    file.setDirectWriteFallback(true);
    if (!MayBeSettingsFile(file.fileName(), true) ||
        !file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        return;
    }
    ReadControls(false);
    // QString::asprintf formats in the C locale, so the file always carries a
    // decimal point whatever the user's locale.
    const QRect window = frameGeometry();
    const QPoint lcdTopLeft = mapToGlobal(lcdRect.topLeft());
    const QString text = QString::asprintf("%d\n", comPort) + QString::asprintf("%11.6f\n", tuneFrequencyMHz) +
                         QString::asprintf("%d,%d\n", window.left(), window.top()) +
                         QString::asprintf("%d,%d\n", window.width(), window.height()) +
                         QString::asprintf("%d, %d\n", lcdTopLeft.x() - 3, lcdTopLeft.y()) +
                         QString::asprintf("%d, %d\n", lcdRect.width() + 54, lcdRect.height());
    // The flush is asked for here because Qt 6.4's commit takes a write that
    // fails while its buffer is emptied for a whole one and renames the
    // truncated text into place.
    const QByteArray bytes = text.toLatin1();
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.cancelWriting();
    }
    (void)file.commit();
}

// The remembered folder is kept in a store of its own beside the settings
// file, which holds its six lines and nothing else. The store follows the
// same rule: a FIFO or a device in its place is neither read nor written.
QString CFrontPanelDlg::ImageFolder() const
{
    if (!MayBeSettingsFile(StorePath(), false)) {
        return {};
    }
    const QSettings store(StorePath(), QSettings::IniFormat);
    const QString folder = store.value(IMAGE_FOLDER_KEY).toString();
    return !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : QString();
}

void CFrontPanelDlg::RememberImageFolder(const QString& chosenFile)
{
    if (!MayBeSettingsFile(StorePath(), true)) {
        return;
    }
    const PrivateWrite privately(StorePath());
    QSettings store(StorePath(), QSettings::IniFormat);
    store.setValue(IMAGE_FOLDER_KEY, QFileInfo(chosenFile).absolutePath());
    // Written now: a program that is killed later still opens there.
    store.sync();
}

bool CFrontPanelDlg::RememberedLogActivity() const
{
    if (!MayBeSettingsFile(StorePath(), false)) {
        return true;
    }
    const QSettings store(StorePath(), QSettings::IniFormat);
    return store.value(LOG_ACTIVITY_KEY, true).toBool();
}

void CFrontPanelDlg::RememberLogActivity(bool on)
{
    if (!MayBeSettingsFile(StorePath(), true)) {
        return;
    }
    const PrivateWrite privately(StorePath());
    QSettings store(StorePath(), QSettings::IniFormat);
    store.setValue(LOG_ACTIVITY_KEY, on);
    store.sync();
}

uint32_t CFrontPanelDlg::RememberedMergeGapMs() const
{
    const uint32_t standard = HitRules{}.mergeGapMs;
    if (!MayBeSettingsFile(StorePath(), false)) {
        return standard;
    }
    const QSettings store(StorePath(), QSettings::IniFormat);
    bool ok = false;
    const uint gap = store.value(MERGE_GAP_KEY, standard).toUInt(&ok);
    return ok && gap <= LONGEST_MERGE_GAP_MS ? gap : standard;
}

NetworkControlChoice CFrontPanelDlg::LoadNetworkControl() const
{
    NetworkControlChoice choice;
    if (!MayBeSettingsFile(StorePath(), false)) {
        return choice;
    }
    const QSettings store(StorePath(), QSettings::IniFormat);
    choice.on = store.value(CONTROL_ON_KEY, false).toBool();
    choice.allInterfaces = store.value(CONTROL_ALL_INTERFACES_KEY, false).toBool();
    bool ok = false;
    const int port = store.value(CONTROL_PORT_KEY, choice.port).toInt(&ok);
    // A port no server can have is as good as none: the default stands.
    if (ok && port >= 1 && port <= 65535) {
        choice.port = port;
    }
    return choice;
}

void CFrontPanelDlg::SaveNetworkControl(const NetworkControlChoice& choice)
{
    if (!MayBeSettingsFile(StorePath(), true)) {
        return;
    }
    const PrivateWrite privately(StorePath());
    QSettings store(StorePath(), QSettings::IniFormat);
    store.setValue(CONTROL_ON_KEY, choice.on);
    store.setValue(CONTROL_ALL_INTERFACES_KEY, choice.allInterfaces);
    store.setValue(CONTROL_PORT_KEY, choice.port);
    store.sync();
}

void CFrontPanelDlg::RestoreNetworkControl()
{
    networkControl = LoadNetworkControl();
    std::string error;
    if (!networkControl.on || controlServer.Start(ServerSettingsOf(networkControl), error)) {
        return;
    }
    // Said once the panel is on the screen, not before it. The choice stays
    // as it was, in the dialog and in the store, so that OK there or the next
    // start tries again.
    const QString reason = QString::fromStdString(error);
    networkFailure = reason;
    QTimer::singleShot(0, this, [this, reason] {
        prompts->Warn(QStringLiteral("Network control could not start."),
                      reason + QStringLiteral("\n\nRight-click the panel and choose Network control... to "
                                              "choose another port or switch it off."));
    });
}
