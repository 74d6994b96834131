#include "panel/audiochoice.h"

#include <QFile>
#include <QSettings>

namespace {

const QString INPUT_KEY = QStringLiteral("Audio/Input");
const QString RECORD_KEY = QStringLiteral("Audio/Record");
const QString FORMAT_KEY = QStringLiteral("Audio/Format");
const QString FOLDER_KEY = QStringLiteral("Audio/Folder");
const QString KEEP_DAYS_KEY = QStringLiteral("Audio/KeepDays");
const QString KEEP_MIB_KEY = QStringLiteral("Audio/KeepMiB");

uint32_t Bounded(const QSettings& store, const QString& key, uint32_t standard, uint32_t most)
{
    bool ok = false;
    const uint value = store.value(key, standard).toUInt(&ok);
    return ok && value <= most ? value : standard;
}

} // namespace

AudioChoice AudioChoice::Load(const QSettings& store)
{
    AudioChoice choice;
    choice.input = store.value(INPUT_KEY).toString().toStdString();
    choice.record = store.value(RECORD_KEY, false).toBool();
    // An unknown format (from a later version) records in the default one.
    (void)ParseRecordingFormat(store.value(FORMAT_KEY).toString().toStdString(), choice.format);
    choice.folder = QFile::encodeName(store.value(FOLDER_KEY).toString()).toStdString();
    choice.keepDays = Bounded(store, KEEP_DAYS_KEY, choice.keepDays, LONGEST_KEEP_DAYS);
    choice.keepMiB = Bounded(store, KEEP_MIB_KEY, choice.keepMiB, LARGEST_KEEP_MIB);
    return choice;
}

void AudioChoice::Save(QSettings& store) const
{
    store.setValue(INPUT_KEY, QString::fromStdString(input));
    store.setValue(RECORD_KEY, record);
    store.setValue(FORMAT_KEY, QString::fromLatin1(InfoOf(format).name));
    store.setValue(FOLDER_KEY, QFile::decodeName(folder.c_str()));
    store.setValue(KEEP_DAYS_KEY, keepDays);
    store.setValue(KEEP_MIB_KEY, keepMiB);
}

std::string AudioChoice::Folder() const
{
    return folder.empty() ? DefaultRecordingFolder() : folder;
}

RecorderSettings AudioChoice::Recorder() const
{
    RecorderSettings settings;
    settings.folder = Folder();
    settings.format = format;
    settings.keepDays = keepDays;
    settings.keepBytes = uint64_t{keepMiB} << 20;
    return settings;
}
