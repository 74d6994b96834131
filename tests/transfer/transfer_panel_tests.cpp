// The transfer commands as the user meets them: buttons, file prompts,
// messages and the timer, against the fake radio behind ports/COM<n>.

#include "fakeradio.h"
#include "testsupport.h"

#include "serial/keptfiles.h"
#include "transfer/radiomemory.h"
#include "panel/transferprogressdlg.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

// Apart from the numbers other test programs use, since all share ports/.
constexpr int COM_NUMBER = 143;

class TransferPanelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestApplication();
        ASSERT_TRUE(dir.isValid());
        prompts.confirmAnswer = true; // every send here is meant
    }

    void TearDown() override
    {
        panel.reset();
        std::error_code ignored;
        std::filesystem::remove(portLink, ignored);
    }

    // A running panel on a fake radio, as after a click on START.
    void StartPanel(FakeRadio::Options options)
    {
        radio = std::make_unique<FakeRadio>(std::move(options));
        std::error_code ec;
        std::filesystem::create_directories(portLink.parent_path(), ec);
        std::filesystem::remove(portLink, ec);
        std::filesystem::create_symlink(radio->SlavePath(), portLink, ec);
        ASSERT_FALSE(ec) << ec.message();
        panel = std::make_unique<CFrontPanelDlg>(&prompts, dir.path());
        panel->OnInitDialog();
        panel->show();
        qobject_cast<QLineEdit*>(panel->Control(1032))->setText(QString::number(COM_NUMBER));
        Click(1033);
        ASSERT_TRUE(panel->Link().Running()) << prompts.informatives.join('|').toStdString();
        panel->Transfer().SetProgressStream(nullptr);
    }

    void Click(int id) { qobject_cast<QPushButton*>(panel->Control(id))->click(); }

    bool TransferButtonsEnabled() const
    {
        return panel->Control(1000)->isEnabled() && panel->Control(1001)->isEnabled();
    }

    QString WriteImage(const char* name, size_t size)
    {
        QString path = dir.filePath(QString::fromLatin1(name));
        std::ofstream out(path.toStdString(), std::ios::binary);
        for (size_t i = 0; i < size; ++i) {
            out.put(static_cast<char>(i * 7));
        }
        return path;
    }

    QTemporaryDir dir;
    RecordingPrompts prompts;
    std::filesystem::path portLink =
        std::filesystem::path(KeptFilesDirectory()) / "ports" / ("COM" + std::to_string(COM_NUMBER));
    std::unique_ptr<FakeRadio> radio;
    std::unique_ptr<CFrontPanelDlg> panel;
};

TEST_F(TransferPanelTest, ASendHoldsTheButtonsUntilPollingIsBack)
{
    StartPanel({});
    prompts.openAnswer = WriteImage("two.bin", 264);
    Click(1000);
    EXPECT_EQ(prompts.filters, QStringList{QStringLiteral("BINARY Files (*.bin)")});
    EXPECT_NE(panel->TransferTimerId(), 0);
    EXPECT_FALSE(panel->Control(1000)->isEnabled());
    EXPECT_FALSE(panel->Control(1001)->isEnabled());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(panel->Link().Snapshot().lcd.rows[0])), "Sending from PC ");

    ASSERT_TRUE(WaitUntil([&] { return panel->TransferTimerId() == 0; }, 3000));
    EXPECT_TRUE(TransferButtonsEnabled());
    EXPECT_FALSE(panel->Transfer().Active());
    EXPECT_TRUE(panel->Link().HasWorker());
    EXPECT_TRUE(WaitUntil([&] { return radio->PollsSeen() > 0; }, 1000));
    EXPECT_TRUE(prompts.warnings.isEmpty()) << prompts.warnings.join('|').toStdString();
    EXPECT_GE(radio->ImageReceived().size(), 264u);
}

TEST_F(TransferPanelTest, RefusedAndCancelledChoicesLeaveThePollingAlone)
{
    StartPanel({});
    struct Case {
        bool receive;
        QString answer;
        QString warning; // empty: nothing is said
    };
    const QString missing = dir.filePath(QStringLiteral("missing.bin"));
    const QString nowhere = dir.filePath(QStringLiteral("no dir/out.bin"));
    const Case cases[] = {
        {false, {}, {}},
        {true, {}, {}},
        {false, WriteImage("odd.bin", 133),
         QStringLiteral("Invalid input file size: 133\nA memory image is made of whole records of 132 bytes, which "
                        "133 bytes are not: choose an image received from the radio.")},
        {false, missing,
         QStringLiteral("Unable to open file:\n") + missing + QStringLiteral("\nfor reading\nThere is no such file.")},
        {true, nowhere,
         QStringLiteral("Unable to open file:\n") + nowhere + QStringLiteral("\nfor writing\nThe folder ") +
             dir.filePath(QStringLiteral("no dir")) + QStringLiteral(" does not exist.")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer.toStdString());
        prompts.warnings.clear();
        prompts.openAnswer = prompts.saveAnswer = c.answer;
        Click(c.receive ? 1001 : 1000);
        EXPECT_EQ(prompts.warnings, c.warning.isEmpty() ? QStringList{} : QStringList{c.warning});
        EXPECT_EQ(panel->TransferTimerId(), 0);
        EXPECT_TRUE(TransferButtonsEnabled());
        EXPECT_FALSE(panel->Link().WorkerEnded());
    }
}

TEST_F(TransferPanelTest, StopDuringAReceiveEndsItAndSaysSo)
{
    FakeRadio::Options silent;
    silent.noReply = true;
    StartPanel(silent);
    prompts.saveAnswer = dir.filePath(QStringLiteral("in.bin"));
    Click(1001);
    ASSERT_NE(panel->TransferTimerId(), 0);
    QTest::qWait(600);

    QElapsedTimer stopping;
    stopping.start();
    Click(1033);
    EXPECT_LT(stopping.elapsed(), 300);
    EXPECT_FALSE(panel->Link().Running());

    // The worker's end, as it is told, takes the transfer down, not the
    // timer's next tick: once, and without polling.
    QCoreApplication::sendPostedEvents();
    ASSERT_EQ(panel->TransferTimerId(), 0);
    EXPECT_FALSE(panel->Transfer().Active());
    EXPECT_FALSE(panel->Link().HasWorker());
    ASSERT_EQ(prompts.warnings.size(), 1);
    EXPECT_TRUE(prompts.warnings[0].startsWith(QStringLiteral("Receiving was stopped: the radio sent nothing.\n")))
        << prompts.warnings[0].toStdString();
    EXPECT_FALSE(TransferButtonsEnabled());
    for (const int tune : {1035, 1034, 1050}) {
        EXPECT_FALSE(panel->Control(tune)->isEnabled()) << tune << " follows the stopped link";
    }
    QTest::qWait(250);
    EXPECT_EQ(prompts.warnings.size(), 1);
}

// A send replaces all the radio holds: it is asked once, naming the file and
// its records, and No sends nothing at all, leaving polling as it was.
TEST_F(TransferPanelTest, ASendAsksOnceAndNoSendsNothing)
{
    StartPanel({});
    const QString image = WriteImage("three.bin", 3 * 132);
    prompts.openAnswer = image;
    prompts.confirmAnswer = false;
    Click(1000);
    ASSERT_EQ(prompts.questions.size(), 1);
    EXPECT_EQ(prompts.questions[0], QStringLiteral("Send the 3 records of\n") + image +
                                        QStringLiteral("\nto the radio?\nThey replace everything the radio's memory "
                                                       "holds now.\nSending takes about 1 second."));
    EXPECT_FALSE(panel->Transfer().Active());
    EXPECT_EQ(panel->TransferTimerId(), 0);
    EXPECT_TRUE(TransferButtonsEnabled());
    const int polls = radio->PollsSeen();
    EXPECT_TRUE(WaitUntil([&] { return radio->PollsSeen() > polls + 2; }, 1000)) << "polling goes on";
    const auto heard = radio->Heard();
    const std::vector<uint8_t> start(imageSendStartFrame.begin(), imageSendStartFrame.end());
    EXPECT_EQ(std::search(heard.begin(), heard.end(), start.begin(), start.end()), heard.end());
    EXPECT_TRUE(radio->ImageReceived().empty());
    EXPECT_TRUE(prompts.warnings.isEmpty());

    // Yes sends it, asked once again.
    prompts.confirmAnswer = true;
    Click(1000);
    EXPECT_EQ(prompts.questions.size(), 2);
    ASSERT_TRUE(WaitUntil([&] { return panel->TransferTimerId() == 0; }, 3000));
    EXPECT_GE(radio->ImageReceived().size(), 3u * 132);
}

// Exit in the middle of a transfer says what was cut short, as Cancel does,
// and still ends the program.
TEST_F(TransferPanelTest, ExitDuringATransferSaysWhatWasCutShort)
{
    struct Case {
        bool receive;
        QString says;
    };
    const Case cases[] = {
        {false, QStringLiteral("Sending was cancelled: 0 of 2 records went to the radio.")},
        {true, QStringLiteral("Receiving was cancelled: the radio sent nothing.\n")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.receive ? "receive" : "send");
        FakeRadio::Options silent;
        silent.neverReady = true;
        silent.noReply = true;
        StartPanel(silent);
        prompts.warnings.clear();
        prompts.openAnswer = WriteImage("two.bin", 264);
        prompts.saveAnswer = dir.filePath(QStringLiteral("in.bin"));
        Click(c.receive ? 1001 : 1000);
        ASSERT_TRUE(panel->Transfer().Active());
        QTest::qWait(400);
        Click(1); // Exit
        EXPECT_EQ(panel->result(), QDialog::Accepted);
        EXPECT_FALSE(panel->Transfer().Active());
        EXPECT_FALSE(panel->Link().HasWorker()) << "no polling brought back for a moment";
        ASSERT_EQ(prompts.warnings.size(), 1);
        EXPECT_TRUE(prompts.warnings[0].startsWith(c.says)) << prompts.warnings[0].toStdString();
        TearDown();
    }
}

// A receive of fewer records than the file it is to replace asks first,
// naming both counts, and No leaves the file; the count of an image that
// took its place is remembered, and named when a larger file is to be sent.
TEST_F(TransferPanelTest, FewerRecordsAskBeforeReplacingAndTheCountIsNamedWhenMoreAreSent)
{
    const QString backup = WriteImage("backup.bin", 10 * 132);
    const std::string store = dir.filePath(QStringLiteral("Ostrelle.ini")).toStdString();
    for (const bool yes : {false, true}) {
        SCOPED_TRACE(yes);
        FakeRadio::Options five;
        five.image.assign(5 * 132, 0x5A);
        StartPanel(five);
        prompts.saveAnswer = backup;
        prompts.confirmAnswer = yes;
        prompts.questions.clear();
        prompts.warnings.clear();
        Click(1001);
        ASSERT_TRUE(WaitUntil([&] { return panel->TransferTimerId() == 0; }, 4000));
        ASSERT_EQ(prompts.questions.size(), 1);
        EXPECT_EQ(prompts.questions[0], QStringLiteral("The radio sent 5 records, fewer than the 10 that\n") + backup +
                                            QStringLiteral("\nholds now.\nReplace that file with the 5 records "
                                                           "received?"));
        EXPECT_EQ(QFileInfo(backup).size(), (yes ? 5 : 10) * 132);
        EXPECT_EQ(RememberedRadioRecords(store), yes ? 5 : 0);
        if (yes) {
            EXPECT_TRUE(prompts.warnings.isEmpty()) << prompts.warnings.join('|').toStdString();
            EXPECT_TRUE(panel->ProgressWindow().isVisible());
        } else {
            ASSERT_EQ(prompts.warnings.size(), 1);
            EXPECT_TRUE(prompts.warnings[0].endsWith(QStringLiteral("kept in:\n") + backup +
                                                     QStringLiteral(".partial")))
                << prompts.warnings[0].toStdString();
            EXPECT_EQ(QFileInfo(backup + QStringLiteral(".partial")).size(), 5 * 132);
        }
    }
    prompts.openAnswer = WriteImage("six.bin", 6 * 132);
    prompts.confirmAnswer = false;
    Click(1000);
    ASSERT_EQ(prompts.questions.size(), 2);
    EXPECT_TRUE(prompts.questions[1].contains(
        QStringLiteral("\nThe radio's image had only 5 records when it was last received.\n")))
        << prompts.questions[1].toStdString();
}

// Esc on the panel itself, where the focus may stay when the progress
// window opens, cancels the transfer; without one it does nothing.
TEST_F(TransferPanelTest, EscOnThePanelCancelsARunningTransfer)
{
    FakeRadio::Options silent;
    silent.neverReady = true;
    silent.noReply = true;
    StartPanel(silent);
    prompts.openAnswer = WriteImage("two.bin", 264);
    Click(1000);
    ASSERT_TRUE(panel->Transfer().Active());
    QTest::keyClick(panel.get(), Qt::Key_Escape);
    EXPECT_FALSE(panel->Transfer().Active());
    EXPECT_EQ(prompts.warnings, QStringList{QStringLiteral("Sending was cancelled: 0 of 2 records went to the radio.")});
    QTest::keyClick(panel.get(), Qt::Key_Escape);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_TRUE(panel->Link().Running());
    EXPECT_EQ(prompts.warnings.size(), 1);
}

} // namespace
