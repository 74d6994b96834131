#include "panel/panelsettings.h"

#include "activity/hitdetector.h"
#include "panel/privatestore.h"
#include "panel/settingsfile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>

#include <cmath>

namespace {

const QString IMAGE_FOLDER_KEY = QStringLiteral("Folders/Images");
const QString LOG_ACTIVITY_KEY = QStringLiteral("Activity/Log");
const QString MERGE_GAP_KEY = QStringLiteral("Activity/MergeGapMs");
constexpr uint32_t LONGEST_MERGE_GAP_MS = 3600000;
const QString CONTROL_ON_KEY = QStringLiteral("NetworkControl/On");
const QString CONTROL_ALL_INTERFACES_KEY = QStringLiteral("NetworkControl/AllInterfaces");
const QString CONTROL_PORT_KEY = QStringLiteral("NetworkControl/Port");

} // namespace

bool PanelSettings::Load(const QString& path)
{
    QFile file(path);
    if (!MayBeKeptFile(file.fileName(), false) || !file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return false;
    }
    comPort = settingsfile::LeadingInt(settingsfile::ReadLine(file));
    // A frequency no box could hold (NaN, infinity, 1e999) would stand in
    // the frequency box as text that every later command refuses; it counts
    // as absent.
    const double frequency = settingsfile::LeadingDouble(settingsfile::ReadLine(file));
    if (std::isfinite(frequency)) {
        tuneFrequencyMHz = frequency;
    }
    int left = 0;
    int top = 0;
    framePosition.reset();
    if (settingsfile::ParsePair(settingsfile::ReadLine(file), left, top)) {
        framePosition = QPoint(left, top);
    }
    return true;
}

void PanelSettings::Save(const QString& path) const
{
    // The new text goes to a file beside the old one and takes its name only
    // when all of it was written, so a full disk or a failing write at Exit
    // leaves the previous settings as they were instead of an emptied file.
    // Where the folder lets nothing new be made but the file itself may be
    // written, it is written in place as before.
    const PrivateWrite privately(path);
    QSaveFile file(path);
    file.setDirectWriteFallback(true);
    if (!MayBeKeptFile(file.fileName(), true) ||
        !file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        return;
    }
    // QString::asprintf formats in the C locale, so the file always carries a
    // decimal point whatever the user's locale.
    const QString text = QString::asprintf("%d\n", comPort) + QString::asprintf("%11.6f\n", tuneFrequencyMHz) +
                         QString::asprintf("%d,%d\n", frame.left(), frame.top()) +
                         QString::asprintf("%d,%d\n", frame.width(), frame.height()) +
                         QString::asprintf("%d, %d\n", lcdOnScreen.left() - 3, lcdOnScreen.top()) +
                         QString::asprintf("%d, %d\n", lcdOnScreen.width() + 54, lcdOnScreen.height());
    // The flush is asked for here because Qt 6.4's commit takes a write that
    // fails while its buffer is emptied for a whole one and renames the
    // truncated text into place.
    const QByteArray bytes = text.toLatin1();
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.cancelWriting();
    }
    (void)file.commit();
}

// The store follows the settings file's rule: a FIFO or a device in its
// place is neither read nor written.
void PanelStore::Write(const QString& key, const QVariant& value) const
{
    (void)WriteKeptSettings(path, [&](QSettings& store) { store.setValue(key, value); });
}

QVariant PanelStore::Read(const QString& key, const QVariant& absent) const
{
    if (!MayBeKeptFile(path, false)) {
        return absent;
    }
    return QSettings(path, QSettings::IniFormat).value(key, absent);
}

QString PanelStore::ImageFolder() const
{
    const QString folder = Read(IMAGE_FOLDER_KEY, QString()).toString();
    return !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : QString();
}

void PanelStore::RememberImageFolder(const QString& chosenFile) const
{
    Write(IMAGE_FOLDER_KEY, QFileInfo(chosenFile).absolutePath());
}

bool PanelStore::LogActivity() const
{
    return Read(LOG_ACTIVITY_KEY, true).toBool();
}

void PanelStore::RememberLogActivity(bool on) const
{
    Write(LOG_ACTIVITY_KEY, on);
}

uint32_t PanelStore::MergeGapMs() const
{
    const uint32_t standard = HitRules{}.mergeGapMs;
    bool ok = false;
    const uint gap = Read(MERGE_GAP_KEY, standard).toUInt(&ok);
    return ok && gap <= LONGEST_MERGE_GAP_MS ? gap : standard;
}

NetworkControlChoice PanelStore::NetworkControl() const
{
    NetworkControlChoice choice;
    choice.on = Read(CONTROL_ON_KEY, false).toBool();
    choice.allInterfaces = Read(CONTROL_ALL_INTERFACES_KEY, false).toBool();
    bool ok = false;
    const int port = Read(CONTROL_PORT_KEY, choice.port).toInt(&ok);
    // A port no server can have is as good as none: the default stands.
    if (ok && port >= 1 && port <= 65535) {
        choice.port = port;
    }
    return choice;
}

void PanelStore::RememberNetworkControl(const NetworkControlChoice& choice) const
{
    (void)WriteKeptSettings(path, [&choice](QSettings& store) {
        store.setValue(CONTROL_ON_KEY, choice.on);
        store.setValue(CONTROL_ALL_INTERFACES_KEY, choice.allInterfaces);
        store.setValue(CONTROL_PORT_KEY, choice.port);
    });
}

AudioChoice PanelStore::Audio() const
{
    if (!MayBeKeptFile(path, false)) {
        return {};
    }
    return AudioChoice::Load(QSettings(path, QSettings::IniFormat));
}

void PanelStore::RememberAudio(const AudioChoice& choice) const
{
    (void)WriteKeptSettings(path, [&choice](QSettings& store) { choice.Save(store); });
}
