#include "panel/cfrontpaneldlg.h"

#include "panel/activityfeed.h"
#include "panel/activitywindow.h"
#include "panel/dialogunits.h"
#include "panel/portmapdlg.h"
#include "panel/resourceids.h"
#include "panel/tracefile.h"
#include "panel/transferprogressdlg.h"
#include "panel/versionblock.h"
#include "serial/keptfiles.h"
#include "serial/portname.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <cmath>

namespace {

QByteArray ResourceBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

CFrontPanelDlg::CFrontPanelDlg(UserPrompts* userPrompts, const QString& settingsDirectory, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      // Beside the executable in a build folder or a portable copy; in the
      // user's configuration folder for an installed one.
      moduleDirectory(settingsDirectory.isEmpty() ? QString::fromStdString(KeptFilesDirectory()) : settingsDirectory),
      store(moduleDirectory + QStringLiteral("/Ostrelle.ini"))
{
    setObjectName(QString::number(IDD_FRONTPANEL));
    if (userPrompts == nullptr) {
        ownPrompts = std::make_unique<QtUserPrompts>(this);
        userPrompts = ownPrompts.get();
    }
    prompts = userPrompts;
    setWindowTitle(QStringLiteral("Quelmar Demo"));
    setFont(dlu::TemplateFont());
    CreateControls();
    // The station's own state, not the radio's: in the free space of the
    // station's controls on the left, in the dialog's face, and only while
    // other programs can reach the radio.
    const auto sign = [this](int y) {
        auto* label = new QLabel(this);
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setGeometry(dlu::Rect(5, y, 100, 18));
        label->setVisible(false);
        return label;
    };
    networkSign = sign(58);
    networkSign->setToolTip(QStringLiteral("Programs that use Hamlib (model 2, NET rigctl) can drive the radio "
                                           "here. Right-click the panel and choose Network control... to change "
                                           "it."));
    // Below it, whether what the radio says is recorded or streamed.
    soundSign = sign(76);

    // The field defaults are the members' initial values; the link starts
    // stopped with all records zero.
    Link().SetLcdPolls(1);

    appIcon.addFile(QStringLiteral(":/icons/icon32.png"), QSize(32, 32));
    appIcon.addFile(QStringLiteral(":/icons/icon16.png"), QSize(16, 16));

    version = ReadFileVersion(ResourceBytes(QStringLiteral(":/version/version.bin")));

    lcdFont = lcdpaint::LoadLcdFont(ResourceBytes(QStringLiteral(":/font/LCDp.ttf")));
    // The reason across a display that is not current: the dialog's face,
    // bold and a little larger, to be read at a glance.
    markFont = dlu::TemplateFont();
    markFont.setPixelSize(14);
    markFont.setBold(true);

    trace = std::make_unique<TraceFile>(station);
    connect(trace.get(), &TraceFile::failed, this, [this](const QString& message) {
        traceAction->setChecked(false);
        prompts->Warn(message);
    });
    traceAction = new QAction(QStringLiteral("Trace serial traffic"), this);
    traceAction->setCheckable(true);
    connect(traceAction, &QAction::triggered, this, [this](bool on) { OnTraceTraffic(on); });

    // What the radio heard goes to the daily files beside the settings.
    activity = std::make_unique<ActivityFeed>(station, moduleDirectory,
                                              HitRules{store.MergeGapMs(), HitRules{}.silenceMs});
    activity->SetLogging(store.LogActivity());
    logActivityAction = new QAction(QStringLiteral("Log activity"), this);
    logActivityAction->setCheckable(true);
    logActivityAction->setChecked(activity->Logging());
    connect(logActivityAction, &QAction::triggered, this, [this](bool on) { OnLogActivity(on); });
    connect(activity.get(), &ActivityFeed::failed, this, [this](const QString& message) {
        logActivityAction->setChecked(false);
        prompts->Warn(message);
    });
    connect(activity.get(), &ActivityFeed::hitEnded, this, [this](const Hit& hit) {
        if (activityWindow != nullptr) {
            activityWindow->AddHit(hit);
        }
    });

    // The station's workers touch no widget: each word is posted to this thread.
    StationEvents events;
    events.changed = [this] { PostRefresh(); };
    events.hitsEnded = [this] { activity->HitsEnded(); };
    events.transferEnded = [this] { transfers.TransferEnded(); };
    events.soundChanged = [this] { PostSoundChanged(); };
    station.SetEvents(std::move(events));
}

CFrontPanelDlg::~CFrontPanelDlg()
{
    // A row that fails to be written now has nobody left to be told of.
    QObject::disconnect(activity.get(), &ActivityFeed::failed, this, nullptr);
    // Nothing may reach the window from here on: the server and the worker
    // stop before the station's words are cut.
    station.StopControl();
    StopWorker();
    station.SetEvents({});
    // The trace's last flush may still fail; nobody is left to tell then.
    QObject::disconnect(trace.get(), nullptr, this, nullptr);
    trace.reset();
    QObject::disconnect(activity.get(), nullptr, this, nullptr);
    activity.reset();
}

bool CFrontPanelDlg::UpdateData(bool saveAndValidate)
{
    if (!saveAndValidate) {
        portEdit->setText(QString::number(fields.comPort));
        frequencyEdit->setText(QString::number(fields.tuneFrequencyMHz, 'g', 15));
        modulationBox->setCurrentIndex(fields.tuneModulation);
        pollsCheck->setChecked(Link().LcdPolls() != 0);
        return true;
    }

    return ReadControls(true);
}

bool CFrontPanelDlg::ReadControls(bool validate)
{
    // A command looks only at what the user can still change: a disabled
    // box holds a value nobody can correct, and one that failed would refuse
    // every later command with a message about a box out of reach.
    const auto skipped = [validate](const QWidget* control) { return validate && !control->isEnabled(); };
    // Validating, the first refused text ends the exchange with its message;
    // quietly, it is passed over and its field keeps the last good value.
    const auto refuse = [this, validate](QLineEdit* edit, const QString& message) {
        if (validate) {
            prompts->Warn(message);
            edit->setFocus();
            edit->selectAll();
        }
        return !validate;
    };

    if (!skipped(portEdit)) {
        bool ok = false;
        const int port = portEdit->text().trimmed().toInt(&ok);
        if (!ok || port < LOWEST_COM_PORT || port > HIGHEST_COM_PORT) {
            if (!refuse(portEdit, ok ? QStringLiteral("Please enter an integer between %1 and %2.")
                                           .arg(LOWEST_COM_PORT)
                                           .arg(HIGHEST_COM_PORT)
                                     : QStringLiteral("Please enter an integer."))) {
                return false;
            }
        } else {
            fields.comPort = port;
        }
    }

    if (!skipped(frequencyEdit)) {
        // Infinity and NaN are no frequency: refused like any other text
        // that is not a number. A number the tune frame cannot carry is
        // refused with the range it can.
        bool ok = false;
        const double frequency = frequencyEdit->text().trimmed().toDouble(&ok);
        const bool number = ok && std::isfinite(frequency);
        if (!number || !TuneHzOfMHz(frequency)) {
            if (!refuse(frequencyEdit, number ? QString::fromLatin1(TUNE_RANGE_MESSAGE)
                                              : QStringLiteral("Please enter a number."))) {
                return false;
            }
        } else {
            fields.tuneFrequencyMHz = frequency;
        }
    }

    if (!skipped(modulationBox)) {
        fields.tuneModulation = modulationBox->currentIndex();
    }
    if (!skipped(pollsCheck)) {
        Link().SetLcdPolls(pollsCheck->isChecked() ? 1 : 0);
    }
    return true;
}

void CFrontPanelDlg::OnStartStop()
{
    if (!Link().Running()) {
        // A port number that was refused is not replaced by the last good
        // one: the user would be connected to a port they did not ask for.
        if (!UpdateData(true)) {
            return;
        }
        if (!Link().OpenPort(fields.comPort)) {
            // The reason says what is wrong; where nothing was found under
            // the number, the map is where it is put right.
            const QString hint =
                Link().OpenFault() == SerialFault::Missing ? PortMapHint(portMapRoots, fields.comPort) : QString();
            prompts->Warn(QString::asprintf("Unable to open port COM %d", fields.comPort),
                          QString::fromStdString(Link().OpenError()) + hint);
            return;
        }
        SetLinkControls(true);
        trace->LinkStarted();
        activity->LinkStarted();
        station.StartPolling();
        return;
    }
    StopWorker();
    SetLinkControls(false);
    Link().ClearValid();
    update();
}

void CFrontPanelDlg::StopWorker()
{
    // A transfer still running is the transfer controller's to end and report.
    station.StopLink();
    trace->LinkStopped();
    // A hit still in progress ends here and is written.
    activity->LinkStopped();
}

void CFrontPanelDlg::OnKeyButton(int controlId)
{
    // The keys stay clickable while the link is stopped; a click that can
    // reach no radio says so instead of doing nothing. (The keyboard does
    // not press them then.)
    if (!Link().Running()) {
        prompts->Warn(QStringLiteral("The link is stopped: press START first."),
                      QStringLiteral("The keys press the radio's keys only while the link runs."));
        return;
    }
    if (const auto key = KeyByControlId(controlId)) {
        Link().SendKey(key->code);
    }
}

void CFrontPanelDlg::OnTune()
{
    // A refused frequency is not replaced by the last good one: the radio
    // would be tuned somewhere the user did not ask for.
    if (UpdateData(true)) {
        if (const auto hz = TuneHzOfMHz(fields.tuneFrequencyMHz)) {
            Link().SendTune(*hz, fields.tuneModulation);
        }
    }
}

void CFrontPanelDlg::OnEnableLcdPolls()
{
    UpdateData(true);
}

void CFrontPanelDlg::OnOK()
{
    const bool wasRunning = Link().Running();
    // A transfer that Exit cuts short is cancelled and said so, as by Cancel;
    // the link stops just below, so polling does not come back first.
    if (Transfer().Active()) {
        OnCancelTransfer(false);
    }
    StopWorker();
    // A transfer that Exit cut short leaves no window of its own behind.
    transfers.HideProgressWindow();
    if (wasRunning) {
        // The link is down now whatever comes next. Should the entries fail
        // below and the dialog stay open, it must look stopped, with the
        // port box enabled, or a bad entry there could never be corrected.
        SetLinkControls(false);
        Link().ClearValid();
        update();
    }
    // Nothing the boxes hold may keep the program from ending: what they
    // hold that is good is kept, the rest gives way to the last good value.
    SaveSettings();
    accept();
}

void CFrontPanelDlg::OnSessionEnd()
{
    if (!isVisible()) {
        return;
    }
    // A message box or file dialog over the panel holds an event loop of its
    // own, and the panel's ends only once that one has; nobody may be there
    // to answer it, nor the one Exit shows about a transfer it cuts short.
    // Those open now are closed after Exit's steps, and one that Exit opens
    // as soon as its loop runs.
    const auto closeDialogs = [this] {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<QDialog*>(window);
            if (dialog != nullptr && dialog != this && dialog->isVisible() && dialog->isModal()) {
                dialog->done(QDialog::Rejected);
            }
        }
    };
    QTimer::singleShot(0, this, closeDialogs);
    OnOK();
    closeDialogs();
}

void CFrontPanelDlg::reject()
{
    // Esc never ends the panel. While a transfer runs it is the progress
    // window's Cancel, wherever the focus stands: the window that opened with
    // the transfer does not always take the focus from the panel.
    if (transfers.TimerId() != 0 && Transfer().Active()) {
        OnCancelTransfer();
    }
}

void CFrontPanelDlg::closeEvent(QCloseEvent* event)
{
    event->ignore();
}

bool CFrontPanelDlg::eventFilter(QObject* watched, QEvent* event)
{
    // Enter in the port box starts the link. It is taken here, before the
    // dialog would also hand it to its default button: TUNE, enabled by the
    // very start it just made, must not send a frame the user never asked for.
    if (watched == portEdit && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && !Link().Running()) {
            OnStartStop();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

bool CFrontPanelDlg::TransfersPossible() const
{
    return Link().Running() && Link().State() != LinkState::PortGone;
}

void CFrontPanelDlg::FollowLinkState()
{
    // A transfer holds the buttons itself until it has ended.
    if (!Link().Running() || Transfer().Active()) {
        return;
    }
    // While the port is gone no frame can go out: the keys and TUNE rest
    // with Send and Recv, as the LCD says why, until the port is back.
    const bool portThere = TransfersPossible();
    for (const ControlId id : {ControlId::SendImage, ControlId::ReceiveImage, ControlId::Tune}) {
        SetControlEnabled(id, portThere);
    }
    for (const KeyButton& key : keyButtons) {
        SetControlEnabled(key.controlId, portThere);
    }
}

void CFrontPanelDlg::setVisible(bool visible)
{
    // The settings file holds the frame's corner. A top-level widget moved
    // before its window is made asks the window manager to put the frame
    // there; moved afterwards, before the window manager has said how wide
    // its frame is, the same point goes to the client area, and every
    // restart would creep up by the title bar and left by the border.
    if (visible && !initialised) {
        OnInitDialog();
    }
    QDialog::setVisible(visible);
}

void CFrontPanelDlg::showEvent(QShowEvent* event)
{
    OnInitDialog();
    QDialog::showEvent(event);
}

QString CFrontPanelDlg::SettingsPath() const
{
    return moduleDirectory + QStringLiteral("/Ostrelle.cfg");
}

void CFrontPanelDlg::LoadSettings()
{
    if (!fields.Load(SettingsPath())) {
        return;
    }
    UpdateData(false);
    if (fields.framePosition) {
        move(*fields.framePosition);
    }
}

void CFrontPanelDlg::SaveSettings()
{
    ReadControls(false);
    fields.frame = frameGeometry();
    fields.lcdOnScreen = QRect(mapToGlobal(lcdRect.topLeft()), lcdRect.size());
    fields.Save(SettingsPath());
}
