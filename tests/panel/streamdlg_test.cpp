// The "Stream..." dialog and its choice in Ostrelle.ini: kept privately and
// read back whole, the password in no message, and its test against a real
// icecast2 run off the window thread.

#include "audio/streamstore.h"
#include "config/inistore.h"
#include "icecastprocess.h"
#include "panel/streamdlg.h"
#include "testsupport.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <unistd.h>

namespace {

class StreamDialogTest : public ::testing::Test {
protected:
    StreamDialogTest() { TestApplication(); }

    // Every text the dialog and its prompts showed, for the password's absence.
    QString Shown(const StreamDialog& dialog) const
    {
        return (prompts.warnings + prompts.informatives + prompts.notes +
                QStringList{dialog.StatusLabel()->text(), dialog.TestLabel()->text()})
            .join('\n');
    }

    QTemporaryDir dir;
    QString store = dir.filePath(QStringLiteral("Ostrelle.ini"));
    RecordingPrompts prompts;
};

TEST_F(StreamDialogTest, TheChoiceIsKeptPrivatelyReadBackWholeAndThePasswordNeverShown)
{
    // An older store that others may read, with a key of another part.
    {
        QFile old(store);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("[NetworkControl]\nPort=4600\n");
        old.close();
        ASSERT_TRUE(old.setPermissions(old.permissions() | QFileDevice::ReadGroup | QFileDevice::ReadOther));
    }
    StreamChoice chosen;
    chosen.on = true;
    audio::StreamSettings& s = chosen.settings;
    s = {"feed.example.net", 8010, "/county-fire", "feeder", "p@ss w=rd;#%x", audio::StreamFormat::OggOpus, 48,
         "County fire", "Dispatch, 460 MHz", "{display} ({frequency})", audio::BetweenCalls::Input};
    ASSERT_TRUE(chosen.Save(store));
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                            QFileDevice::ReadOther | QFileDevice::WriteOther;
    EXPECT_EQ(QFile::permissions(store) & others, 0) << "the store holds the password";
    EXPECT_EQ(QSettings(store, QSettings::IniFormat).value(QStringLiteral("NetworkControl/Port")).toInt(), 4600);
    EXPECT_EQ(StreamChoice::Load(store), chosen);

    // ostrellectl reads the same store without Qt, whatever Qt escaped.
    StreamChoice tricky = chosen;
    tricky.settings.name = "@County fire ";
    tricky.settings.description = "Dispatch, \"460\" \\ MHz\tnight \u00fcber \u2116 7";
    const QString trickyStore = dir.filePath(QStringLiteral("tricky.ini"));
    ASSERT_TRUE(tricky.Save(trickyStore));
    IniValues values;
    std::string error;
    ASSERT_TRUE(ReadIniSection(trickyStore.toStdString(), audio::STREAM_SECTION, values, error)) << error;
    const audio::KeptStream kept = audio::ReadKeptStream([&](std::string_view key) -> std::optional<std::string> {
        const auto found = values.find(key);
        return found == values.end() ? std::nullopt : std::optional(found->second);
    });
    EXPECT_TRUE(kept.on);
    EXPECT_EQ(kept.settings, tricky.settings) << kept.settings.name << "|" << kept.settings.description;

    // The dialog shows the choice as it is and gives it back unchanged.
    std::atomic<audio::StreamState> state{audio::StreamState::Off};
    StreamDialog dialog(
        chosen,
        [&] {
            audio::StreamStatus now;
            now.state = state.load();
            now.where = audio::IcecastUrlText(s);
            now.reason = "connection refused";
            now.retryInMs = 4000;
            return now;
        },
        prompts);
    EXPECT_EQ(dialog.Choice(), chosen);
    EXPECT_EQ(dialog.PasswordEdit()->echoMode(), QLineEdit::Password);
    EXPECT_EQ(dialog.StatusLabel()->text(), QStringLiteral("Not streaming: starts when you press OK."));
    // The state is followed while the dialog is open.
    state = audio::StreamState::Retrying;
    EXPECT_TRUE(WaitUntil([&] {
        return dialog.StatusLabel()->text() ==
               QStringLiteral("Not connected to icecast://feeder@feed.example.net:8010/county-fire: connection "
                              "refused; trying again in 4 s");
    })) << dialog.StatusLabel()->text().toStdString();

    // Settings that cannot stream keep the dialog open with the reason;
    // switched off, they are kept as they stand.
    dialog.MountEdit()->setText(QStringLiteral("/county fire"));
    dialog.accept();
    ASSERT_EQ(prompts.warnings.size(), 1);
    EXPECT_TRUE(prompts.informatives[0].contains(QStringLiteral("\"/county fire\""))) << prompts.informatives[0].toStdString();
    EXPECT_NE(dialog.result(), QDialog::Accepted);
    dialog.OnBox()->setChecked(false);
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_FALSE(Shown(dialog).contains(QString::fromStdString(s.password)));

    // What no setting can be is as good as absent.
    QSettings(store, QSettings::IniFormat).setValue(QStringLiteral("Stream/Port"), 0);
    QSettings(store, QSettings::IniFormat).setValue(QStringLiteral("Stream/BitrateKbps"), 4000);
    QSettings(store, QSettings::IniFormat).setValue(QStringLiteral("Stream/Format"), QStringLiteral("flac"));
    const StreamChoice read = StreamChoice::Load(store);
    EXPECT_EQ(read.settings.port, audio::DEFAULT_ICECAST_PORT);
    EXPECT_EQ(read.settings.bitrateKbps, audio::DEFAULT_STREAM_KBPS);
    EXPECT_EQ(read.settings.format, audio::StreamFormat::Mp3);
}

// The test connects on a thread of its own: the click returns at once, and
// the window goes on until the server's answer is there, however long the
// server takes (here held back by a gate before the real test).
TEST_F(StreamDialogTest, TheTestButtonReportsTheServerWithoutHoldingTheWindow)
{
    if (::access("/usr/bin/icecast2", X_OK) != 0) {
        GTEST_SKIP() << "icecast2 is not installed (bash tools/setup.sh test installs it)";
    }
    IcecastProcess server;
    ASSERT_TRUE(server.Started()) << server.Error();
    StreamChoice choice;
    choice.settings = SourceSettings(server, audio::StreamFormat::Mp3, "/panel.mp3");
    auto gate = std::make_shared<std::atomic<bool>>(false);
    StreamDialog dialog(choice, nullptr, prompts, nullptr, [gate](const audio::StreamSettings& settings) {
        for (int i = 0; i < 200 && !gate->load(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return audio::TestIcecastConnection(settings);
    });
    dialog.show();
    const QString where = QStringLiteral("icecast://source@127.0.0.1:%1/panel.mp3").arg(server.Port());

    const std::pair<QString, QString> cases[] = {
        {QString::fromStdString(server.SourcePassword()), QStringLiteral("The server took the stream at ") + where},
        {QStringLiteral("not-the-source-password"), QStringLiteral("Refused by ") + where +
                                                        QStringLiteral(": wrong user or password")},
    };
    for (const auto& [password, report] : cases) {
        dialog.PasswordEdit()->setText(password);
        *gate = false;
        QElapsedTimer clicked;
        clicked.start();
        dialog.TestButton()->click();
        EXPECT_LT(clicked.elapsed(), 1000) << "the window waited for the server";
        QTest::qWait(100);
        EXPECT_TRUE(dialog.Testing());
        EXPECT_FALSE(dialog.TestButton()->isEnabled());
        EXPECT_EQ(dialog.TestLabel()->text(), QStringLiteral("Connecting to ") + where + QStringLiteral("..."));
        *gate = true;
        ASSERT_TRUE(WaitUntil([&] { return !dialog.Testing(); }, 12000));
        EXPECT_EQ(dialog.TestLabel()->text(), report);
        EXPECT_TRUE(dialog.TestButton()->isEnabled());
        EXPECT_FALSE(Shown(dialog).contains(password));
    }
}

} // namespace
