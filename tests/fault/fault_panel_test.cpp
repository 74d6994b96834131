// The real front panel, offscreen: a radio that vanishes under it, and a
// settings file that is anything but a small text file.

#include "faultsupport.h"
#include "panel/lcdpainter.h"
#include "simprocess.h"
#include "panel/statuspainter.h"
#include "testsupport.h"

#include "serial/keptfiles.h"

#include <QCheckBox>
#include <QDialog>
#include <QFile>
#include <QGuiApplication>
#include <QScreen>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <memory>

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using fault::MsSince;
using fault::steady_clock;

namespace {

constexpr int kCom = 252;

class PanelFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestApplication();
        ASSERT_TRUE(dir.isValid());
        fs::create_directories(fs::path(KeptFilesDirectory()) / "ports");
    }
    std::string LinkPath() const { return KeptFilesDirectory() + "/ports/COM" + std::to_string(kCom); }
    std::string SettingsFile() const { return dir.filePath(QStringLiteral("Ostrelle.cfg")).toStdString(); }
    QString Text(int id) const
    {
        QWidget* w = panel->Control(id);
        if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            return edit->text();
        }
        if (auto* button = qobject_cast<QPushButton*>(w)) {
            return button->text();
        }
        auto* label = qobject_cast<QLabel*>(w);
        return label != nullptr ? label->text() : QString();
    }
    void Click(int id) { qobject_cast<QPushButton*>(panel->Control(id))->click(); }
    // Starts a panel, times its start-up and fails when it took long.
    void OpenPanel()
    {
        const auto at = steady_clock::now();
        panel = std::make_unique<CFrontPanelDlg>(&prompts, dir.path());
        panel->show();
        EXPECT_LT(MsSince(at), 2000) << "start-up";
    }
    // Exit, timed; true when the panel ended.
    bool Exit()
    {
        const auto at = steady_clock::now();
        Click(1); // Exit is the dialog's OK button
        EXPECT_LT(MsSince(at), 500) << "Exit";
        return panel->result() == QDialog::Accepted;
    }

    QTemporaryDir dir;
    RecordingPrompts prompts;
    std::unique_ptr<CFrontPanelDlg> panel;
};

TEST_F(PanelFaults, RadioThatVanishesShowsNoStatusAndStopStartAndExitStayQuick)
{
    auto sim = std::make_unique<SimProcess>(std::vector<std::string>{"--hangup-after", "700"}, LinkPath());
    ASSERT_TRUE(sim->Started()) << sim->Error();
    OpenPanel();
    qobject_cast<QLineEdit*>(panel->Control(1032))->setText(QString::number(kCom));
    Click(1033);
    ASSERT_TRUE(panel->Link().Running()) << prompts.warnings.join('|').toStdString();
    const QString none = statuspaint::FormatStatus(RadioStatus{}).battery;
    ASSERT_TRUE(WaitUntil([&] { return Text(1036) != none; }));

    ASSERT_EQ(sim->WaitForExit(3000), 0);
    EXPECT_TRUE(WaitUntil([&] { return Text(1036) == none; }, 1500))
        << "the battery field still shows " << Text(1036).toStdString() << " from a radio that is gone";

    const auto stopAt = steady_clock::now();
    Click(1033);
    EXPECT_LT(MsSince(stopAt), 400) << "STOP";
    EXPECT_EQ(Text(1033), QStringLiteral("START"));

    // The radio is back under the same name: START mirrors it again.
    sim = std::make_unique<SimProcess>(std::vector<std::string>{"--hangup-after", "1500"}, LinkPath());
    ASSERT_TRUE(sim->Started()) << sim->Error();
    Click(1033);
    ASSERT_TRUE(panel->Link().Running()) << prompts.warnings.join('|').toStdString();
    EXPECT_TRUE(WaitUntil([&] { return Text(1036) != none; }));

    // And gone again: Exit is as quick as ever and ends the panel.
    ASSERT_EQ(sim->WaitForExit(3000), 0);
    EXPECT_TRUE(Exit());
    EXPECT_TRUE(prompts.warnings.isEmpty()) << prompts.warnings.join('|').toStdString();
}

// What a user meets when the radio's line dies and comes back, as the screen
// shows it: each state within a second, written across the LCD, which keeps
// its place and the window its size; the lamp dark while the radio says
// nothing; Send and Recv, the keys and TUNE resting while the port is gone,
// and no frequency shown as if it were current then. radiosim started
// again at the same link is mirrored again by itself, and STOP ends the wait.
TEST_F(PanelFaults, LinkStatesShowWithinASecondAndTheRadioComesBackByItself)
{
    auto sim = std::make_unique<SimProcess>(std::vector<std::string>{}, LinkPath());
    ASSERT_TRUE(sim->Started()) << sim->Error();
    OpenPanel();
    qobject_cast<QLineEdit*>(panel->Control(1032))->setText(QString::number(kCom));
    Click(1033);
    ASSERT_TRUE(panel->Link().Running()) << prompts.warnings.join('|').toStdString();
    const QSize size = panel->size();
    const QRect lcd = panel->LcdRect();
    const QPoint inBand = lcdpaint::MarkBand(lcd).topLeft() + QPoint(2, 2);
    const QPoint lamp = statuspaint::LampArea(lcd.top(), lcd.right() + 1).center();
    const QString gone = QStringLiteral("Radio disconnected: waiting for COM %1").arg(kCom);
    std::string seen;
    // The screen, the state's words and the buttons agree; false until they do.
    const auto shows = [&](const QString& reason, bool lampDark, bool transfers) {
        const QImage screen = QGuiApplication::primaryScreen()->grabWindow(panel->winId()).toImage();
        const bool band = screen.pixel(inBand) == lcdpaint::markBandRgb;
        const bool dark = screen.pixel(lamp) == qRgb(0, 0, 0);
        // Stopped, the keys stay enabled; running, they follow the port.
        const bool frames = panel->Control(1035)->isEnabled() == transfers &&
                            (panel->Control(1006)->isEnabled() == transfers || !panel->Link().Running());
        const bool noFrequency = Text(1052) == QStringLiteral("----") && Text(1051) == QStringLiteral("----");
        seen = panel->CurrentMark().reason.toStdString() + (band ? " [band]" : "") + (dark ? " [dark lamp]" : "") +
               (panel->Control(1001)->isEnabled() ? " [Recv]" : "") + (panel->Control(1006)->isEnabled() ? " [SCAN]" : "") +
               (panel->Control(1035)->isEnabled() ? " [TUNE]" : "") + " " +
               Text(1052).toStdString();
        return panel->CurrentMark().reason == reason && band == !reason.isEmpty() && dark == lampDark &&
               panel->Control(1000)->isEnabled() == transfers && panel->Control(1001)->isEnabled() == transfers &&
               frames && (reason != gone || noFrequency) && panel->size() == size;
    };
    const auto restart = [&](std::vector<std::string> args) {
        sim = std::make_unique<SimProcess>(std::move(args), LinkPath());
        ASSERT_TRUE(sim->Started()) << sim->Error();
    };

    EXPECT_TRUE(WaitUntil([&] { return shows({}, false, true); }, 2000)) << seen;
    sim->Stop();
    auto at = steady_clock::now();
    EXPECT_TRUE(WaitUntil([&] { return shows(gone, true, false); }, 1000)) << seen;
    RecordProperty("ms_to_show_the_port_gone", static_cast<int>(MsSince(at)));

    restart({});
    at = steady_clock::now();
    EXPECT_TRUE(WaitUntil([&] { return shows({}, false, true); }, 2000)) << seen;
    RecordProperty("ms_to_mirror_the_radio_again", static_cast<int>(MsSince(at)));

    sim->Stop();
    ASSERT_TRUE(WaitUntil([&] { return shows(gone, true, false); }, 1000)) << seen;
    restart({"--no-reply"});
    EXPECT_TRUE(WaitUntil([&] { return shows(QStringLiteral("No answer from the radio"), true, true); }, 3000))
        << seen;

    sim->Stop();
    ASSERT_TRUE(WaitUntil([&] { return shows(gone, true, false); }, 1000)) << seen;
    restart({});
    ASSERT_TRUE(WaitUntil([&] { return shows({}, false, true); }, 2000)) << seen;
    qobject_cast<QCheckBox*>(panel->Control(1054))->click();
    EXPECT_TRUE(WaitUntil([&] { return shows(QStringLiteral("LCD polls off"), false, true); }, 1000)) << seen;
    qobject_cast<QCheckBox*>(panel->Control(1054))->click();
    EXPECT_TRUE(WaitUntil([&] { return shows({}, false, true); }, 1000)) << seen;

    sim->Stop();
    ASSERT_TRUE(WaitUntil([&] { return shows(gone, true, false); }, 1000)) << seen;
    at = steady_clock::now();
    Click(1033);
    EXPECT_LT(MsSince(at), 300) << "STOP";
    EXPECT_EQ(Text(1033), QStringLiteral("START"));
    EXPECT_TRUE(WaitUntil([&] { return shows({}, true, false); }, 1000)) << seen;
    // Stopped, the keys are back (a click says to press START) and no
    // frequency stands as if current.
    EXPECT_TRUE(panel->Control(1006)->isEnabled());
    EXPECT_EQ(Text(1052), QStringLiteral("----"));
    EXPECT_TRUE(prompts.warnings.isEmpty()) << prompts.warnings.join('|').toStdString();
}

void WriteBytes(const std::string& path, const std::string& bytes)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const bool whole = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ASSERT_TRUE(std::fclose(f) == 0 && whole) << path;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A disk that fills at Exit, for anyone: a limit on the size of the files
// this process writes (the signal that would end it ignored) lets the new
// text fail part-way. The old settings must survive that whole.
TEST_F(PanelFaults, SettingsWriteThatFailsKeepsTheOldFile)
{
    const std::string old = "7\n146.520000\n10,20\n636,540\n30, 60\n614, 170\n";
    WriteBytes(SettingsFile(), old);
    OpenPanel();
    qobject_cast<QLineEdit*>(panel->Control(1032))->setText(QStringLiteral("9"));

    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = before;
    small.rlim_cur = 16;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool ended = Exit();
    ::setrlimit(RLIMIT_FSIZE, &before);
    (void)std::signal(SIGXFSZ, oldHandler);

    EXPECT_TRUE(ended);
    EXPECT_EQ(ReadAll(SettingsFile()), old);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path().toStdString()), fs::directory_iterator{}), 1)
        << "a half-written file was left beside the settings";
}

// Users who keep the settings elsewhere and link them in keep their link:
// the new text lands in the file the link names.
TEST_F(PanelFaults, SettingsBehindALinkAreWrittenThroughIt)
{
    QTemporaryDir elsewhere;
    ASSERT_TRUE(elsewhere.isValid());
    const std::string target = elsewhere.filePath(QStringLiteral("mine.cfg")).toStdString();
    WriteBytes(target, "7\n146.52\n");
    fs::create_symlink(target, SettingsFile());
    OpenPanel();
    EXPECT_EQ(panel->Settings().comPort, 7);
    qobject_cast<QLineEdit*>(panel->Control(1032))->setText(QStringLiteral("9"));
    EXPECT_TRUE(Exit());

    EXPECT_TRUE(fs::is_symlink(SettingsFile()));
    EXPECT_EQ(ReadAll(target).substr(0, 2), "9\n");
}

// Settings files of every bad kind: start and Exit behave, nothing hangs or
// crashes. The program runs as root in CI, where permission bits do not
// keep a file from being read or written; a symbolic link that points to
// itself is unreadable and unwritable for root as well.
struct BadSettings {
    const char* name;
    std::function<void(const std::string&)> make;
    int port;          // what the panel opens with
    double frequency;
    bool rewritten;    // Exit leaves a fresh six-line file behind
};

class BadSettingsFiles : public PanelFaults, public ::testing::WithParamInterface<BadSettings> {};


TEST_P(BadSettingsFiles, StartAndExitBehave)
{
    const BadSettings& bad = GetParam();
    bad.make(SettingsFile());
    OpenPanel();
    EXPECT_EQ(panel->Settings().comPort, bad.port) << bad.name;
    EXPECT_EQ(panel->Settings().tuneFrequencyMHz, bad.frequency) << bad.name;
    EXPECT_TRUE(Exit()) << bad.name;
    EXPECT_TRUE(prompts.warnings.isEmpty()) << bad.name;
    if (bad.rewritten) {
        QFile file(QString::fromStdString(SettingsFile()));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << bad.name;
        EXPECT_EQ(file.readAll().count('\n'), 6) << bad.name;
    }
    panel.reset();
    std::error_code ec;
    fs::permissions(SettingsFile(), fs::perms::owner_all, ec);
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadSettingsFiles,
    ::testing::Values(
        BadSettings{"directory", [](const std::string& p) { fs::create_directory(p); }, 1, 25.0, false},
        BadSettings{"linkToItself", [](const std::string& p) { fs::create_symlink(p, p); }, 1, 25.0, false},
        BadSettings{"unreadableBits",
                    [](const std::string& p) {
                        WriteBytes(p, "7\n146.52\n");
                        fs::permissions(p, fs::perms::none);
                    },
                    ::geteuid() == 0 ? 7 : 1, ::geteuid() == 0 ? 146.52 : 25.0, ::geteuid() == 0},
        BadSettings{"readOnly",
                    [](const std::string& p) {
                        WriteBytes(p, "7\n146.52\n");
                        fs::permissions(p, fs::perms::owner_read);
                    },
                    7, 146.52, ::geteuid() == 0},
        BadSettings{"fullFileSystem", [](const std::string& p) { fs::create_symlink("/dev/full", p); }, 1, 25.0,
                    false},
        BadSettings{"fifo", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, 1, 25.0, false},
        BadSettings{"megabyteLine",
                    [](const std::string& p) { WriteBytes(p, "7" + std::string(1 << 20, ' ') + "x\n146.52\n"); }, 7, 146.52,
                    true},
        BadSettings{"nulBytes", [](const std::string& p) { WriteBytes(p, std::string("7\0\0\n14\0.5\n", 10)); }, 7,
                    14.0, true},
        BadSettings{"invalidUtf8",
                    [](const std::string& p) { WriteBytes(p, "7\xff\xfe\n\xc3\x28" "146.52\n\xed\xa0\x80,1\n"); }, 7,
                    0.0, true}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
