#include "ptyradio.h"
#include "testsupport.h"

#include "panel/caboutdlg.h"
#include "fakeaccess.h"
#include "panel/networkcontroldlg.h"
#include "panel/panelcontrols.h"
#include "ser2netprocess.h"
#include "panel/dialogunits.h"
#include "panel/settingsfile.h"
#include "panel/userprompts.h"
#include "panel/versionblock.h"

#include <QBuffer>
#include <QCheckBox>
#include <QGroupBox>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QDir>
#include <QFileInfo>
#include <QComboBox>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTextLayout>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include <sys/stat.h>
#include <random>
#include <set>


namespace {

class PanelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestApplication();
        ASSERT_TRUE(dir.isValid());
    }

    // A panel whose settings file lives in the scratch folder, initialised.
    std::unique_ptr<CFrontPanelDlg> MakePanel()
    {
        auto panel = std::make_unique<CFrontPanelDlg>(&prompts, dir.path());
        panel->OnInitDialog();
        return panel;
    }

    void WriteSettings(const QByteArray& content)
    {
        QFile file(dir.filePath(QStringLiteral("Ostrelle.cfg")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    QByteArray ReadSettings()
    {
        QFile file(dir.filePath(QStringLiteral("Ostrelle.cfg")));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    static QString Text(CFrontPanelDlg& panel, int id)
    {
        QWidget* w = panel.Control(id);
        if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            return edit->text();
        }
        if (auto* button = qobject_cast<QPushButton*>(w)) {
            return button->text();
        }
        if (auto* label = qobject_cast<QLabel*>(w)) {
            return label->text();
        }
        if (auto* combo = qobject_cast<QComboBox*>(w)) {
            return combo->currentText();
        }
        return {};
    }

    static void SetText(CFrontPanelDlg& panel, int id, const QString& text)
    {
        qobject_cast<QLineEdit*>(panel.Control(id))->setText(text);
    }

    static void Click(CFrontPanelDlg& panel, int id)
    {
        qobject_cast<QAbstractButton*>(panel.Control(id))->click();
    }

    QTemporaryDir dir;
    RecordingPrompts prompts;
};

// Every link-dependent control and indicator, and what must stay usable.
constexpr int linkDependent[] = {1000, 1001, 1035, 1034, 1050};
constexpr int indicators[] = {1046, 1044, 1047, 1048, 1049};

TEST_F(PanelTest, FreshStartShowsTheDefaultsAndTheStoppedState)
{
    auto panel = MakePanel();
    EXPECT_EQ(panel->windowTitle(), QStringLiteral("Quelmar Demo   version 1.09"));
    EXPECT_EQ(Text(*panel, 1032), QStringLiteral("1"));
    EXPECT_EQ(Text(*panel, 1034), QStringLiteral("25"));
    EXPECT_EQ(Text(*panel, 1050), QStringLiteral("Auto"));
    EXPECT_TRUE(qobject_cast<QCheckBox*>(panel->Control(1054))->isChecked());
    EXPECT_EQ(Text(*panel, 1033), QStringLiteral("START"));
    for (const int id : linkDependent) {
        EXPECT_FALSE(panel->Control(id)->isEnabled()) << id;
    }
    for (const int id : indicators) {
        EXPECT_FALSE(panel->Control(id)->isEnabled()) << id;
    }
    for (const int id : {1032, 1033, 1, 1054, 1002, 1018}) {
        EXPECT_TRUE(panel->Control(id)->isEnabled()) << id;
    }
    EXPECT_FALSE(panel->Control(1024)->isVisibleTo(panel.get()));
    EXPECT_TRUE(qobject_cast<QPushButton*>(panel->Control(1035))->isDefault());
    EXPECT_EQ(panel->AboutMenuText(), QStringLiteral("&About Ostrelle..."));
    EXPECT_FALSE(panel->windowFlags().testFlag(Qt::WindowCloseButtonHint));
    // No settings file: none is made until Exit.
    EXPECT_FALSE(QFile::exists(panel->SettingsPath()));
}

TEST_F(PanelTest, ControlsStandWhereTheTemplatePutsThem)
{
    auto panel = MakePanel();
    EXPECT_EQ(panel->size(), QSize(624, 497));
    EXPECT_EQ(panel->minimumSize(), panel->maximumSize());
    struct Expected {
        int id;
        QRect rect;
    };
    const Expected table[] = {
        {1033, QRect(134, 5, 84, 23)},  // 89*1.5 = 133.5 rounds up
        {1032, QRect(75, 5, 38, 23)},   // 50,3,25,14
        {1, QRect(539, 5, 75, 23)},     // 359,3,50,14
        {1028, QRect(174, 345, 48, 22)}, // key 1 at 116,212
        {1012, QRect(405, 466, 48, 23)}, // PSE at 270,287
        {1003, QRect(290, 185, 48, 23)}, // F2 at 193,114
        {1052, QRect(477, 332, 101, 16)},
        {1054, QRect(8, 65, 135, 16)},
    };
    for (const Expected& e : table) {
        EXPECT_EQ(panel->Control(e.id)->geometry(), e.rect) << e.id;
    }
    // Every key exists, once, with the caption of the key table.
    for (std::size_t i = 0; i < keyButtons.size(); ++i) {
        auto* button = qobject_cast<QPushButton*>(panel->Control(keyButtons[i].controlId));
        ASSERT_NE(button, nullptr) << keyButtons[i].controlId;
        EXPECT_EQ(button->text().toStdString(), keyTable[i].caption);
        EXPECT_EQ(button->objectName(), QString::number(keyButtons[i].controlId));
    }
    // The frequency box says its unit, on its line, inside the tune group.
    const QRect frequency = panel->Control(1034)->geometry();
    const auto units = panel->findChildren<QLabel*>();
    const auto unit = std::find_if(units.begin(), units.end(), [](const QLabel* l) { return l->text() == "MHz"; });
    ASSERT_NE(unit, units.end());
    EXPECT_EQ((*unit)->geometry().center().y(), frequency.center().y());
    EXPECT_GT((*unit)->geometry().left(), frequency.right());
    EXPECT_LT((*unit)->geometry().right(), dlu::X(105));
    // The LCD lies over F2 and is known to tests after initialisation.
    EXPECT_FALSE(panel->LcdRect().isNull());
    EXPECT_LT(panel->LcdRect().bottom(), panel->Control(1003)->geometry().top());
}

TEST(KeyButtons, EachButtonSendsTheKeyOfItsCaption)
{
    // The panel's buttons, key by key, as the radio owners' documentation
    // numbers them: a button mapped to its neighbour's code presses the
    // wrong key.
    const struct {
        const char* caption;
        int controlId;
    } keys[] = {
        {"FUNC", 1007}, {"R", 1037},    {"MAN", 1013},  {"FAV", 1016},  {"L/OUT", 1011}, {"PSE", 1012},
        {"U", 1038},    {"SEL", 1039},  {"D", 1040},    {"SRCH", 1008}, {"PRI", 1009},   {"PGM", 1017},
        {"L", 1041},    {"SCAN", 1006}, {"TUNE", 1014}, {"WX", 1010},   {"ENT", 1018},   {"F3", 1004},
        {"3", 1019},    {"6", 1020},    {"9", 1021},    {".", 1022},    {"F2", 1003},    {"ATT", 1015},
        {"2", 1023},    {"5", 1025},    {"8", 1026},    {"0", 1027},    {"F1", 1002},    {"LIGHT", 1005},
        {"1", 1028},    {"4", 1029},    {"7", 1030},    {"CL", 1031},
    };
    ASSERT_EQ(std::size(keys), keyButtons.size());
    std::set<int> ids;
    for (const auto& c : keys) {
        const auto key = KeyByCaption(c.caption);
        ASSERT_TRUE(key.has_value()) << c.caption;
        EXPECT_EQ(KeyControlId(key->code), c.controlId) << c.caption;
        ASSERT_TRUE(KeyByControlId(c.controlId).has_value()) << c.controlId;
        EXPECT_EQ(KeyByControlId(c.controlId)->caption, c.caption);
        ids.insert(c.controlId);
    }
    EXPECT_EQ(ids.size(), keyButtons.size());
    // The tune button and the ids around the keys send nothing.
    for (const int other : {Id(ControlId::Tune), Id(ControlId::SendImage), 1042, 0}) {
        EXPECT_FALSE(KeyByControlId(other).has_value()) << other;
    }
    EXPECT_EQ(KeyControlId(13), 0);
}

TEST_F(PanelTest, DialogUnitsRoundEachEdgeHalvesUp)
{
    const int xs[][2] = {{0, 0}, {1, 2}, {89, 134}, {145, 218}, {416, 624}};
    for (const auto& x : xs) {
        EXPECT_EQ(dlu::X(x[0]), x[1]) << x[0];
    }
    const int ys[][2] = {{0, 0}, {3, 5}, {17, 28}, {306, 497}, {4, 7}};
    for (const auto& y : ys) {
        EXPECT_EQ(dlu::Y(y[0]), y[1]) << y[0];
    }
}

TEST_F(PanelTest, TabOrderFollowsTheTemplate)
{
    auto panel = MakePanel();
    QStringList order;
    QWidget* w = panel->Control(1032);
    for (int i = 0; i < 44 && w != nullptr; ++i) {
        order << w->objectName();
        w = w->nextInFocusChain();
        while (w != nullptr && (w->focusPolicy() & Qt::TabFocus) == 0 && w != panel->Control(1032)) {
            w = w->nextInFocusChain();
        }
    }
    QStringList expected{"1032", "1033", "1000", "1001"};
    for (const KeyButton& key : keyButtons) {
        expected << QString::number(key.controlId);
    }
    expected << "1" << "1050" << "1035" << "1034" << "1054";
    EXPECT_EQ(order.mid(0, expected.size()), expected);
}

TEST_F(PanelTest, StartWithAPortThatCannotBeOpenedStaysStopped)
{
    // A link whose target is gone: the port names that device and fails.
    const auto link = PtyRadio::LinkPath(233);
    std::filesystem::create_directories(link.parent_path());
    std::filesystem::remove(link);
    std::filesystem::create_symlink("/nonexistent/ostrelle-tty", link);
    auto panel = MakePanel();
    SetText(*panel, 1032, QStringLiteral("233"));
    Click(*panel, 1033);
    std::filesystem::remove(link);

    ASSERT_EQ(prompts.warnings.size(), 1);
    EXPECT_EQ(prompts.warnings[0], QStringLiteral("Unable to open port COM 233"));
    // Said once, in words, with what to do: no error numbers, no second
    // account of the same thing.
    EXPECT_EQ(prompts.informatives[0],
              QStringLiteral("COM 233 leads to /nonexistent/ostrelle-tty, which does not exist: is the cable plugged in?"));
    EXPECT_EQ(Text(*panel, 1033), QStringLiteral("START"));
    EXPECT_TRUE(panel->Control(1032)->isEnabled());
    EXPECT_FALSE(panel->Link().Running());
}

// A bad entry in a box is refused where the user can correct it, and traps
// nothing: a box out of reach never refuses a command, and Exit always ends
// the program.
TEST_F(PanelTest, ABadEntryNeverTrapsThePanel)
{
    PtyRadio radio(243);
    ASSERT_TRUE(radio.Ok());
    auto panel = MakePanel();
    panel->show();

    // START refuses a port number it cannot use, once, and opens nothing
    // else in its place.
    const struct {
        const char* port;
        const char* message;
    } refused[] = {
        {"", "Please enter an integer."},
        {"0", "Please enter an integer between 1 and 256."},
        {"257", "Please enter an integer between 1 and 256."},
    };
    for (const auto& r : refused) {
        prompts.warnings.clear();
        SetText(*panel, 1032, QString::fromLatin1(r.port));
        Click(*panel, 1033);
        EXPECT_EQ(prompts.warnings, QStringList{QString::fromLatin1(r.message)}) << r.port;
        EXPECT_FALSE(panel->Link().Running()) << r.port;
        EXPECT_EQ(panel->Settings().comPort, 1) << r.port;
    }

    // Corrected, it starts; a bad frequency typed while running is not
    // looked at by STOP nor, its box disabled, by the next START.
    prompts.warnings.clear();
    SetText(*panel, 1032, QStringLiteral("243"));
    Click(*panel, 1033);
    ASSERT_TRUE(panel->Link().Running());
    SetText(*panel, 1034, QStringLiteral("abc"));
    Click(*panel, 1033);
    Click(*panel, 1033);
    ASSERT_TRUE(panel->Link().Running());
    EXPECT_TRUE(prompts.warnings.isEmpty()) << prompts.warnings.join('|').toStdString();

    // TUNE, where it can be corrected, refuses it once and sends nothing.
    Click(*panel, 1035);
    EXPECT_EQ(prompts.warnings, QStringList{QStringLiteral("Please enter a number.")});
    // Corrected, TUNE and the check box work again.
    SetText(*panel, 1034, QStringLiteral("146.52"));
    Click(*panel, 1035);
    EXPECT_TRUE(radio.WaitFor(PtyRadio::Of(TuneFrame(146520000, 2)), 1000));
    Click(*panel, 1054);
    EXPECT_EQ(panel->Link().LcdPolls(), 0);

    // Exit with a bad frequency and a port number changed behind a
    // disabled box: the link stops, the file keeps the last good values,
    // and the panel ends without a word.
    prompts.warnings.clear();
    SetText(*panel, 1034, QStringLiteral("abc"));
    SetText(*panel, 1032, QStringLiteral("0"));
    Click(*panel, 1);
    EXPECT_FALSE(panel->isVisible());
    EXPECT_EQ(panel->result(), QDialog::Accepted);
    EXPECT_FALSE(panel->Link().Running());
    EXPECT_TRUE(prompts.warnings.isEmpty()) << prompts.warnings.join('|').toStdString();
    EXPECT_TRUE(ReadSettings().startsWith("243\n 146.520000\n")) << ReadSettings().toStdString();
}

TEST_F(PanelTest, StartAndStopAgainstALiveRadio)
{
    PtyRadio radio(241);
    ASSERT_TRUE(radio.Ok());
    auto panel = MakePanel();
    panel->show();
    SetText(*panel, 1032, QStringLiteral("241"));

    // Stopped: a key press sends nothing, and says why.
    Click(*panel, 1006);
    QTest::qWait(50);
    EXPECT_TRUE(radio.Received().empty());
    EXPECT_EQ(prompts.warnings, QStringList{QStringLiteral("The link is stopped: press START first.")});
    prompts.warnings.clear();

    Click(*panel, 1033);
    ASSERT_TRUE(prompts.warnings.isEmpty()) << prompts.warnings.join('|').toStdString();
    EXPECT_TRUE(panel->Link().Running());
    EXPECT_EQ(Text(*panel, 1033), QStringLiteral("STOP"));
    EXPECT_FALSE(panel->Control(1032)->isEnabled());
    for (const int id : linkDependent) {
        EXPECT_TRUE(panel->Control(id)->isEnabled()) << id;
    }

    // Polling: the key frame goes out at once; replies reach the panel.
    Click(*panel, 1006);
    EXPECT_TRUE(radio.WaitFor(PtyRadio::Of(KeyFrame(15)), 1000));
    ASSERT_TRUE(WaitUntil([&] { return panel->Link().Snapshot().status.statusValid; }));
    ASSERT_TRUE(WaitUntil([&] { return panel->Link().Snapshot().lcd.lcdValid; }));
    EXPECT_TRUE(WaitUntil([&] {
        panel->repaint();
        return Text(*panel, 1045) != QStringLiteral("Mode");
    }));

    Click(*panel, 1033);
    EXPECT_FALSE(panel->Link().Running());
    EXPECT_FALSE(panel->Link().HasWorker());
    EXPECT_EQ(Text(*panel, 1033), QStringLiteral("START"));
    EXPECT_TRUE(panel->Control(1032)->isEnabled());
    for (const int id : linkDependent) {
        EXPECT_FALSE(panel->Control(id)->isEnabled()) << id;
    }
    const PanelSnapshot after = panel->Link().Snapshot();
    EXPECT_FALSE(after.lcd.lcdValid);
    EXPECT_FALSE(after.status.statusValid);
    // And so does what the user sees: the status fields show no radio.
    const statuspaint::StatusView none = statuspaint::FormatStatus(RadioStatus{});
    EXPECT_TRUE(WaitUntil([&] { return Text(*panel, 1045) == none.mode && Text(*panel, 1036) == none.battery; }))
        << Text(*panel, 1045).toStdString();
    // The rows keep their text for the next paint.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(after.lcd.rows[0]), 12), "MIRRORED ROW");
}

TEST_F(PanelTest, TuneSendsOnlyWhatTheFrameCarries)
{
    PtyRadio radio(242);
    ASSERT_TRUE(radio.Ok());
    auto panel = MakePanel();
    SetText(*panel, 1032, QStringLiteral("242"));
    Click(*panel, 1033);
    ASSERT_TRUE(panel->Link().Running());

    const QString range = QString::fromLatin1(TUNE_RANGE_MESSAGE.data());
    const struct {
        const char* frequency;
        int modulation;
        QString message; // empty: the frame goes out
    } cases[] = {
        {"146.52", 1, {}},
        {"4294.967295", 0, {}},
        {"0", 2, {}},
        // Refused, and not replaced by the last good frequency.
        {"12x", 0, QStringLiteral("Please enter a number.")},
        {"9999", 0, range},        // would reach the radio as 1409.065 MHz
        {"-5", 0, range},          // as 4289.967 MHz
        {"4294.967296", 0, range}, // as 0 MHz
    };
    for (const auto& c : cases) {
        prompts.warnings.clear();
        const size_t before = radio.Received().size();
        SetText(*panel, 1034, QString::fromLatin1(c.frequency));
        qobject_cast<QComboBox*>(panel->Control(1050))->setCurrentIndex(c.modulation);
        Click(*panel, 1035);
        if (c.message.isEmpty()) {
            EXPECT_TRUE(prompts.warnings.isEmpty()) << c.frequency;
            EXPECT_TRUE(radio.WaitFor(PtyRadio::Of(TuneFrame(*TuneHzOfMHz(std::stod(c.frequency)), c.modulation)), 1000))
                << c.frequency;
        } else {
            EXPECT_EQ(prompts.warnings, QStringList{c.message}) << c.frequency;
            QTest::qWait(50);
            const auto received = radio.Received();
            const PtyRadio::Bytes after(received.begin() + static_cast<long>(before), received.end());
            EXPECT_EQ(PtyRadio::Count(after, {0x02, 0x54}), 0u) << c.frequency << ": a tune frame went out";
        }
    }
    Click(*panel, 1033);
}

TEST_F(PanelTest, DataExchangeStopsAtTheFirstBadControl)
{
    auto panel = MakePanel();
    panel->show();
    // As while the link runs, so that every box is looked at.
    panel->Control(1034)->setEnabled(true);
    struct Case {
        const char* port;
        const char* frequency;
        bool polls;
        const char* message; // empty: the exchange succeeds
        int portAfter;
        double frequencyAfter;
        int pollsAfter;
    };
    const Case cases[] = {
        {"7", "146.52", false, "", 7, 146.52, 0},
        {"1", "100", false, "", 1, 100.0, 0},
        {"256", "100", false, "", 256, 100.0, 0},
        {"", "100", false, "Please enter an integer.", 1, 25.0, 1},
        // A refused value never reaches its field.
        {"257", "100", false, "Please enter an integer between 1 and 256.", 1, 25.0, 1},
        {"0", "100", false, "Please enter an integer between 1 and 256.", 1, 25.0, 1},
        {"99999999999", "100", false, "Please enter an integer.", 1, 25.0, 1},
        {"8", "abc", false, "Please enter a number.", 8, 25.0, 1},
        {"8", "inf", false, "Please enter a number.", 8, 25.0, 1},
        {"8", "9999", false, TUNE_RANGE_MESSAGE.data(), 8, 25.0, 1},
        {"8", " 1e3 ", false, "", 8, 1000.0, 0},
    };
    for (const Case& c : cases) {
        panel->SetSettings(PanelSettings{});
        panel->Link().SetLcdPolls(1);
        prompts.warnings.clear();
        SetText(*panel, 1032, QString::fromLatin1(c.port));
        SetText(*panel, 1034, QString::fromLatin1(c.frequency));
        qobject_cast<QCheckBox*>(panel->Control(1054))->setChecked(c.polls);
        const bool ok = panel->UpdateData(true);
        EXPECT_EQ(ok, c.message[0] == '\0') << c.port << " " << c.frequency;
        EXPECT_EQ(prompts.warnings.join(""), QString::fromLatin1(c.message)) << c.port;
        EXPECT_EQ(panel->Settings().comPort, c.portAfter) << c.port;
        EXPECT_DOUBLE_EQ(panel->Settings().tuneFrequencyMHz, c.frequencyAfter) << c.frequency;
        EXPECT_EQ(panel->Link().LcdPolls(), c.pollsAfter) << c.port;
    }
    // The check box behind a bad frequency keeps its old value when clicked.
    panel->Link().SetLcdPolls(1);
    panel->SetSettings(PanelSettings{});
    SetText(*panel, 1032, QStringLiteral("1"));
    SetText(*panel, 1034, QStringLiteral("x"));
    qobject_cast<QCheckBox*>(panel->Control(1054))->setChecked(true);
    Click(*panel, 1054);
    EXPECT_EQ(panel->Link().LcdPolls(), 1);
    // A disabled box is passed over: what it holds refuses nothing.
    prompts.warnings.clear();
    panel->Control(1034)->setEnabled(false);
    Click(*panel, 1054);
    EXPECT_TRUE(prompts.warnings.isEmpty());
    EXPECT_EQ(panel->Link().LcdPolls(), 1);
    EXPECT_DOUBLE_EQ(panel->Settings().tuneFrequencyMHz, 25.0);
}

TEST_F(PanelTest, EscapeAndCloseLeaveThePanelOpenExitEndsIt)
{
    auto panel = MakePanel();
    panel->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(panel.get()));
    QTest::keyClick(panel.get(), Qt::Key_Escape);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_FALSE(panel->close());
    EXPECT_TRUE(panel->isVisible());
    Click(*panel, 1);
    EXPECT_FALSE(panel->isVisible());
    EXPECT_EQ(panel->result(), QDialog::Accepted);
    EXPECT_TRUE(prompts.warnings.isEmpty());
    EXPECT_TRUE(QFile::exists(panel->SettingsPath()));
}

// Counts the refresh events a panel gets and the dialog's own paint passes
// (those of its child controls are not counted).
struct RefreshCounter : QObject {
    int refreshes = 0;
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        refreshes += event->type() == QEvent::Type(WM_PANEL_REFRESH);
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

TEST_F(PanelTest, RefreshEventsDoNotPileUp)
{
    auto panel = MakePanel();
    RefreshCounter counter;
    panel->installEventFilter(&counter);
    std::thread worker([&] {
        for (int i = 0; i < 1000; ++i) {
            panel->Link().NotifyRefresh();
        }
    });
    worker.join();
    QCoreApplication::sendPostedEvents(panel.get());
    EXPECT_EQ(counter.refreshes, 1);
    // Once handled, the next notification posts again.
    panel->Link().NotifyRefresh();
    QCoreApplication::sendPostedEvents(panel.get());
    EXPECT_EQ(counter.refreshes, 2);
    panel->removeEventFilter(&counter);
}

// A sequence of poll replies such as a radio gives: mostly the same again,
// now and then a changed row, icon, backlight, status field or lamp.
class ReplySequence {
public:
    explicit ReplySequence(uint32_t seed) : random(seed)
    {
        const char* rows = "SCAN    Bank 1 2"
                           "Police Dispatch "
                           " 162.5500   NFM "
                           "\x01 Ch 012 Hold   ";
        lcd[0] = STX;
        lcd[1] = CMD_LCD;
        std::memcpy(lcd + 2, rows, 64);
        lcd[66] = 0x0D;
        lcd[67] = 0x42;
        const uint8_t block[16] = {1, 0x01, 0xDF, 0x02, 0x2C, 0x01, 0x0A, 0x00,
                                   0x00, 0xC8, 0x04, 0xF0, 0x50, 0xB0, 0x09, 0x02};
        status[0] = STX;
        status[1] = CMD_STATUS;
        std::memcpy(status + 2, block, 16);
    }

    // The next reply: an LCD reply about one time in four, which changes more
    // often than the status does.
    const uint8_t* Next(bool& isLcd)
    {
        isLcd = Below(4) == 0;
        if (Below(100) < (isLcd ? 40 : 10)) {
            isLcd ? ChangeLcd() : ChangeStatus();
        }
        return isLcd ? lcd : status;
    }

private:
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(random() % n); }

    void ChangeLcd()
    {
        switch (Below(5)) {
        case 0:
        default: lcd[2 + Below(64)] = static_cast<uint8_t>(Below(8) == 0 ? 0 : 0x21 + Below(0x5E)); break;
        case 1: lcd[66] = static_cast<uint8_t>((lcd[66] & ~0x07) | Below(8)); break;
        case 2: lcd[67] ^= 0x40; break; // the backlight
        case 3: lcd[67] ^= static_cast<uint8_t>(1u << Below(6)); break;
        }
    }

    void ChangeStatus()
    {
        switch (Below(4)) {
        case 0: status[6] = static_cast<uint8_t>(Below(256)); break;                        // RSSI
        case 1: status[10 + Below(3)] = static_cast<uint8_t>(Below(256)); break;            // the lamp
        case 2: status[3] = static_cast<uint8_t>(Below(32)); break;                         // indicators
        default: status[2 + Below(16)] = static_cast<uint8_t>(Below(256)); break;           // anything
        }
    }

    std::mt19937 random;
    uint8_t lcd[LCD_REPLY_LENGTH] = {};
    uint8_t status[STATUS_REPLY_LENGTH] = {};
};

TEST_F(PanelTest, RepaintingOnlyChangesShowsTheSamePixelsAfterEveryReply)
{
    // One panel repaints only what a changed record changes; the other, as
    // before, repaints its LCD and lamp after every reply. Both get the same
    // replies through the link's store path, and what they show (their
    // backing stores, as flushed) must be the same after each.
    auto quiet = MakePanel();
    auto every = MakePanel();
    every->Link().SetRefreshEveryReplyForTest(true);
    RefreshCounter quietCount;
    RefreshCounter everyCount;
    quiet->installEventFilter(&quietCount);
    every->installEventFilter(&everyCount);
    // No control of either may hold the focus (whose frame and blinking
    // cursor follow the window's activation, not the records).
    for (CFrontPanelDlg* panel : {quiet.get(), every.get()}) {
        for (QWidget* control : panel->findChildren<QWidget*>()) {
            control->setFocusPolicy(Qt::NoFocus);
            control->clearFocus();
        }
        panel->show();
    }
    const auto settle = [] {
        for (int i = 0; i < 4; ++i) {
            QCoreApplication::processEvents();
        }
    };
    const auto shown = [](CFrontPanelDlg& panel) {
        return QGuiApplication::primaryScreen()->grabWindow(panel.winId()).toImage();
    };
    settle();

    ReplySequence replies(20261208);
    int changes = 0;
    int stores = 0;
    for (int step = 0; step < 500; ++step) {
        // What the window itself does to the records now and then: STOP, a
        // transfer's banner, and a line that hangs up.
        for (CFrontPanelDlg* panel : {quiet.get(), every.get()}) {
            if (step == 200) {
                panel->Link().ClearValid();
                panel->update();
            } else if (step == 300) {
                panel->Link().WriteBanner("Sending image", "to radio");
                panel->update();
            } else if (step == 400) {
                panel->Link().ClearStatusValid();
                panel->Link().NotifyRefresh();
            }
        }
        settle();
        bool isLcd = false;
        const uint8_t* reply = replies.Next(isLcd);
        const bool changed = isLcd ? quiet->Link().StoreLcdReply(reply) : quiet->Link().StoreStatusReply(reply);
        (void)(isLcd ? every->Link().StoreLcdReply(reply) : every->Link().StoreStatusReply(reply));
        changes += changed ? 1 : 0;
        ++stores;
        settle();
        const QImage a = shown(*quiet);
        ASSERT_FALSE(a.isNull());
        ASSERT_EQ(a, shown(*every)) << "after reply " << step << (isLcd ? " (LCD)" : " (status)");
    }
    // The replies changed something now and then, not every time; the quiet
    // panel was told of the changes alone and painted far less.
    EXPECT_GT(changes, 40);
    EXPECT_LT(changes, stores / 2);
    EXPECT_EQ(quietCount.refreshes, changes + 1);   // and the hang-up
    EXPECT_EQ(everyCount.refreshes, stores + 1);
    EXPECT_LT(quietCount.paints * 2, everyCount.paints);
    quiet->removeEventFilter(&quietCount);
    every->removeEventFilter(&everyCount);
}

TEST_F(PanelTest, EnterInThePortBoxStartsTheLinkAndTunesNothing)
{
    PtyRadio radio(237);
    ASSERT_TRUE(radio.Ok());
    auto panel = MakePanel();
    panel->show();
    panel->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(panel.get()));
    auto* port = qobject_cast<QLineEdit*>(panel->Control(1032));
    port->setFocus();
    port->clear();
    QTest::keyClicks(port, QStringLiteral("237"));
    QTest::keyClick(port, Qt::Key_Return);
    ASSERT_TRUE(panel->Link().Running());
    EXPECT_EQ(Text(*panel, 1033), QStringLiteral("STOP"));
    // TUNE, the default button, became enabled by that start; the same Enter
    // must not reach it.
    EXPECT_TRUE(radio.WaitFor(PtyRadio::Of(statusPollFrame), 1000));
    QTest::qWait(100);
    EXPECT_EQ(PtyRadio::Count(radio.Received(), PtyRadio::Of(TuneFrame(25000000, 2))), 0u);
    Click(*panel, 1033);
    EXPECT_TRUE(prompts.warnings.isEmpty());
}

TEST_F(PanelTest, FileDialogsSayWhatTheyDoAndOpenWhereTheLastImageWas)
{
    const QString images = dir.filePath(QStringLiteral("backups"));
    ASSERT_TRUE(QDir().mkpath(images));
    {
        auto panel = MakePanel();
        prompts.saveAnswer = images + QStringLiteral("/gone/radio.bin");
        panel->OnReceiveImage();
        prompts.openAnswer = images + QStringLiteral("/missing.bin");
        panel->OnSendImage();
        EXPECT_EQ(prompts.fileTitles, (QStringList{QStringLiteral("Save the radio's memory image"),
                                                   QStringLiteral("Send a memory image to the radio")}));
        // A choice that could not be opened is not where the next dialog
        // opens; one that could be, is (as long as that folder exists).
        EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("Ostrelle.ini"))));
        prompts.saveAnswer = images + QStringLiteral("/radio.bin");
        panel->OnReceiveImage();
        EXPECT_EQ(prompts.fileDirectories, (QStringList{QString(), QString(), QString()}));
    }
    // Beside the settings file, which keeps its lines and is not even made.
    EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral("Ostrelle.ini"))));
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("Ostrelle.cfg"))));
    prompts.fileDirectories.clear();
    auto panel = MakePanel();
    prompts.openAnswer.clear();
    prompts.saveAnswer.clear();
    panel->OnSendImage();
    panel->OnReceiveImage();
    EXPECT_EQ(prompts.fileDirectories, (QStringList{images, images}));
    ASSERT_TRUE(QDir(images).removeRecursively());
    panel->OnSendImage();
    EXPECT_EQ(prompts.fileDirectories.last(), QString());
}

TEST_F(PanelTest, TheUserIsToldWhereTheTraceGoesAndWhichPcKeysPressWhat)
{
    auto panel = MakePanel();
    panel->OnTraceTraffic(true);
    ASSERT_EQ(prompts.notes.size(), 1);
    EXPECT_EQ(prompts.noteDetails[0], QFileInfo(dir.filePath(QStringLiteral("Ostrelle.trace"))).absoluteFilePath());
    EXPECT_TRUE(QFileInfo(prompts.noteDetails[0]).isAbsolute());
    EXPECT_TRUE(QFile::exists(prompts.noteDetails[0]));
    panel->OnTraceTraffic(false);

    QMap<int, QStringList> keys;
    keys[1028] = QStringList{QStringLiteral("1"), QStringLiteral("Num 1")};
    keys[1018] = QStringList{QStringLiteral("Enter")};
    panel->SetKeyboardShortcuts(keys);
    EXPECT_EQ(panel->Control(1028)->toolTip(), QStringLiteral("PC keys: 1 or Num 1"));
    EXPECT_EQ(panel->Control(1018)->toolTip(), QStringLiteral("PC key: Enter"));
    EXPECT_EQ(panel->Control(1006)->toolTip(), QStringLiteral("No PC key"));
    panel->OnKeyboardShortcuts();
    ASSERT_EQ(prompts.notes.size(), 2);
    const QString& table = prompts.noteDetails[1];
    EXPECT_TRUE(table.contains(QStringLiteral("<b>1</b></td><td>&nbsp;&nbsp;1 or Num 1"))) << table.toStdString();
    EXPECT_TRUE(table.contains(QStringLiteral("<b>ENT</b></td><td>&nbsp;&nbsp;Enter"))) << table.toStdString();
    EXPECT_FALSE(table.contains(QStringLiteral("SCAN")));
    EXPECT_TRUE(prompts.warnings.isEmpty());
}

// Whatever writes them, the files kept beside the settings are the user's
// alone under any umask, and a link that leads nowhere makes no file; the
// trace is never written through a link at all, and says so.
TEST_F(PanelTest, KeptFilesArePrivateAndNoLinkLeadsThemElsewhere)
{
    const QString elsewhere = dir.filePath(QStringLiteral("elsewhere"));
    ASSERT_TRUE(QDir().mkpath(elsewhere));
    const QStringList names{QStringLiteral("Ostrelle.cfg"), QStringLiteral("Ostrelle.ini"),
                            QStringLiteral("Ostrelle.trace")};
    const auto writeAll = [&](CFrontPanelDlg& panel) {
        panel.Store().RememberImageFolder(dir.filePath(QStringLiteral("radio.bin")));
        panel.OnTraceTraffic(true);
        panel.OnTraceTraffic(false);
        Click(panel, 1);
    };
    // Settings an earlier version left readable to all become private too.
    WriteSettings("7\n146.52\n");
    ASSERT_TRUE(QFile::setPermissions(dir.filePath(names[0]), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                                                  QFile::ReadOther));
    const mode_t oldMask = ::umask(0);
    {
        auto panel = MakePanel();
        writeAll(*panel);
    }
    for (const QString& name : names) {
        EXPECT_EQ(QFile::permissions(dir.filePath(name)), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser |
                                                              QFile::WriteUser)
            << name.toStdString();
    }
    // Each a link to nothing: nothing is made where it points.
    for (const QString& name : names) {
        QFile::remove(dir.filePath(name));
        ASSERT_TRUE(QFile::link(elsewhere + QStringLiteral("/") + name, dir.filePath(name)));
    }
    prompts.warnings.clear();
    {
        auto panel = MakePanel();
        writeAll(*panel);
    }
    ::umask(oldMask);
    EXPECT_TRUE(QDir(elsewhere).isEmpty()) << QDir(elsewhere).entryList().join(' ').toStdString();
    ASSERT_EQ(prompts.warnings.size(), 1);
    EXPECT_TRUE(prompts.warnings[0].contains(QFileInfo(dir.filePath(QStringLiteral("Ostrelle.trace"))).absoluteFilePath() +
                                             QStringLiteral(" is a symbolic link")))
        << prompts.warnings[0].toStdString();
}

// ---- The settings file ------------------------------------------------------

TEST_F(PanelTest, SettingsAreReadBackFromTheFirstThreeLines)
{
    struct Case {
        QByteArray file;
        int port;
        double frequency;
        bool moved;
        QPoint at;
    };
    const Case cases[] = {
        {"7\n146.52\n200,150\n1,1\n", 7, 146.52, true, {200, 150}},
        {"7\r\n146.52\r\n200,150\r\n", 7, 146.52, true, {200, 150}},
        {"7\n146.52\n200 150\n", 7, 146.52, false, {}},
        {"7\n146.52\nleft,top\n", 7, 146.52, false, {}},
        {"7\n146.52\n-5000, 20\n", 7, 146.52, true, {-5000, 20}},
        {"300\n", 300, 0.0, false, {}},
        {"", 0, 0.0, false, {}},
        {"x\n  12.5MHz\n", 0, 12.5, false, {}},
        // A frequency no box could hold counts as absent: the default stands.
        {"99999999999999\n1e999999\n", 2147483647, 25.0, false, {}},
        {"5\nnan\n", 5, 25.0, false, {}},
        {"5\n-inf\n", 5, 25.0, false, {}},
        {"5\n9999\n", 5, 9999.0, false, {}},
    };
    for (const Case& c : cases) {
        WriteSettings(c.file);
        prompts.warnings.clear();
        CFrontPanelDlg panel(&prompts, dir.path());
        const QPoint before = panel.pos();
        panel.OnInitDialog();
        EXPECT_EQ(panel.Settings().comPort, c.port) << c.file.toStdString();
        EXPECT_EQ(panel.Settings().tuneFrequencyMHz, c.frequency) << c.file.toStdString();
        EXPECT_EQ(panel.pos(), c.moved ? c.at : before) << c.file.toStdString();
        EXPECT_EQ(Text(panel, 1032), QString::number(c.port));
        EXPECT_EQ(Text(panel, 1034), QString::number(c.frequency, 'g', 15));
        EXPECT_TRUE(prompts.warnings.isEmpty());
    }
}

TEST_F(PanelTest, ExitWritesAllSixLines)
{
    struct Case {
        const char* frequency;
        const char* line2;
    };
    const Case cases[] = {
        {"25", "  25.000000"},
        {"146.52", " 146.520000"},
        {"1300", "1300.000000"},
        {"0.5", "   0.500000"},
    };
    for (const Case& c : cases) {
        QFile::remove(dir.filePath(QStringLiteral("Ostrelle.cfg")));
        auto panel = MakePanel();
        panel->show();
        panel->move(200, 150);
        SetText(*panel, 1032, QStringLiteral("7"));
        SetText(*panel, 1034, QString::fromLatin1(c.frequency));
        Click(*panel, 1);
        const QList<QByteArray> lines = ReadSettings().split('\n');
        ASSERT_EQ(lines.size(), 7) << c.frequency; // six lines and the empty rest
        EXPECT_EQ(lines[0], "7");
        EXPECT_EQ(lines[1], c.line2);
        const QRect frame = panel->frameGeometry();
        EXPECT_EQ(lines[2], QString::asprintf("%d,%d", frame.left(), frame.top()).toLatin1());
        EXPECT_EQ(lines[3], QString::asprintf("%d,%d", frame.width(), frame.height()).toLatin1());
        const QRect lcd = panel->LcdRect();
        const QPoint global = panel->mapToGlobal(lcd.topLeft());
        EXPECT_EQ(lines[4], QString::asprintf("%d, %d", global.x() - 3, global.y()).toLatin1());
        EXPECT_EQ(lines[5], QString::asprintf("%d, %d", lcd.width() + 54, lcd.height()).toLatin1());
        EXPECT_EQ(lines[6], "");
    }
}

TEST_F(PanelTest, HostileSettingsFilesAreReadSafely)
{
    QByteArray huge(1 << 20, '9');
    huge += "\n88.5\n10,20\n";
    QByteArray nul("4\0\0" "2\n\0" "101.1\n3\0,4\n", 18);
    QByteArray binary;
    for (int i = 0; i < 4096; ++i) {
        binary += static_cast<char>(i * 37);
    }
    struct Case {
        QByteArray file;
        int port;
        double frequency;
    };
    const Case cases[] = {
        {huge, 2147483647, 88.5},
        {nul, 4, 0.0},
        {binary, 0, 0.0},
    };
    for (const Case& c : cases) {
        WriteSettings(c.file);
        CFrontPanelDlg panel(&prompts, dir.path());
        panel.OnInitDialog();
        EXPECT_EQ(panel.Settings().comPort, c.port);
        EXPECT_EQ(panel.Settings().tuneFrequencyMHz, c.frequency);
    }
}

// Every caption of the templates fits its control in the dialog's font, at
// whatever QT_SCALE_FACTOR the binary runs under (CTest runs this at 1, 1.5
// and 2), and each label stands on the line of the box it names.
TEST_F(PanelTest, CaptionsFitTheirControlsAndLabelsLineUpWithTheirBoxes)
{
    auto panel = MakePanel();
    CAboutDlg about(dir.path() + QStringLiteral("/a/rather/long/folder/where/the/settings/are/kept"));
    int checked = 0;
    for (QWidget* dialog : {static_cast<QWidget*>(panel.get()), static_cast<QWidget*>(&about)}) {
        for (QWidget* widget : dialog->findChildren<QWidget*>()) {
            // The room a caption has: a label's inside, a button's or check
            // box's contents, a group box's title.
            QString text;
            QRect room;
            if (auto* label = qobject_cast<QLabel*>(widget)) {
                text = label->text();
                room = label->contentsRect();
            } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
                QStyleOptionButton option;
                option.initFrom(button);
                option.text = text = button->text();
                const bool check = qobject_cast<QCheckBox*>(button) != nullptr;
                room = button->style()->subElementRect(
                    check ? QStyle::SE_CheckBoxContents : QStyle::SE_PushButtonContents, &option, button);
            } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
                QStyleOptionGroupBox option;
                option.initFrom(group);
                option.text = text = group->title();
                option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
                option.textAlignment = group->alignment();
                room = group->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, group);
                room = room.intersected(group->rect());
            }
            if (!text.isEmpty()) {
                ++checked;
                EXPECT_LE(widget->fontMetrics().horizontalAdvance(text), room.width()) << text.toStdString();
                EXPECT_LE(widget->fontMetrics().height(), widget->height()) << text.toStdString();
            }
        }
    }
    EXPECT_GE(checked, 34 + 13 + 20);

    const std::pair<const char*, int> pairs[] = {
        {"COM Port", 1032}, {"Mode", 1045}, {"Battery", 1036}, {"RSSI", 1042}, {"Centermeter", 1043}};
    for (const auto& [caption, id] : pairs) {
        const QRect box = panel->Control(id)->geometry();
        int found = 0;
        for (const QLabel* label : panel->findChildren<QLabel*>()) {
            if (label->text() == QLatin1String(caption) && label != panel->Control(id)) {
                ++found;
                EXPECT_EQ(label->geometry().center().y(), box.center().y()) << caption;
                EXPECT_LT(label->geometry().right(), box.left()) << caption;
            }
        }
        EXPECT_EQ(found, 1) << caption;
    }
    // The windows keep the size of their templates.
    EXPECT_EQ(panel->size(), QSize(dlu::X(416), dlu::Y(306)));
    EXPECT_EQ(about.size(), QSize(dlu::X(235), dlu::Y(55)));
}

// A message box breaks its lines between words, and might between "/dev/"
// and "ttyUSB0"; a path stays whole on its line at any width.
TEST_F(PanelTest, MessagesKeepPathsOnOneLine)
{
    const QString text = KeepPathsWhole(
        QStringLiteral("Name the device by its full path, say /dev/ttyUSB0, or tcp://HOST:PORT."));
    const QFont font = dlu::TemplateFont();
    for (int width = 30; width <= 400; width += 3) {
        QTextLayout layout(text, font);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            const QString shown = text.mid(line.textStart(), line.textLength()).trimmed();
            EXPECT_FALSE(shown.endsWith(QLatin1Char('/')) || shown.endsWith(QChar(0x2060))) << width << ": " << shown.toStdString();
        }
        layout.endLayout();
    }
    EXPECT_EQ(QString(text).remove(QChar(0x2060)),
              QStringLiteral("Name the device by its full path, say /dev/ttyUSB0, or tcp://HOST:PORT."));
}

TEST(SettingsFile, LinesAndNumbersAreBounded)
{
    QByteArray data(settingsfile::MAX_LINE + 10, 'a');
    data += "\nnext\n";
    QBuffer buffer(&data);
    ASSERT_TRUE(buffer.open(QIODevice::ReadOnly));
    EXPECT_EQ(settingsfile::ReadLine(buffer).size(), settingsfile::MAX_LINE);
    EXPECT_EQ(settingsfile::ReadLine(buffer), "next");
    EXPECT_EQ(settingsfile::ReadLine(buffer), "");

    EXPECT_EQ(settingsfile::LeadingInt("  -12abc"), -12);
    EXPECT_EQ(settingsfile::LeadingInt("-99999999999"), INT_MIN);
    EXPECT_EQ(settingsfile::LeadingInt("+"), 0);
    int a = 0;
    int b = 0;
    EXPECT_TRUE(settingsfile::ParsePair(" 3, -4", a, b));
    EXPECT_EQ(a, 3);
    EXPECT_EQ(b, -4);
    EXPECT_FALSE(settingsfile::ParsePair("3 ,4", a, b));
    EXPECT_FALSE(settingsfile::ParsePair("3,", a, b));

    // The same bound where the command line reads the file.
    QTemporaryDir folder;
    QFile file(folder.filePath(QStringLiteral("Ostrelle.cfg")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(settingsfile::MAX_LINE + 1, '7') + "\r\nnext");
    file.close();
    const std::vector<std::string> lines = settingstext::ReadLeadingLines(file.fileName().toStdString(), 3);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::string(settingsfile::MAX_LINE, '7'));
    EXPECT_EQ(lines[1], "next");
}

TEST(VersionBlock, TheSignatureIsSoughtOnlyWithinTheBlock)
{
    QByteArray block(8, '\0');
    block += QByteArray::fromHex("bd04effe00000100090001000000");
    EXPECT_TRUE(ReadFileVersion(block).found);
    EXPECT_EQ(ReadFileVersion(block).major, 1);
    EXPECT_EQ(ReadFileVersion(block).minor, 9);
    // Cut right after the signature: no word to read, no read past the end.
    EXPECT_FALSE(ReadFileVersion(block.left(12)).found);
    EXPECT_FALSE(ReadFileVersion(QByteArray()).found);
    // Off the 4-byte grid the signature is not seen.
    EXPECT_FALSE(ReadFileVersion(QByteArray(2, '\0') + block).found);
}


// A stored control port no server can have is as good as none.
TEST_F(PanelTest, AStoredControlPortOutOfRangeLeavesTheDefault)
{
    const std::pair<const char*, int> cases[] = {{"0", 4532}, {"65535", 65535}, {"65536", 4532}, {"x", 4532}};
    for (const auto& [stored, port] : cases) {
        QFile store(dir.filePath(QStringLiteral("Ostrelle.ini")));
        ASSERT_TRUE(store.open(QIODevice::WriteOnly | QIODevice::Truncate));
        store.write(QByteArray("[NetworkControl]\nPort=") + stored + "\n");
        store.close();
        EXPECT_EQ(MakePanel()->NetworkControl().port, port) << stored;
    }
}

// Network control: off at first; switched on in its dialog it serves the
// panel's records and is kept in Ostrelle.ini; the next start puts it back,
// and one that cannot listen says why, keeps the choice, and its dialog
// stays open with the reason.
TEST_F(PanelTest, NetworkControlServesIsKeptAndSaysWhyItCannot)
{
    PtyRadio radio(242);
    ASSERT_TRUE(radio.Ok());
    auto panel = MakePanel();
    panel->show();
    EXPECT_FALSE(panel->ControlServer().Running());
    const auto port = static_cast<uint16_t>(FreeLoopbackPort());
    ASSERT_NE(port, 0);
    {
        NetworkControlDialog dialog(panel->NetworkControl(), panel->ControlServer(),
                                    [&](const NetworkControlChoice& c) { return panel->ApplyNetworkControl(c); });
        EXPECT_FALSE(dialog.PortBox()->isEnabled());
        EXPECT_EQ(dialog.PortBox()->value(), 4532);
        dialog.OnBox()->setChecked(true);
        EXPECT_EQ(dialog.StatusLabel()->text(), QStringLiteral("Off: starts listening when you press OK."));
        dialog.AllInterfacesButton()->setChecked(true);
        EXPECT_TRUE(dialog.WarningLabel()->isVisibleTo(&dialog));
        dialog.LocalButton()->setChecked(true);
        EXPECT_FALSE(dialog.WarningLabel()->isVisibleTo(&dialog));
        dialog.PortBox()->setValue(port);
        dialog.accept();
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
    }
    ASSERT_TRUE(panel->ControlServer().Running());
    EXPECT_EQ(panel->ControlServer().Endpoint(), "127.0.0.1:" + std::to_string(port));
    EXPECT_TRUE(panel->NetworkControlSign()->isVisible());
    EXPECT_EQ(panel->NetworkControlSign()->text(), QStringLiteral("Network control on\n127.0.0.1:%1").arg(port));
    TestClient client(port);
    EXPECT_EQ(client.Ask("f\n"), "RPRT -5\n") << "no link yet";
    SetText(*panel, 1032, QStringLiteral("242"));
    Click(*panel, 1033);
    ASSERT_TRUE(WaitUntil([&] { return panel->Link().Snapshot().status.statusValid; }));
    EXPECT_EQ(client.Ask("f\n"), std::to_string(panel->Link().Snapshot().status.frequencyHz()) + "\n");
    EXPECT_TRUE(NetworkControlStatus(panel->ControlServer()).startsWith(QStringLiteral("Listening on 127.0.0.1:")))
        << NetworkControlStatus(panel->ControlServer()).toStdString();

    // A second panel with the same settings finds the port taken.
    auto second = MakePanel();
    second->show();
    EXPECT_TRUE(WaitUntil([&] { return !prompts.warnings.isEmpty(); }));
    ASSERT_EQ(prompts.warnings.size(), 1);
    EXPECT_EQ(prompts.warnings[0], QStringLiteral("Network control could not start."));
    EXPECT_TRUE(prompts.informatives[0].contains(QStringLiteral("Another program already listens")));
    EXPECT_TRUE(second->NetworkControl().on) << "kept, to be tried again";
    EXPECT_FALSE(second->ControlServer().Running());
    EXPECT_FALSE(second->NetworkControlSign()->isVisible());
    // Its dialog says why from the start, and OK finds the port taken again;
    // neither points other programs at the port another holds.
    NetworkControlDialog dialog(second->NetworkControl(), second->ControlServer(),
                                [&](const NetworkControlChoice& c) { return second->ApplyNetworkControl(c); },
                                nullptr, second->NetworkControlFailure());
    dialog.show();
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_TRUE(dialog.StatusLabel()->text().startsWith(QStringLiteral("Another program already listens")));
        EXPECT_EQ(dialog.HowToLabel()->text(), QString());
        dialog.accept();
        EXPECT_TRUE(dialog.isVisible());
    }
    dialog.PortBox()->setValue(port + 1);
    EXPECT_TRUE(dialog.HowToLabel()->text().contains(QStringLiteral("127.0.0.1:%1").arg(port + 1)));
    dialog.PortBox()->setValue(port);
    dialog.OnBox()->setChecked(false);
    dialog.accept();
    EXPECT_FALSE(dialog.isVisible());
    second.reset();

    // Switched off by the second panel, and the first gone: the next start
    // stays off.
    panel->OnOK();
    panel.reset();
    auto third = MakePanel();
    EXPECT_FALSE(third->NetworkControl().on);
    EXPECT_FALSE(third->ControlServer().Running());
}

} // namespace
