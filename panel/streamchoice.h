#pragma once

// What the user chose for the live stream to an Icecast server, kept in the
// store Ostrelle.ini under [Stream]. The store is private to the user (it
// holds the stream's password), and nothing here writes the password
// anywhere else.

#include "audio/icecastsettings.h"

#include <QString>

struct StreamChoice {
    bool on = false; // stream what the radio hears
    audio::StreamSettings settings = DefaultSettings();

    // What a new user starts from: a server on this computer, with
    // Icecast's own source user.
    static audio::StreamSettings DefaultSettings();

    // The choice kept in the store at `storePath`; what is missing or could
    // be no setting (a port of 0, an unknown format) is the default.
    static StreamChoice Load(const QString& storePath);
    // Keeps it there, the store's other keys untouched. False when the store
    // could not be written.
    bool Save(const QString& storePath) const;

    bool operator==(const StreamChoice&) const = default;
};
