#include "panel/streamchoice.h"

#include "audio/streamstore.h"
#include "panel/privatestore.h"

#include <QSettings>

namespace {

QString Key(std::string_view name)
{
    return QString::fromLatin1(audio::STREAM_SECTION) + QLatin1Char('/') + QString::fromLatin1(name);
}

} // namespace

audio::StreamSettings StreamChoice::DefaultSettings()
{
    return audio::KeptStream::DefaultKeptStream();
}

StreamChoice StreamChoice::Load(const QString& storePath)
{
    if (!MayBeKeptFile(storePath, false)) {
        return {};
    }
    const QSettings store(storePath, QSettings::IniFormat);
    const audio::KeptStream kept = audio::ReadKeptStream([&store](std::string_view name) -> std::optional<std::string> {
        const QVariant value = store.value(Key(name));
        return value.isValid() ? std::optional(value.toString().toStdString()) : std::nullopt;
    });
    return {kept.on, kept.settings};
}

bool StreamChoice::Save(const QString& storePath) const
{
    namespace key = audio::streamkey;
    const audio::StreamSettings& s = settings;
    return WriteKeptSettings(storePath, [this, &s](QSettings& store) {
        store.setValue(Key(key::ON), on);
        store.setValue(Key(key::HOST), QString::fromStdString(s.host));
        store.setValue(Key(key::PORT), s.port);
        store.setValue(Key(key::MOUNT), QString::fromStdString(s.mount));
        store.setValue(Key(key::USER), QString::fromStdString(s.user));
        store.setValue(Key(key::PASSWORD), QString::fromStdString(s.password));
        store.setValue(Key(key::FORMAT),
                       QString::fromLatin1(s.format == audio::StreamFormat::OggOpus ? audio::OGG_OPUS_WORD : audio::MP3_WORD));
        store.setValue(Key(key::BITRATE), s.bitrateKbps);
        store.setValue(Key(key::NAME), QString::fromStdString(s.name));
        store.setValue(Key(key::DESCRIPTION), QString::fromStdString(s.description));
        store.setValue(Key(key::TITLE), QString::fromStdString(s.titleFormat));
        store.setValue(Key(key::BETWEEN_CALLS),
                       QString::fromLatin1(s.betweenCalls == audio::BetweenCalls::Input ? audio::INPUT_WORD : audio::SILENCE_WORD));
    });
}
