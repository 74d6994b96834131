#include "panel/streamchoice.h"

#include "panel/privatestore.h"

#include <QSettings>

namespace {

const QString ON_KEY = QStringLiteral("Stream/On");
const QString HOST_KEY = QStringLiteral("Stream/Host");
const QString PORT_KEY = QStringLiteral("Stream/Port");
const QString MOUNT_KEY = QStringLiteral("Stream/Mount");
const QString USER_KEY = QStringLiteral("Stream/User");
const QString PASSWORD_KEY = QStringLiteral("Stream/Password");
const QString FORMAT_KEY = QStringLiteral("Stream/Format");
const QString BITRATE_KEY = QStringLiteral("Stream/BitrateKbps");
const QString NAME_KEY = QStringLiteral("Stream/Name");
const QString DESCRIPTION_KEY = QStringLiteral("Stream/Description");
const QString TITLE_KEY = QStringLiteral("Stream/TitleFormat");
const QString BETWEEN_CALLS_KEY = QStringLiteral("Stream/BetweenCalls");

// Words rather than numbers in the store, so that a reordered enum never
// turns one format into another.
const QString MP3 = QStringLiteral("mp3");
const QString OGG_OPUS = QStringLiteral("ogg-opus");
const QString SILENCE = QStringLiteral("silence");
const QString INPUT = QStringLiteral("input");

std::string Text(const QSettings& store, const QString& key, const std::string& standard)
{
    return store.value(key, QString::fromStdString(standard)).toString().toStdString();
}

} // namespace

audio::StreamSettings StreamChoice::DefaultSettings()
{
    audio::StreamSettings settings;
    settings.host = "localhost";
    settings.mount = "/scanner";
    return settings;
}

StreamChoice StreamChoice::Load(const QString& storePath)
{
    StreamChoice choice;
    if (!MayBeKeptFile(storePath, false)) {
        return choice;
    }
    const QSettings store(storePath, QSettings::IniFormat);
    audio::StreamSettings& s = choice.settings;
    choice.on = store.value(ON_KEY, false).toBool();
    s.host = Text(store, HOST_KEY, s.host);
    s.mount = Text(store, MOUNT_KEY, s.mount);
    s.user = Text(store, USER_KEY, s.user);
    s.password = Text(store, PASSWORD_KEY, s.password);
    s.name = Text(store, NAME_KEY, s.name);
    s.description = Text(store, DESCRIPTION_KEY, s.description);
    s.titleFormat = Text(store, TITLE_KEY, s.titleFormat);
    bool ok = false;
    const int port = store.value(PORT_KEY, s.port).toInt(&ok);
    if (ok && port >= 1 && port <= 65535) {
        s.port = static_cast<uint16_t>(port);
    }
    const int kbps = store.value(BITRATE_KEY, s.bitrateKbps).toInt(&ok);
    if (ok && kbps >= audio::MIN_STREAM_KBPS && kbps <= audio::MAX_STREAM_KBPS) {
        s.bitrateKbps = kbps;
    }
    if (store.value(FORMAT_KEY).toString() == OGG_OPUS) {
        s.format = audio::StreamFormat::OggOpus;
    }
    if (store.value(BETWEEN_CALLS_KEY).toString() == INPUT) {
        s.betweenCalls = audio::BetweenCalls::Input;
    }
    return choice;
}

bool StreamChoice::Save(const QString& storePath) const
{
    if (!MayBeKeptFile(storePath, true)) {
        return false;
    }
    const PrivateWrite privately(storePath);
    QSettings store(storePath, QSettings::IniFormat);
    const audio::StreamSettings& s = settings;
    store.setValue(ON_KEY, on);
    store.setValue(HOST_KEY, QString::fromStdString(s.host));
    store.setValue(PORT_KEY, s.port);
    store.setValue(MOUNT_KEY, QString::fromStdString(s.mount));
    store.setValue(USER_KEY, QString::fromStdString(s.user));
    store.setValue(PASSWORD_KEY, QString::fromStdString(s.password));
    store.setValue(FORMAT_KEY, s.format == audio::StreamFormat::OggOpus ? OGG_OPUS : MP3);
    store.setValue(BITRATE_KEY, s.bitrateKbps);
    store.setValue(NAME_KEY, QString::fromStdString(s.name));
    store.setValue(DESCRIPTION_KEY, QString::fromStdString(s.description));
    store.setValue(TITLE_KEY, QString::fromStdString(s.titleFormat));
    store.setValue(BETWEEN_CALLS_KEY, s.betweenCalls == audio::BetweenCalls::Input ? INPUT : SILENCE);
    store.sync();
    return store.status() == QSettings::NoError;
}
