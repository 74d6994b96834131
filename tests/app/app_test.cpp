#include "ptyradio.h"
#include "testsupport.h"

#include "panel/caboutdlg.h"
#include "app/cdemoapp.h"
#include "serial/keptfiles.h"
#include "app/keypadfilter.h"
#include "panel/panelcontrols.h"
#include "panel/resourceids.h"
#include "panel/resourcestrings.h"
#include "panel/versionblock.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QSessionManager>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <memory>

namespace {

CDemoApp& App()
{
    return TestApplication<CDemoApp>();
}

// ---- The accelerator table --------------------------------------------------

TEST(KeypadAccel, KeysMapToTheKeypadCommands)
{
    struct Case {
        int key;
        Qt::KeyboardModifiers modifiers;
        const char* text;
        int command;
    };
    const Qt::KeyboardModifiers none;
    const Case cases[] = {
        {Qt::Key_1, none, "1", 1028},
        {Qt::Key_1, Qt::KeypadModifier, "1", 1028},
        {Qt::Key_0, Qt::KeypadModifier, "0", 1027},
        {Qt::Key_9, none, "9", 1021},
        {Qt::Key_1, Qt::ShiftModifier, "!", 0},
        {Qt::Key_1, Qt::ControlModifier, "", 0},
        {Qt::Key_1, Qt::AltModifier, "", 0},
        {Qt::Key_Period, none, ".", 1022},
        {Qt::Key_Period, Qt::KeypadModifier, ".", 1022},
        // The character entry takes '.' whatever produced it.
        {Qt::Key_Colon, Qt::ShiftModifier, ".", 1022},
        {Qt::Key_Backspace, none, "\b", 1031},
        {Qt::Key_Delete, none, "", 1031},
        {Qt::Key_Delete, Qt::KeypadModifier, "", 1031},
        {Qt::Key_Return, none, "\r", 1018},
        {Qt::Key_Enter, Qt::KeypadModifier, "\r", 1018},
        {Qt::Key_Return, Qt::ShiftModifier, "\r", 0},
        {Qt::Key_F1, none, "", 1002},
        {Qt::Key_F3, none, "", 1004},
        {Qt::Key_F4, none, "", 0},
        {Qt::Key_Up, none, "", 1038},
        {Qt::Key_Down, Qt::KeypadModifier, "", 1040},
        {Qt::Key_Left, none, "", 1041},
        {Qt::Key_Right, none, "", 1037},
        {Qt::Key_A, none, "a", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TranslateAccelerator(keypadAccel, c.key, c.modifiers, QString::fromLatin1(c.text)), c.command)
            << std::hex << c.key << " " << c.modifiers.toInt();
    }
    EXPECT_EQ(TranslateAccelerator({}, Qt::Key_1, none, QStringLiteral("1")), 0);
    // The names the buttons' tooltips show, from the same table.
    const QMap<int, QStringList> names = PcKeyNames(keypadAccel);
    EXPECT_EQ(names.value(1028), (QStringList{"1", "Num 1"}));
    EXPECT_EQ(names.value(1022), (QStringList{".", "Num ."}));
    EXPECT_EQ(names.value(1031), (QStringList{"Backspace", "Delete"}));
    EXPECT_EQ(names.value(1018), QStringList{"Enter"});
    EXPECT_EQ(names.value(1002), QStringList{"F1"});
    EXPECT_EQ(names.value(1038), QStringList{"Up"});
    EXPECT_EQ(names.size(), 20);
    // Every command of the table is one of the keypad's buttons.
    for (const AccelEntry& entry : keypadAccel) {
        EXPECT_TRUE(KeyByControlId(entry.commandId).has_value()) << entry.commandId;
    }
}

TEST(KeypadAccel, EveryKeyPressesTheButtonOfItsOwnCaption)
{
    // Told by the caption of the button it reaches, so that a key mapped to
    // its neighbour's button is seen whichever key it is.
    const auto caption = [](int key, Qt::KeyboardModifiers modifiers, const QString& text) {
        const auto button = KeyByControlId(TranslateAccelerator(keypadAccel, key, modifiers, text));
        return button.has_value() ? std::string(button->caption) : std::string();
    };
    for (int digit = 0; digit <= 9; ++digit) {
        const QString text = QString::number(digit);
        for (const Qt::KeyboardModifiers block : {Qt::KeyboardModifiers(), Qt::KeyboardModifiers(Qt::KeypadModifier)}) {
            EXPECT_EQ(caption(Qt::Key_0 + digit, block, text), text.toStdString()) << digit << " " << block.toInt();
        }
    }
    const struct {
        int key;
        const char* caption;
    } others[] = {
        {Qt::Key_Up, "U"},     {Qt::Key_Down, "D"},      {Qt::Key_Left, "L"},      {Qt::Key_Right, "R"},
        {Qt::Key_F1, "F1"},    {Qt::Key_F2, "F2"},       {Qt::Key_F3, "F3"},       {Qt::Key_Return, "ENT"},
        {Qt::Key_Backspace, "CL"}, {Qt::Key_Delete, "CL"},
    };
    for (const auto& o : others) {
        EXPECT_EQ(caption(o.key, {}, {}), o.caption) << o.caption;
    }
    EXPECT_EQ(caption(Qt::Key_Period, Qt::KeypadModifier, {}), ".");
    EXPECT_EQ(caption(Qt::Key_Period, {}, QStringLiteral(".")), ".");
}

// ---- The keypad filter on a running panel -----------------------------------

class KeypadFilterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        ASSERT_TRUE(dir.isValid());
        panel = std::make_unique<CFrontPanelDlg>(&prompts, dir.path());
        filter = std::make_unique<KeypadFilter>(*panel, std::span<const AccelEntry>(keypadAccel));
        App().installEventFilter(filter.get());
        panel->show();
        panel->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(panel.get()));
    }

    void TearDown() override
    {
        App().removeEventFilter(filter.get());
        panel->StopWorker();
    }

    void Start(PtyRadio& radio, int number)
    {
        ASSERT_TRUE(radio.Ok());
        qobject_cast<QLineEdit*>(panel->Control(1032))->setText(QString::number(number));
        qobject_cast<QPushButton*>(panel->Control(1033))->click();
        ASSERT_TRUE(panel->Link().Running());
    }

    size_t KeyFrames(const PtyRadio& radio) const
    {
        size_t count = 0;
        for (const KeyDef& key : keyTable) {
            count += PtyRadio::Count(radio.Received(), PtyRadio::Of(KeyFrame(key.code)));
        }
        return count;
    }

    QTemporaryDir dir;
    RecordingPrompts prompts;
    std::unique_ptr<CFrontPanelDlg> panel;
    std::unique_ptr<KeypadFilter> filter;
};

TEST_F(KeypadFilterTest, WhileStoppedDigitsGoIntoThePortBox)
{
    auto* port = qobject_cast<QLineEdit*>(panel->Control(1032));
    port->setFocus();
    port->clear();
    QTest::keyClicks(port, QStringLiteral("12"));
    EXPECT_EQ(port->text(), QStringLiteral("12"));
}

TEST_F(KeypadFilterTest, EnterOnStartStopSendsEntAndKeepsTheLink)
{
    PtyRadio radio(244);
    Start(radio, 244);
    QWidget* startStop = panel->Control(1033);
    startStop->setFocus();
    QTest::keyClick(startStop, Qt::Key_Return);
    EXPECT_TRUE(radio.WaitFor(PtyRadio::Of(KeyFrame(18)), 1000));
    EXPECT_TRUE(panel->Link().Running());
    EXPECT_EQ(qobject_cast<QPushButton*>(startStop)->text(), QStringLiteral("STOP"));
}

TEST_F(KeypadFilterTest, DigitsPressKeysOnlyWithoutShiftOrCtrl)
{
    PtyRadio radio(245);
    Start(radio, 245);
    QWidget* key = panel->Control(1006);
    key->setFocus();
    QTest::keyClick(key, Qt::Key_1, Qt::ShiftModifier);
    QTest::keyClick(key, Qt::Key_1, Qt::ControlModifier);
    QTest::qWait(100);
    EXPECT_EQ(KeyFrames(radio), 0u);
    QTest::keyClick(key, Qt::Key_1);
    QTest::keyClick(key, Qt::Key_1, Qt::KeypadModifier);
    const auto one = PtyRadio::Of(KeyFrame(33));
    EXPECT_TRUE(WaitUntil([&] { return PtyRadio::Count(radio.Received(), one) == 2; }));
    // An auto-repeated press counts like any other.
    QKeyEvent repeat(QEvent::KeyPress, Qt::Key_2, Qt::NoModifier, QStringLiteral("2"), true);
    QApplication::sendEvent(key, &repeat);
    EXPECT_TRUE(radio.WaitFor(PtyRadio::Of(KeyFrame(27)), 1000));
}

TEST_F(KeypadFilterTest, TheFrequencyBoxKeepsItsKeysAndEnterTunes)
{
    PtyRadio radio(246);
    Start(radio, 246);
    QLineEdit* frequency = panel->FrequencyEdit();
    frequency->setFocus();
    frequency->clear();
    QTest::keyClicks(frequency, QStringLiteral("162.55"));
    EXPECT_EQ(frequency->text(), QStringLiteral("162.55"));
    QTest::keyClick(frequency, Qt::Key_Return);
    EXPECT_TRUE(radio.WaitFor(PtyRadio::Of(TuneFrame(162550000, 2)), 1000));
    EXPECT_EQ(KeyFrames(radio), 0u);
}

TEST_F(KeypadFilterTest, UpAndDownInTheModulationBoxPressUAndD)
{
    PtyRadio radio(247);
    Start(radio, 247);
    auto* combo = qobject_cast<QComboBox*>(panel->Control(1050));
    combo->setCurrentIndex(1);
    combo->setFocus();
    QTest::keyClick(combo, Qt::Key_Up);
    QTest::keyClick(combo, Qt::Key_Down);
    EXPECT_TRUE(radio.WaitFor(PtyRadio::Of(KeyFrame(7)), 1000));
    EXPECT_TRUE(radio.WaitFor(PtyRadio::Of(KeyFrame(9)), 1000));
    EXPECT_EQ(combo->currentIndex(), 1);
}

TEST_F(KeypadFilterTest, OtherWindowsKeepTheirKeys)
{
    PtyRadio radio(248);
    Start(radio, 248);
    QLineEdit other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    QTest::keyClicks(&other, QStringLiteral("42"));
    EXPECT_EQ(other.text(), QStringLiteral("42"));
    QTest::qWait(50);
    EXPECT_EQ(KeyFrames(radio), 0u);
}

// ---- Resources, About box, start-up ----------------------------------------

QByteArray Utf16(const char* text)
{
    const QString s = QString::fromLatin1(text);
    return QByteArray(reinterpret_cast<const char*>(s.utf16()), s.size() * 2);
}

TEST(Resources, TheVersionBlockCarriesTheProjectVersion)
{
    App();
    QFile file(QStringLiteral(":/version/version.bin"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray block = file.readAll();
    ASSERT_GE(block.size(), 92);
    const auto word = [&](int at) { return static_cast<uint8_t>(block[at]) | (static_cast<uint8_t>(block[at + 1]) << 8); };
    EXPECT_EQ(word(0), block.size());
    EXPECT_EQ(word(2), 52);
    EXPECT_EQ(block.mid(6, 30), Utf16("VS_VERSION_INFO"));
    // Header (6) + key with its terminator (32) = 38, padded to 40.
    EXPECT_EQ(block.mid(40, 24), QByteArray::fromHex("bd04effe0000010009000100000000000900010000000000"));
    EXPECT_EQ(block.mid(64, 16), QByteArray::fromHex("3f000000000000000400000001000000"));
    const FileVersion version = ReadFileVersion(block);
    EXPECT_TRUE(version.found);
    EXPECT_EQ(version.major, 1);
    EXPECT_EQ(version.minor, 9);
    for (const char* text : {"StringFileInfo", "040904b0", "Quelmar Demo Application", "1, 9, 0, 0",
                             "OriginalFilename", "ostrelle", "LegalTrademarks", "VarFileInfo", "Translation"}) {
        EXPECT_TRUE(block.contains(Utf16(text))) << text;
    }
    EXPECT_TRUE(block.endsWith(QByteArray::fromHex("0904b004")));
}

TEST(Resources, FontIconsAndStrings)
{
    App();
    EXPECT_TRUE(QFile::exists(QStringLiteral(":/font/LCDp.ttf")));
    EXPECT_EQ(LoadResourceString(IDS_ABOUTBOX), QStringLiteral("&About Ostrelle..."));
    EXPECT_TRUE(LoadResourceString(IDS_ABOUTBOX + 1).isEmpty());
}

TEST(AboutBox, LayoutAndTheSystemCommandThatOpensIt)
{
    App();
    CAboutDlg about;
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About Ostrelle"));
    EXPECT_EQ(about.size(), QSize(353, 89));
    auto* ok = about.findChild<QPushButton*>(QStringLiteral("1"));
    ASSERT_NE(ok, nullptr);
    EXPECT_TRUE(ok->isDefault());
    EXPECT_EQ(ok->geometry(), QRect(267, 11, 75, 23));

    QTemporaryDir dir;
    RecordingPrompts prompts;
    CFrontPanelDlg panel(&prompts, dir.path());
    panel.OnInitDialog();
    // Every id from 16 to 31 opens it; the box is closed by its OK button.
    for (const int id : {16, 21, 31}) {
        bool opened = false;
        QTimer::singleShot(0, [&] {
            if (auto* box = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget())) {
                opened = true;
                box->findChild<QPushButton*>(QStringLiteral("1"))->click();
            }
        });
        panel.OnSysCommand(id);
        EXPECT_TRUE(opened) << id;
    }
    bool opened = false;
    QTimer::singleShot(0, [&] { opened = QApplication::activeModalWidget() != nullptr; });
    panel.OnSysCommand(0xF060);
    QTest::qWait(20);
    EXPECT_FALSE(opened);
}

TEST(AboutBox, NamesTheFolderOfKeptFilesWithinItsLine)
{
    App();
    RecordingPrompts prompts;
    CFrontPanelDlg panel(&prompts);
    EXPECT_EQ(panel.ModuleDirectory(), QString::fromStdString(KeptFilesDirectory()));
    CAboutDlg about(panel.ModuleDirectory());
    auto* line = about.findChild<QLabel*>(QStringLiteral("keptFolder"));
    ASSERT_NE(line, nullptr);
    EXPECT_TRUE(line->text().startsWith(QStringLiteral("Settings in "))) << line->text().toStdString();
    EXPECT_EQ(line->toolTip(), QDir::toNativeSeparators(panel.ModuleDirectory()));
    EXPECT_LE(line->fontMetrics().horizontalAdvance(line->text()), line->width());
    EXPECT_LE(line->geometry().bottom(), about.height());

    // The home folder reads as ~, only where a path really starts with it;
    // a long path loses its middle, never its ends, and still fits.
    const QFontMetrics metrics = line->fontMetrics();
    const QString home = QDir::homePath();
    EXPECT_EQ(CAboutDlg::FolderLine(home + QStringLiteral("/.config/ostrelle"), metrics, 1000),
              QStringLiteral("Settings in ~/.config/ostrelle"));
    EXPECT_EQ(CAboutDlg::FolderLine(home + QStringLiteral("x/ostrelle"), metrics, 1000),
              QStringLiteral("Settings in ") + home + QStringLiteral("x/ostrelle"));
    const QString deep = QStringLiteral("/srv/") + QString(200, QLatin1Char('d')) + QStringLiteral("/ostrelle");
    const QString elided = CAboutDlg::FolderLine(deep, metrics, line->width());
    EXPECT_TRUE(elided.startsWith(QStringLiteral("Settings in /srv/"))) << elided.toStdString();
    EXPECT_TRUE(elided.endsWith(QStringLiteral("/ostrelle"))) << elided.toStdString();
    EXPECT_LE(metrics.horizontalAdvance(elided), line->width());
}

// The core finds the user's folder without Qt (the command-line program
// has none); it must be the folder Qt's own rules give the window.
TEST(KeptFiles, TheWindowAndTheCoreAgreeOnTheUsersFolder)
{
    App();
    const QByteArray savedXdg = qgetenv("XDG_CONFIG_HOME");
    const bool hadXdg = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    const QByteArray savedHome = qgetenv("HOME");
    const QString savedName = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName(QStringLiteral("ostrelle"));
    ASSERT_TRUE(QCoreApplication::organizationName().isEmpty());

    QTemporaryDir dir;
    const QByteArray root = QFile::encodeName(dir.path());
    const struct {
        const char* xdg; // null: unset
        QByteArray home;
    } cases[] = {
        {nullptr, root + "/home"},
        // A relative XDG_CONFIG_HOME is left out: Qt 6.4 takes it as it
        // stands, the base directory rules and later Qt ignore it, and so
        // does the core.
        {"", root + "/home"},
        {"CONFIG", root + "/home"}, // replaced by an absolute path below
    };
    for (const auto& c : cases) {
        qputenv("HOME", c.home);
        QByteArray xdg = c.xdg == nullptr ? QByteArray() : QByteArray(c.xdg);
        if (xdg == "CONFIG") {
            xdg = root + "/config";
        }
        if (c.xdg == nullptr) {
            qunsetenv("XDG_CONFIG_HOME");
        } else {
            qputenv("XDG_CONFIG_HOME", xdg);
        }
        EXPECT_EQ(UserConfigDirectory(),
                  QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation).toStdString())
            << "XDG_CONFIG_HOME=" << xdg.toStdString();
    }

    qputenv("HOME", savedHome);
    if (hadXdg) {
        qputenv("XDG_CONFIG_HOME", savedXdg);
    } else {
        qunsetenv("XDG_CONFIG_HOME");
    }
    QCoreApplication::setApplicationName(savedName);
}

TEST(Application, InitInstanceRunsThePanelUntilExit)
{
    CDemoApp& app = App();
    QTemporaryDir dir;
    RecordingPrompts prompts;
    app.SetPanelPrompts(&prompts);
    app.SetSettingsDirectory(dir.path());
    bool sawPanel = false;
    QTimer::singleShot(50, [&] {
        CFrontPanelDlg* panel = app.MainWindow();
        sawPanel = panel != nullptr && panel->isVisible() &&
                   panel->Control(1030)->toolTip() == QStringLiteral("PC keys: 7 or Num 7");
        if (panel != nullptr) {
            qobject_cast<QPushButton*>(panel->Control(IDOK))->click();
        }
    });
    EXPECT_FALSE(app.InitInstance());
    EXPECT_TRUE(sawPanel);
    EXPECT_EQ(app.MainWindow(), nullptr);
    EXPECT_EQ(app.accelTable.size(), 32u);
    EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral("Ostrelle.cfg"))));
    app.SetPanelPrompts(nullptr);
    app.SetSettingsDirectory({});
}

// Prompts whose message boxes are real and wait for an answer, as the
// user's do, while their texts are kept.
class AnsweredPrompts : public RecordingPrompts {
public:
    void Warn(const QString& text, const QString& informative = {}) override
    {
        RecordingPrompts::Warn(text, informative);
        QMessageBox box(QMessageBox::Warning, QStringLiteral("ostrelle"), text, QMessageBox::Ok);
        box.exec();
    }
};

// A logout or shutdown reaches the panel as the session manager's request
// to save, as a Quit for the application, or as SIGTERM or SIGHUP; each ends
// the program as Exit does, also with a message box open over the panel and
// during a transfer, whose message nobody may be there to answer.
TEST(Application, TheSessionsEndEndsThePanelAsExitDoes)
{
    CDemoApp& app = App();
    enum class Over { Nothing, AMessage, ATransfer };
    const struct {
        const char* name;
        Over over;
        std::function<void()> end;
    } ways[] = {
        {"commitData", Over::Nothing,
         [&app] {
             auto* manager = app.findChild<QSessionManager*>();
             ASSERT_NE(manager, nullptr);
             emit app.commitDataRequest(*manager);
         }},
        // What the session manager's last word becomes.
        {"quit", Over::Nothing,
         [&app] {
             QEvent quit(QEvent::Quit);
             QCoreApplication::sendEvent(&app, &quit);
         }},
        {"SIGTERM", Over::AMessage, [] { (void)std::raise(SIGTERM); }},
        {"SIGHUP", Over::ATransfer, [] { (void)std::raise(SIGHUP); }},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.name);
        PtyRadio radio(249);
        ASSERT_TRUE(radio.Ok());
        QTemporaryDir dir;
        AnsweredPrompts prompts;
        prompts.saveAnswer = dir.filePath(QStringLiteral("in.bin"));
        app.SetPanelPrompts(&prompts);
        app.SetSettingsDirectory(dir.path());
        bool runningAtEnd = true;
        bool endedBySession = false;
        bool fellBack = false;
        QTimer::singleShot(50, [&] {
            CFrontPanelDlg* panel = app.MainWindow();
            ASSERT_NE(panel, nullptr);
            qobject_cast<QLineEdit*>(panel->Control(1032))->setText(QStringLiteral("249"));
            qobject_cast<QPushButton*>(panel->Control(1033))->click();
            ASSERT_TRUE(panel->Link().Running());
            panel->FrequencyEdit()->setText(QStringLiteral("146.52"));
            QObject::connect(panel, &QDialog::finished, [&, panel] {
                runningAtEnd = panel->Link().Running();
                endedBySession = !fellBack;
            });
            if (way.over == Over::ATransfer) {
                // The radio never streams: the receive waits until it ends.
                qobject_cast<QPushButton*>(panel->Control(1001))->click();
                ASSERT_TRUE(panel->Transfer().Active());
            }
            if (way.over == Over::AMessage) {
                QTimer::singleShot(50, way.end);
                prompts.Warn(QStringLiteral("over the panel"));
            } else {
                way.end();
            }
        });
        // Should nothing end the panel, Exit does, so that the test ends.
        QTimer fallBack;
        fallBack.setSingleShot(true);
        QObject::connect(&fallBack, &QTimer::timeout, [&] {
            fellBack = true;
            for (QWidget* window : QApplication::topLevelWidgets()) {
                if (auto* box = qobject_cast<QMessageBox*>(window)) {
                    box->done(0);
                }
            }
            if (CFrontPanelDlg* panel = app.MainWindow()) {
                qobject_cast<QPushButton*>(panel->Control(IDOK))->click();
            }
            QTimer::singleShot(100, [] {
                for (QWidget* window : QApplication::topLevelWidgets()) {
                    if (auto* box = qobject_cast<QMessageBox*>(window)) {
                        box->done(0);
                    }
                }
            });
        });
        fallBack.start(3000);
        EXPECT_FALSE(app.InitInstance());
        EXPECT_TRUE(endedBySession);
        EXPECT_FALSE(runningAtEnd);
        QFile settings(dir.filePath(QStringLiteral("Ostrelle.cfg")));
        ASSERT_TRUE(settings.open(QIODevice::ReadOnly));
        EXPECT_TRUE(settings.readAll().startsWith("249\n 146.520000\n"));
        app.SetPanelPrompts(nullptr);
        app.SetSettingsDirectory({});
    }
}

} // namespace
