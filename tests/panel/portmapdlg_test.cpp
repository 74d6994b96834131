#include "fakeporttree.h"
#include "serial/keptfiles.h"
#include "portholder.h"
#include "panel/portmapdlg.h"
#include "ptypair.h"
#include "testsupport.h"

#include <QComboBox>
#include <QHelpEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>

#include <gtest/gtest.h>

#include <memory>

namespace {

namespace fs = std::filesystem;

class PortMapDialogTest : public ::testing::Test, public FakePortTree {
protected:
    PortMapDialogTest() : FakePortTree("portmapdlg") { TestApplication(); }

    static QString Cell(const PortMapDialog& dialog, int row, int column)
    {
        const QTableWidgetItem* item = dialog.Table()->item(row, column);
        return item == nullptr ? QString() : item->text();
    }

    static QStringList Column(const PortMapDialog& dialog, int column)
    {
        QStringList cells;
        for (int row = 0; row < dialog.Table()->rowCount(); ++row) {
            cells << Cell(dialog, row, column);
        }
        return cells;
    }

    static void Select(PortMapDialog& dialog, const QString& number)
    {
        const QStringList numbers = Column(dialog, 0);
        dialog.Table()->selectRow(static_cast<int>(numbers.indexOf(number)));
    }

    std::string Target(int number) const { return fs::read_symlink(Port(number)).string(); }

    RecordingPrompts prompts;
};

TEST_F(PortMapDialogTest, ProposalIsShownAndWrittenOnlyWhenKept)
{
    PortMapDialog dialog(roots, prompts);
    ASSERT_TRUE(dialog.ShowsProposal());
    EXPECT_EQ(Column(dialog, 0), (QStringList{"COM1 (proposed)", "COM2 (proposed)", "COM3 (proposed)"}));
    EXPECT_TRUE(Cell(dialog, 0, 1).contains("usb-Alpha_FT232R_A50285BI-if00-port0")) << Cell(dialog, 0, 1).toStdString();
    EXPECT_TRUE(Cell(dialog, 0, 1).endsWith(QString::fromStdString(Dev("ttyUSB0"))));
    EXPECT_EQ(Column(dialog, 2), (QStringList{"free", "free", "free"}));
    EXPECT_FALSE(dialog.KeepButton()->isHidden());
    EXPECT_FALSE(dialog.RemoveButton()->isEnabled());
    dialog.Refresh();
    EXPECT_FALSE(fs::exists(root / "ports"));

    dialog.KeepButton()->click();
    EXPECT_TRUE(prompts.warnings.isEmpty()) << prompts.informatives.join('|').toStdString();
    EXPECT_FALSE(dialog.ShowsProposal());
    EXPECT_TRUE(dialog.KeepButton()->isHidden());
    EXPECT_EQ(Column(dialog, 0), (QStringList{"COM1", "COM2", "COM3"}));
    EXPECT_EQ(Target(1), ById("usb-Alpha_FT232R_A50285BI-if00-port0"));
    EXPECT_EQ(Target(2), ById("usb-Beta_UART-if00-port0"));
    EXPECT_EQ(Target(3), ById("usb-Gamma_CDC-if00"));
    // The next number offered is the first one free.
    EXPECT_EQ(dialog.NumberBox()->value(), 4);
}

TEST_F(PortMapDialogTest, EveryDeviceIsOfferedStableNamesFirstWithItsCondition)
{
    // Plain nodes beside the three with by-id names: a USB adapter without
    // one, a UART the kernel found and a ttyS node with nothing behind it.
    for (const char* node : {"ttyS1", "ttyS0", "ttyS10", "ttyUSB7", "ttyACM2", "ttySX", "ttyUSB"}) {
        WriteFile(root / "dev" / node, "");
    }
    WriteFile(root / "sys/class/tty/ttyS0/type", "4\n");
    WriteFile(root / "sys/class/tty/ttyS10/type", "1\n");
    WriteFile(root / "sys/class/tty/ttyS1/type", "0\n");
    fs::permissions(Dev("ttyACM2"), fs::perms::none);
    PortMapDialog dialog(roots, prompts);
    QStringList items;
    for (int i = 0; i < dialog.DeviceBox()->count(); ++i) {
        items << dialog.DeviceBox()->itemText(i);
    }
    const QString missingOrNot = ::geteuid() == 0 ? QStringLiteral("free") : QStringLiteral("not permitted");
    EXPECT_EQ(items, (QStringList{
                         "usb-Alpha_FT232R_A50285BI-if00-port0  (" + QString::fromStdString(Dev("ttyUSB0")) + ", free)",
                         "usb-Beta_UART-if00-port0  (" + QString::fromStdString(Dev("ttyUSB1")) + ", free)",
                         "usb-Gamma_CDC-if00  (" + QString::fromStdString(Dev("ttyACM0")) + ", free)",
                         QString::fromStdString(Dev("ttyUSB7")) + "  (free)",
                         QString::fromStdString(Dev("ttyACM2")) + "  (" + missingOrNot + ")",
                         QString::fromStdString(Dev("ttyS0")) + "  (free)",
                         QString::fromStdString(Dev("ttyS10")) + "  (free)",
                     }));
    // Picking a plain node links to the node itself.
    dialog.NumberBox()->setValue(3);
    dialog.DeviceBox()->setCurrentIndex(5);
    EXPECT_TRUE(dialog.Assign());
    EXPECT_EQ(Target(3), Dev("ttyS0"));
}

TEST_F(PortMapDialogTest, AssignsAndRemovesLinks)
{
    PortMapDialog dialog(roots, prompts);
    const struct {
        int number;
        QString device; // a by-id item when it names one, else typed
        std::string target;
    } assignments[] = {
        {4, QStringLiteral("usb-Beta_UART-if00-port0"), ById("usb-Beta_UART-if00-port0")},
        {7, QString::fromStdString(Dev("ttyACM0")), Dev("ttyACM0")},
        {4, QStringLiteral("usb-Gamma_CDC-if00"), ById("usb-Gamma_CDC-if00")}, // a link is replaced
    };
    for (const auto& a : assignments) {
        dialog.NumberBox()->setValue(a.number);
        const int item = dialog.DeviceBox()->findText(a.device, Qt::MatchStartsWith);
        dialog.DeviceBox()->setCurrentText(item >= 0 ? dialog.DeviceBox()->itemText(item) : a.device);
        EXPECT_TRUE(dialog.Assign()) << a.number;
        EXPECT_EQ(Target(a.number), a.target) << a.number;
    }
    EXPECT_TRUE(prompts.warnings.isEmpty()) << prompts.informatives.join('|').toStdString();
    EXPECT_FALSE(dialog.ShowsProposal());
    EXPECT_EQ(Column(dialog, 0), (QStringList{"COM4", "COM7"}));

    // A name that is no path is refused, and nothing is written.
    dialog.NumberBox()->setValue(9);
    dialog.DeviceBox()->setCurrentText(QStringLiteral("ttyUSB0"));
    EXPECT_FALSE(dialog.Assign());
    EXPECT_EQ(prompts.warnings, QStringList{QStringLiteral("Unable to assign COM 9")});
    EXPECT_FALSE(fs::exists(fs::symlink_status(Port(9))));

    Select(dialog, QStringLiteral("COM4"));
    ASSERT_TRUE(dialog.RemoveButton()->isEnabled());
    dialog.RemoveButton()->click();
    EXPECT_FALSE(fs::exists(fs::symlink_status(Port(4))));
    EXPECT_EQ(Column(dialog, 0), QStringList{QStringLiteral("COM7")});
    EXPECT_TRUE(prompts.questions.isEmpty()); // links go without asking
}

TEST_F(PortMapDialogTest, NetworkEntryIsShownAndReplacedOnlyWhenTheUserSaysSo)
{
    WriteFile(Port(2), "rfc2217://antenna-pi:7000\n");
    Link("/nonexistent/ttyUSB9", Port(3));
    PortMapDialog dialog(roots, prompts);
    EXPECT_FALSE(dialog.ShowsProposal());
    EXPECT_EQ(Column(dialog, 1), (QStringList{"rfc2217://antenna-pi:7000", "/nonexistent/ttyUSB9"}));
    EXPECT_EQ(Column(dialog, 2), (QStringList{"network endpoint", "missing"}));

    const auto endpointKept = [&] {
        return fs::is_regular_file(fs::symlink_status(Port(2))) && FirstLineOf(Port(2)) == "rfc2217://antenna-pi:7000";
    };
    dialog.NumberBox()->setValue(2);
    dialog.DeviceBox()->setCurrentText(dialog.DeviceBox()->itemText(0));
    EXPECT_FALSE(dialog.Assign());
    EXPECT_TRUE(endpointKept());
    Select(dialog, QStringLiteral("COM2"));
    EXPECT_FALSE(dialog.RemoveSelected());
    EXPECT_TRUE(endpointKept());
    ASSERT_EQ(prompts.questions.size(), 2);
    EXPECT_TRUE(prompts.questions[0].contains("network endpoint rfc2217://antenna-pi:7000"));

    prompts.confirmAnswer = true;
    dialog.NumberBox()->setValue(2);
    EXPECT_TRUE(dialog.Assign());
    EXPECT_EQ(Target(2), ById("usb-Alpha_FT232R_A50285BI-if00-port0"));
    EXPECT_TRUE(prompts.warnings.isEmpty());

    // Typed as the map's files hold it, a radio on another machine becomes
    // such a file, private to the user; a link gives way to it unasked.
    dialog.NumberBox()->setValue(3);
    dialog.DeviceBox()->setCurrentText(QStringLiteral("tcp://antenna-pi:3333"));
    EXPECT_TRUE(dialog.Assign());
    EXPECT_EQ(FirstLineOf(Port(3)), "tcp://antenna-pi:3333");
    EXPECT_EQ(fs::symlink_status(Port(3)).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(Column(dialog, 2), (QStringList{"free", "network endpoint"}));
    EXPECT_EQ(prompts.questions.size(), 3); // those above: the link gave way unasked
    EXPECT_TRUE(prompts.warnings.isEmpty()) << prompts.informatives.join('|').toStdString();
}

TEST_F(PortMapDialogTest, PortBoxTooltipShowsTheMapOfTheMoment)
{
    CFrontPanelDlg panel(&prompts, QString::fromStdString(root.string()));
    panel.SetPortMapRoots(roots);
    panel.OnInitDialog();
    auto* edit = qobject_cast<QLineEdit*>(panel.Control(1032));
    const auto tooltip = [&] {
        QHelpEvent event(QEvent::ToolTip, QPoint(1, 1), edit->mapToGlobal(QPoint(1, 1)));
        QCoreApplication::sendEvent(edit, &event);
        return edit->toolTip();
    };
    QString text = tooltip();
    EXPECT_TRUE(text.startsWith("COM1 opens /dev/ttyS0 (no link)")) << text.toStdString();
    EXPECT_TRUE(text.contains("Proposed")) << text.toStdString();
    EXPECT_TRUE(text.contains("COM3  " + QString::fromStdString(ById("usb-Gamma_CDC-if00")))) << text.toStdString();
    EXPECT_TRUE(text.contains("Serial ports...")) << text.toStdString();

    Link(ById("usb-Beta_UART-if00-port0"), Port(1));
    WriteFile(Port(5), "tcp://antenna-pi:3333\n");
    text = tooltip();
    EXPECT_TRUE(text.startsWith(QString::fromStdString("COM1  " + ById("usb-Beta_UART-if00-port0") + " -> " +
                                                       Dev("ttyUSB1") + ": free")))
        << text.toStdString();
    EXPECT_TRUE(text.contains("COM5  tcp://antenna-pi:3333: network endpoint")) << text.toStdString();
    EXPECT_FALSE(text.contains("Proposed"));
    // Each line says its thing once, whichever number the box holds.
    for (const QString number : {"1", "5", "9"}) {
        edit->setText(number);
        QStringList lines = tooltip().split('\n');
        lines.removeAll(QString());
        const qsizetype all = lines.size();
        lines.removeDuplicates();
        EXPECT_EQ(lines.size(), all) << tooltip().toStdString();
    }
}

TEST_F(PortMapDialogTest, StartWithoutALinkPointsToTheProposal)
{
    CFrontPanelDlg panel(&prompts, QString::fromStdString(root.string()));
    panel.SetPortMapRoots(roots);
    panel.OnInitDialog();
    qobject_cast<QLineEdit*>(panel.Control(1032))->setText(QStringLiteral("200"));
    panel.OnStartStop();
    ASSERT_EQ(prompts.warnings.size(), 1);
    EXPECT_EQ(prompts.warnings[0], QStringLiteral("Unable to open port COM 200"));
    // What is wrong once, where to put it right, and the proposal.
    const QString& why = prompts.informatives[0];
    EXPECT_TRUE(why.startsWith("Nothing is linked as COM 200 in the COM map, and /dev/ttyS199, which COM 200 "
                               "opens without a link, does not exist.\n\nSerial devices are plugged in: right-click "
                               "the panel, choose Serial ports... and keep the proposed numbers:\n"))
        << why.toStdString();
    EXPECT_EQ(why.count("/dev/ttyS199"), 1) << why.toStdString();
    EXPECT_TRUE(why.contains("COM1  " + QString::fromStdString(ById("usb-Alpha_FT232R_A50285BI-if00-port0"))))
        << why.toStdString();

    // Without devices to propose, the same sentence points to the dialog.
    fs::remove_all(root / "dev/serial/by-id");
    prompts.warnings.clear();
    prompts.informatives.clear();
    panel.OnStartStop();
    ASSERT_EQ(prompts.informatives.size(), 1);
    EXPECT_EQ(prompts.informatives[0], "Nothing is linked as COM 200 in the COM map, and /dev/ttyS199, which COM 200 "
                                       "opens without a link, does not exist. Right-click the panel and choose "
                                       "Serial ports... to give your cable this number.");
}

TEST_F(PortMapDialogTest, StartOnABusyPortNamesTheProgramHoldingIt)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const fs::path link = fs::path(KeptFilesDirectory()) / "ports" / "COM238";
    fs::create_directories(link.parent_path());
    fs::remove(link);
    fs::create_symlink(pty.SlavePath(), link);
    PortHolderProcess holder(pty.SlavePath());
    ASSERT_TRUE(holder.Ready());

    CFrontPanelDlg panel(&prompts, QString::fromStdString(root.string()));
    panel.OnInitDialog();
    qobject_cast<QLineEdit*>(panel.Control(1032))->setText(QStringLiteral("238"));
    panel.OnStartStop();
    fs::remove(link);
    ASSERT_EQ(prompts.warnings.size(), 1);
    EXPECT_EQ(prompts.warnings[0], QStringLiteral("Unable to open port COM 238"));
    // The program that holds it, and nothing about the map: the number has its entry.
    EXPECT_EQ(prompts.informatives[0],
              QStringLiteral("COM 238 (%1) is already in use by port_holder (pid %2): end that program first.")
                  .arg(QString::fromStdString(pty.SlavePath()))
                  .arg(holder.Pid()));
    EXPECT_FALSE(panel.Link().Running());
}

} // namespace
