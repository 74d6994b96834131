#include "cfrontpaneldlg.h"

#include "activityfeed.h"
#include "activitywindow.h"
#include "caboutdlg.h"
#include "dialogunits.h"
#include "eventhandoff.h"
#include "lcdpainter.h"
#include "keptfiles.h"
#include "portmapdlg.h"
#include "portname.h"
#include "resourceids.h"
#include "resourcestrings.h"
#include "tracefile.h"
#include "transferprogressdlg.h"
#include "versionblock.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QTimer>

#include <array>
#include <cmath>

namespace {

enum class Kind { DigitsEdit, Edit, Button, Frame, Keys, Label, KeyCaption, Combo, Group, ValueField, Check, Unit };

// One control of the panel's template. Id -1: the control has none.
struct ControlDef {
    int id = -1;
    Kind kind = Kind::Label;
    const char* caption = "";
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The template in its order, which is also the tab order. The 34 keys stand
// where the Keys entry is, in the order of the key table.
constexpr std::array<ControlDef, 44> panelTemplate{{
    {1032, Kind::DigitsEdit, "", 50, 3, 25, 14},
    {1033, Kind::Button, "START", 89, 3, 56, 14},
    {1000, Kind::Button, "Send to PC/IF", 160, 3, 87, 14},
    {1001, Kind::Button, "Recv from PC/IF", 250, 3, 87, 14},
    {1024, Kind::Frame, "", 116, 40, 186, 68},
    {-1, Kind::Keys},
    {IDOK, Kind::Button, "Exit", 359, 3, 50, 14},
    {-1, Kind::Label, "COM Port", 5, 5, 40, 8},
    {-1, Kind::KeyCaption, "LOCK", 270, 129, 32, 8},
    {-1, Kind::KeyCaption, "SS", 270, 154, 32, 8},
    {-1, Kind::KeyCaption, "VS", 232, 254, 32, 8},
    {-1, Kind::KeyCaption, "SW", 270, 230, 32, 8},
    {-1, Kind::KeyCaption, "DELAY", 191, 279, 32, 8},
    {-1, Kind::KeyCaption, "ABC", 153, 204, 32, 8},
    {-1, Kind::KeyCaption, "DEF", 191, 204, 32, 8},
    {-1, Kind::KeyCaption, "GHI", 116, 230, 32, 8},
    {-1, Kind::KeyCaption, "JKL", 153, 230, 32, 8},
    {-1, Kind::KeyCaption, "MNO", 191, 230, 32, 8},
    {-1, Kind::KeyCaption, "PQRS", 115, 254, 32, 8},
    {-1, Kind::KeyCaption, "TUV", 153, 254, 32, 8},
    {-1, Kind::KeyCaption, "WXYZ", 191, 254, 32, 8},
    // The list's height of 45 units is that of the opened list; closed, the
    // box is as tall as an edit.
    {1050, Kind::Combo, "", 40, 150, 50, 14},
    {1035, Kind::Button, "TUNE", 30, 180, 56, 14},
    {-1, Kind::Group, "TUNE Mode", 5, 118, 100, 82},
    {-1, Kind::Label, "Battery", 320, 148, 40, 8},
    {1036, Kind::ValueField, "Battery", 366, 148, 44, 13},
    {-1, Kind::Label, "RSSI", 320, 164, 40, 8},
    {1042, Kind::ValueField, "RSSI", 366, 164, 44, 13},
    {-1, Kind::Label, "Centermeter", 320, 180, 40, 8},
    {1043, Kind::ValueField, "Centermeter", 366, 180, 44, 13},
    {1044, Kind::ValueField, "MUTE", 366, 132, 44, 13},
    {-1, Kind::Label, "Mode", 320, 119, 40, 8},
    {1045, Kind::ValueField, "Mode", 366, 118, 44, 13},
    {1046, Kind::ValueField, "RF SQ", 320, 132, 40, 13},
    {1047, Kind::ValueField, "/XF", 318, 216, 30, 10},
    {1048, Kind::ValueField, "/HD5", 349, 216, 30, 10},
    {1049, Kind::ValueField, "/HD2", 380, 216, 30, 10},
    {1051, Kind::ValueField, "", 386, 204, 24, 10},
    {1052, Kind::ValueField, "", 318, 204, 67, 10},
    // The frequency box gives up the room of its unit, without which "25"
    // could be anything.
    {1034, Kind::Edit, "", 15, 130, 62, 14},
    {-1, Kind::Unit, "MHz", 79, 130, 22, 14},
    {1054, Kind::Check, "Enable LCD Polls", 5, 40, 90, 10},
}};

// Where each key button stands, by control id (left and top edge).
struct KeyPlace {
    int controlId = 0;
    int x = 0;
    int y = 0;
};

constexpr std::array<KeyPlace, 34> keyPlaces{{
    {1002, 135, 114}, {1003, 193, 114}, {1004, 251, 114},
    {1038, 153, 137}, {1007, 232, 137}, {1005, 270, 137},
    {1041, 116, 162}, {1039, 153, 162}, {1037, 191, 162}, {1013, 232, 162}, {1006, 270, 162},
    {1040, 153, 187}, {1014, 232, 187}, {1008, 270, 187},
    {1028, 116, 212}, {1023, 153, 212}, {1019, 191, 212}, {1015, 232, 212}, {1009, 270, 212},
    {1029, 116, 238}, {1025, 153, 238}, {1020, 191, 238}, {1016, 232, 238}, {1010, 270, 238},
    {1030, 116, 262}, {1026, 153, 262}, {1021, 191, 262}, {1017, 232, 262}, {1011, 270, 262},
    {1031, 116, 287}, {1027, 153, 287}, {1022, 191, 287}, {1018, 232, 287}, {1012, 270, 287},
}};

constexpr int KEY_WIDTH = 32;
constexpr int KEY_HEIGHT = 14;
constexpr int TEMPLATE_WIDTH = 416;
constexpr int TEMPLATE_HEIGHT = 306;

// The controls that only make sense while the link runs.
constexpr std::array<int, 5> linkControls{1000, 1001, 1035, 1034, 1050};
// The status indicators, which status painting enables.
constexpr std::array<int, 5> indicatorControls{1046, 1044, 1047, 1048, 1049};

// The box a label names: the first control that starts just right of the
// label and shares some of its height.
const ControlDef* BoxBesideLabel(const ControlDef& label)
{
    const int right = label.x + label.width;
    for (const ControlDef& def : panelTemplate) {
        const bool box = def.kind == Kind::ValueField || def.kind == Kind::DigitsEdit || def.kind == Kind::Edit ||
                         def.kind == Kind::Combo;
        if (box && def.x >= right && def.x <= right + 10 && def.y < label.y + label.height &&
            label.y < def.y + def.height) {
            return &def;
        }
    }
    return nullptr;
}

const KeyPlace* PlaceOfKey(int controlId)
{
    for (const KeyPlace& place : keyPlaces) {
        if (place.controlId == controlId) {
            return &place;
        }
    }
    return nullptr;
}

QByteArray ResourceBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

CFrontPanelDlg::CFrontPanelDlg(UserPrompts* userPrompts, const QString& settingsDirectory, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint)
{
    setObjectName(QString::number(IDD_FRONTPANEL));
    if (userPrompts == nullptr) {
        ownPrompts = std::make_unique<QtUserPrompts>(this);
        userPrompts = ownPrompts.get();
    }
    prompts = userPrompts;
    setWindowTitle(QStringLiteral("Quelmar Demo"));
    setFont(dlu::TemplateFont());
    setFixedSize(dlu::X(TEMPLATE_WIDTH), dlu::Y(TEMPLATE_HEIGHT));
    CreateControls();
    // The station's own state, not the radio's: in the free space of the
    // station's controls on the left, in the dialog's face, and only while
    // other programs can reach the radio.
    networkSign = new QLabel(this);
    networkSign->setTextFormat(Qt::PlainText);
    networkSign->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    networkSign->setGeometry(dlu::Rect(5, 58, 100, 18));
    networkSign->setToolTip(QStringLiteral("Programs that use Hamlib (model 2, NET rigctl) can drive the radio "
                                           "here. Right-click the panel and choose Network control... to change "
                                           "it."));
    networkSign->setVisible(false);

    // The field defaults are the members' initial values; the link starts
    // stopped with all records zero.
    link.SetLcdPolls(1);

    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/icon32.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/icons/icon16.png"), QSize(16, 16));
    appIcon = icon;

    // Beside the executable in a build folder or a portable copy; in the
    // user's configuration folder for an installed one.
    moduleDirectory = settingsDirectory.isEmpty() ? QString::fromStdString(KeptFilesDirectory()) : settingsDirectory;

    const FileVersion version = ReadFileVersion(ResourceBytes(QStringLiteral(":/version/version.bin")));
    versionMajor = version.major;
    versionMinor = version.minor;

    lcdFont = lcdpaint::LoadLcdFont(ResourceBytes(QStringLiteral(":/font/LCDp.ttf")));
    // The reason across a display that is not current: the dialog's face,
    // bold and a little larger, to be read at a glance.
    markFont = dlu::TemplateFont();
    markFont.setPixelSize(14);
    markFont.setBold(true);

    link.SetRefreshCallback([this] { PostRefresh(); });

    trace = std::make_unique<TraceFile>(link.Port());
    connect(trace.get(), &TraceFile::failed, this, [this](const QString& message) {
        traceAction->setChecked(false);
        prompts->Warn(message);
    });
    traceAction = new QAction(QStringLiteral("Trace serial traffic"), this);
    traceAction->setCheckable(true);
    connect(traceAction, &QAction::triggered, this, [this](bool on) { OnTraceTraffic(on); });

    // What the radio heard goes to the daily files beside the settings.
    activity = std::make_unique<ActivityFeed>(link, moduleDirectory);
    activity->SetRules(HitRules{RememberedMergeGapMs(), HitRules{}.silenceMs});
    activity->SetLogging(RememberedLogActivity());
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
}

CFrontPanelDlg::~CFrontPanelDlg()
{
    // A row that fails to be written now has nobody left to be told of.
    QObject::disconnect(activity.get(), &ActivityFeed::failed, this, nullptr);
    StopWorker();
    link.SetRefreshCallback({});
    // The trace's last flush may still fail; nobody is left to tell then.
    QObject::disconnect(trace.get(), nullptr, this, nullptr);
    trace.reset();
    QObject::disconnect(activity.get(), nullptr, this, nullptr);
    activity.reset();
}

void CFrontPanelDlg::CreateControls()
{
    QWidget* previousTabStop = nullptr;
    const auto addTabStop = [&](QWidget* widget) {
        if (previousTabStop != nullptr) {
            QWidget::setTabOrder(previousTabStop, widget);
        }
        previousTabStop = widget;
    };
    const auto name = [](QWidget* widget, int id) {
        if (id >= 0) {
            widget->setObjectName(QString::number(id));
        }
    };
    QGroupBox* group = nullptr;

    for (const ControlDef& def : panelTemplate) {
        const QString caption = QString::fromLatin1(def.caption);
        QRect rect = dlu::Rect(def.x, def.y, def.width, def.height);
        QWidget* widget = nullptr;
        switch (def.kind) {
        case Kind::Keys:
            for (const KeyDef& key : keyTable) {
                const KeyPlace* place = PlaceOfKey(key.controlId);
                auto* button = new QPushButton(
                    QString::fromLatin1(key.caption.data(), static_cast<qsizetype>(key.caption.size())), this);
                name(button, key.controlId);
                if (place != nullptr) {
                    button->setGeometry(dlu::Rect(place->x, place->y, KEY_WIDTH, KEY_HEIGHT));
                }
                const int id = key.controlId;
                connect(button, &QPushButton::clicked, this, [this, id] { OnKeyButton(id); });
                controls.insert(id, button);
                addTabStop(button);
            }
            continue;
        case Kind::DigitsEdit:
        case Kind::Edit: {
            auto* edit = new QLineEdit(this);
            edit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            if (def.kind == Kind::DigitsEdit) {
                edit->setValidator(
                    new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
                edit->installEventFilter(new PortMapToolTipFilter([this] { return portMapRoots; }, edit));
                edit->installEventFilter(this);
            } else {
                frequencyEdit = edit;
            }
            widget = edit;
            break;
        }
        case Kind::Button: {
            auto* button = new QPushButton(caption, this);
            widget = button;
            break;
        }
        case Kind::Frame: {
            lcdFrame = new QLabel(this);
            lcdFrame->setFrameShape(QFrame::Box);
            lcdFrame->setVisible(false);
            widget = lcdFrame;
            break;
        }
        case Kind::Label:
        case Kind::KeyCaption: {
            auto* label = new QLabel(caption, this);
            label->setTextFormat(Qt::PlainText);
            label->setAlignment(def.kind == Kind::Label ? (Qt::AlignRight | Qt::AlignTop)
                                                        : (Qt::AlignHCenter | Qt::AlignTop));
            if (const ControlDef* box = def.kind == Kind::Label ? BoxBesideLabel(def) : nullptr) {
                // A label reads on the line of its box's text, which the box
                // centres: the label takes the box's height and centres too.
                const QRect boxRect = dlu::Rect(box->x, box->y, box->width, box->height);
                rect.setTop(boxRect.top());
                rect.setBottom(boxRect.bottom());
                label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
                // Aligned right, a label that is a little wider than its
                // place takes the free space before it instead of losing
                // its first letter.
                const int needed = label->fontMetrics().horizontalAdvance(caption);
                if (needed > rect.width()) {
                    rect.setLeft(rect.right() + 1 - needed);
                }
            }
            widget = label;
            break;
        }
        case Kind::Unit: {
            // On the line of the box's text to its left.
            auto* label = new QLabel(caption, this);
            label->setTextFormat(Qt::PlainText);
            label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
            widget = label;
            break;
        }
        case Kind::ValueField: {
            auto* label = new QLabel(caption, this);
            label->setTextFormat(Qt::PlainText);
            label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            label->setAlignment(Qt::AlignCenter);
            widget = label;
            break;
        }
        case Kind::Combo: {
            auto* combo = new QComboBox(this);
            for (const std::string_view name : tuneModulationNames) {
                combo->addItem(QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())));
            }
            widget = combo;
            break;
        }
        case Kind::Group: {
            group = new QGroupBox(caption, this);
            group->setAlignment(Qt::AlignHCenter);
            widget = group;
            break;
        }
        case Kind::Check: {
            auto* check = new QCheckBox(caption, this);
            connect(check, &QCheckBox::clicked, this, [this] { OnEnableLcdPolls(); });
            widget = check;
            break;
        }
        }
        widget->setGeometry(rect);
        name(widget, def.id);
        if (def.id >= 0) {
            controls.insert(def.id, widget);
        }
        if (widget->focusPolicy() != Qt::NoFocus && def.kind != Kind::Frame) {
            addTabStop(widget);
        }
    }
    // The group box only frames the tune controls; under them it must not
    // take their clicks.
    if (group != nullptr) {
        group->lower();
    }

    auto* startStop = qobject_cast<QPushButton*>(Control(1033));
    connect(startStop, &QPushButton::clicked, this, [this] { OnStartStop(); });
    connect(qobject_cast<QPushButton*>(Control(1000)), &QPushButton::clicked, this, [this] { OnSendImage(); });
    connect(qobject_cast<QPushButton*>(Control(1001)), &QPushButton::clicked, this, [this] { OnReceiveImage(); });
    connect(qobject_cast<QPushButton*>(Control(IDOK)), &QPushButton::clicked, this, [this] { OnOK(); });
    auto* tune = qobject_cast<QPushButton*>(Control(1035));
    tune->setDefault(true);
    connect(tune, &QPushButton::clicked, this, [this] { OnTune(); });
}

bool CFrontPanelDlg::OnInitDialog()
{
    if (initialised) {
        return true;
    }
    initialised = true;
    UpdateData(false);

    aboutMenuText = LoadResourceString(IDS_ABOUTBOX);

    setWindowIcon(appIcon);

    for (const int id : linkControls) {
        SetControlEnabled(id, false);
    }
    for (const int id : indicatorControls) {
        SetControlEnabled(id, false);
    }

    setWindowTitle(QString::asprintf("Quelmar Demo   version %d.%02d", versionMajor, versionMinor));

    LoadSettings();
    RestoreNetworkControl();
    ShowNetworkControl();

    if (QWidget* f2 = Control(1003)) {
        lcdRect = lcdpaint::LayoutLcd(lcdFont, f2->geometry(), this);
    }
    if (QWidget* first = Control(1032)) {
        first->setFocus();
    }
    return true;
}

bool CFrontPanelDlg::UpdateData(bool saveAndValidate)
{
    auto* portEdit = qobject_cast<QLineEdit*>(Control(1032));
    auto* modulation = qobject_cast<QComboBox*>(Control(1050));
    auto* polls = qobject_cast<QCheckBox*>(Control(1054));
    if (!saveAndValidate) {
        portEdit->setText(QString::number(comPort));
        frequencyEdit->setText(QString::number(tuneFrequencyMHz, 'g', 15));
        modulation->setCurrentIndex(tuneModulation);
        polls->setChecked(link.LcdPolls() != 0);
        return true;
    }

    return ReadControls(true);
}

bool CFrontPanelDlg::ReadControls(bool validate)
{
    auto* portEdit = qobject_cast<QLineEdit*>(Control(1032));
    auto* modulation = qobject_cast<QComboBox*>(Control(1050));
    auto* polls = qobject_cast<QCheckBox*>(Control(1054));
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
        if (!ok) {
            if (!refuse(portEdit, QStringLiteral("Please enter an integer."))) {
                return false;
            }
        } else if (port < LOWEST_COM_PORT || port > HIGHEST_COM_PORT) {
            if (!refuse(portEdit, QStringLiteral("Please enter an integer between %1 and %2.")
                                      .arg(LOWEST_COM_PORT)
                                      .arg(HIGHEST_COM_PORT))) {
                return false;
            }
        } else {
            comPort = port;
        }
    }

    if (!skipped(frequencyEdit)) {
        // Infinity and NaN are no frequency: refused like any other text
        // that is not a number. A number the tune frame cannot carry is
        // refused with the range it can.
        bool ok = false;
        const double frequency = frequencyEdit->text().trimmed().toDouble(&ok);
        if (!ok || !std::isfinite(frequency)) {
            if (!refuse(frequencyEdit, QStringLiteral("Please enter a number."))) {
                return false;
            }
        } else if (!TuneFrequencyFits(frequency)) {
            if (!refuse(frequencyEdit, QString::fromLatin1(TUNE_RANGE_MESSAGE.data(),
                                                           static_cast<qsizetype>(TUNE_RANGE_MESSAGE.size())))) {
                return false;
            }
        } else {
            tuneFrequencyMHz = frequency;
        }
    }

    if (!skipped(modulation)) {
        tuneModulation = modulation->currentIndex();
    }
    if (!skipped(polls)) {
        link.SetLcdPolls(polls->isChecked() ? 1 : 0);
    }
    return true;
}

void CFrontPanelDlg::SetControlText(int id, const QString& text)
{
    if (auto* label = qobject_cast<QLabel*>(Control(id))) {
        if (label->text() != text) {
            label->setText(text);
        }
    } else if (auto* button = qobject_cast<QPushButton*>(Control(id))) {
        button->setText(text);
    }
}

void CFrontPanelDlg::SetControlEnabled(int id, bool enabled)
{
    if (QWidget* control = Control(id)) {
        if (control->isEnabled() != enabled) {
            control->setEnabled(enabled);
        }
    }
}

void CFrontPanelDlg::SetLinkControls(bool running)
{
    SetControlText(1033, running ? QStringLiteral("STOP") : QStringLiteral("START"));
    SetControlEnabled(1032, !running);
    for (const int id : linkControls) {
        SetControlEnabled(id, running);
    }
    // The keys are enabled in every state; only a port gone rests them.
    for (const KeyDef& key : keyTable) {
        SetControlEnabled(key.controlId, true);
    }
}

void CFrontPanelDlg::OnStartStop()
{
    if (!link.Running()) {
        // A port number that was refused is not replaced by the last good
        // one: the user would be connected to a port they did not ask for.
        if (!UpdateData(true)) {
            return;
        }
        if (!link.OpenPort(comPort)) {
            // The reason says what is wrong; where nothing was found under
            // the number, the map is where it is put right.
            const QString hint =
                link.OpenFault() == SerialFault::Missing ? PortMapHint(portMapRoots, comPort) : QString();
            prompts->Warn(QString::asprintf("Unable to open port COM %d", comPort),
                          QString::fromStdString(link.OpenError()) + hint);
            return;
        }
        SetLinkControls(true);
        trace->LinkStarted();
        activity->LinkStarted();
        link.StartPolling();
        return;
    }
    StopWorker();
    SetLinkControls(false);
    link.ClearValid();
    update();
}

void CFrontPanelDlg::StopWorker()
{
    link.StopWorker();
    trace->LinkStopped();
    // A hit still in progress ends here and is written.
    activity->LinkStopped();
}

void CFrontPanelDlg::OnKeyButton(int controlId)
{
    // The keys stay clickable while the link is stopped; a click that can
    // reach no radio says so instead of doing nothing. (The keyboard does
    // not press them then.)
    if (!link.Running()) {
        prompts->Warn(QStringLiteral("The link is stopped: press START first."),
                      QStringLiteral("The keys press the radio's keys only while the link runs."));
        return;
    }
    if (const auto key = KeyByControlId(controlId)) {
        link.SendKey(key->code);
    }
}

void CFrontPanelDlg::OnTune()
{
    // A refused frequency is not replaced by the last good one: the radio
    // would be tuned somewhere the user did not ask for.
    if (UpdateData(true)) {
        link.SendTune(tuneFrequencyMHz, tuneModulation);
    }
}

void CFrontPanelDlg::OnEnableLcdPolls()
{
    UpdateData(true);
}

void CFrontPanelDlg::OnOK()
{
    const bool wasRunning = link.Running();
    // A transfer that Exit cuts short is cancelled and said so, as by Cancel;
    // the link stops just below, so polling does not come back first.
    if (transfer.Active()) {
        OnCancelTransfer(false);
    }
    StopWorker();
    // A transfer that Exit cut short leaves no window of its own behind.
    if (progressDlg != nullptr) {
        progressDlg->hide();
    }
    if (wasRunning) {
        // The link is down now whatever comes next. Should the entries fail
        // below and the dialog stay open, it must look stopped, with the
        // port box enabled, or a bad entry there could never be corrected.
        SetLinkControls(false);
        link.ClearValid();
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
    if (transferTimerId != 0 && transfer.Active()) {
        OnCancelTransfer();
    }
}

void CFrontPanelDlg::closeEvent(QCloseEvent* event)
{
    event->ignore();
}

void CFrontPanelDlg::OnSysCommand(int id)
{
    if ((id & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about(moduleDirectory, this);
        about.exec();
    }
}

void CFrontPanelDlg::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu menu(this);
    QAction* about = aboutMenuText.isEmpty() ? nullptr : menu.addAction(aboutMenuText);
    QAction* serialPorts = menu.addAction(QStringLiteral("Serial ports..."));
    QAction* shortcuts = menu.addAction(QStringLiteral("Keyboard shortcuts..."));
    QAction* network = menu.addAction(QStringLiteral("Network control..."));
    menu.addAction(traceAction);
    menu.addSeparator();
    menu.addAction(logActivityAction);
    QAction* activityItem = menu.addAction(QStringLiteral("Activity..."));
    QAction* chosen = menu.exec(event->globalPos());
    if (chosen != nullptr && chosen == about) {
        OnSysCommand(IDM_ABOUTBOX);
    } else if (chosen == serialPorts) {
        OnSerialPorts();
    } else if (chosen == shortcuts) {
        OnKeyboardShortcuts();
    } else if (chosen == activityItem) {
        OnActivity();
    } else if (chosen == network) {
        OnNetworkControl();
    }
}

bool CFrontPanelDlg::eventFilter(QObject* watched, QEvent* event)
{
    // Enter in the port box starts the link. It is taken here, before the
    // dialog would also hand it to its default button: TUNE, enabled by the
    // very start it just made, must not send a frame the user never asked for.
    if (watched == Control(1032) && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && !link.Running()) {
            OnStartStop();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CFrontPanelDlg::SetKeyboardShortcuts(const QMap<int, QStringList>& pcKeysByControl)
{
    pcKeys = pcKeysByControl;
    for (const KeyDef& key : keyTable) {
        const QStringList names = pcKeys.value(key.controlId);
        QString tip;
        if (names.isEmpty()) {
            tip = QStringLiteral("No PC key");
        } else {
            tip = (names.size() == 1 ? QStringLiteral("PC key: ") : QStringLiteral("PC keys: ")) +
                  names.join(QStringLiteral(" or "));
        }
        if (QWidget* button = Control(key.controlId)) {
            button->setToolTip(tip);
        }
    }
}

void CFrontPanelDlg::OnKeyboardShortcuts()
{
    QString rows;
    for (const KeyDef& key : keyTable) {
        const QStringList names = pcKeys.value(key.controlId);
        if (!names.isEmpty()) {
            rows += QStringLiteral("<tr><td><b>%1</b></td><td>&nbsp;&nbsp;%2</td></tr>")
                        .arg(QString::fromLatin1(key.caption.data(), static_cast<qsizetype>(key.caption.size()))
                                 .toHtmlEscaped(),
                             names.join(QStringLiteral(" or ")).toHtmlEscaped());
        }
    }
    if (rows.isEmpty()) {
        prompts->Inform(QStringLiteral("No PC keys press the radio's keys."));
        return;
    }
    prompts->Inform(QStringLiteral("While the link runs, these PC keys press the radio's keys, except while "
                                   "the frequency box has the focus (there they edit the frequency, and Enter "
                                   "tunes). Shift, Ctrl and Alt must be up."),
                    QStringLiteral("<table><tr><th align=left>Radio</th><th align=left>&nbsp;&nbsp;PC</th></tr>") +
                        rows + QStringLiteral("</table>"));
}

void CFrontPanelDlg::OnSerialPorts()
{
    PortMapDialog dialog(portMapRoots, *prompts, this);
    dialog.exec();
}

void CFrontPanelDlg::OnNetworkControl()
{
    NetworkControlDialog dialog(networkControl, controlServer,
                                [this](const NetworkControlChoice& choice) { return ApplyNetworkControl(choice); },
                                this, NetworkControlFailure());
    dialog.exec();
}

QString CFrontPanelDlg::ApplyNetworkControl(const NetworkControlChoice& choice)
{
    // Unchanged, it goes on serving: the programs connected stay so.
    const bool same = controlServer.Running() && choice == networkControl;
    std::string error;
    if (!choice.on) {
        controlServer.Stop();
    } else if (!same && !controlServer.Start(ServerSettingsOf(choice), error)) {
        // What was chosen before stays, serving again where it did, and the
        // user hears why the new choice failed.
        std::string ignored;
        if (networkControl.on) {
            (void)controlServer.Start(ServerSettingsOf(networkControl), ignored);
        }
        ShowNetworkControl();
        return QString::fromStdString(error);
    }
    networkControl = choice;
    networkFailure.clear();
    SaveNetworkControl(choice);
    ShowNetworkControl();
    return {};
}

void CFrontPanelDlg::ShowNetworkControl()
{
    const bool on = controlServer.Running();
    networkSign->setText(on ? QStringLiteral("Network control on\n%1").arg(QString::fromStdString(controlServer.Endpoint()))
                            : QString());
    networkSign->setVisible(on);
}

void CFrontPanelDlg::OnTraceTraffic(bool on)
{
    if (!on) {
        trace->SwitchOff();
        return;
    }
    const QString refused = trace->SwitchOn(TracePath());
    if (!refused.isEmpty()) {
        traceAction->setChecked(false);
        prompts->Warn(refused);
        return;
    }
    prompts->Inform(QStringLiteral("Serial traffic is added to the end of this file until you untick "
                                   "\"Trace serial traffic\":"),
                    TracePath());
}

void CFrontPanelDlg::OnLogActivity(bool on)
{
    activity->SetLogging(on);
    logActivityAction->setChecked(activity->Logging());
    RememberLogActivity(activity->Logging());
}

void CFrontPanelDlg::OnActivity()
{
    if (activityWindow == nullptr) {
        activityWindow = new ActivityWindow(activity->Directory(), this);
        // Beside the panel where the screen has room, so that both are seen;
        // else where the window manager puts it.
        const QRect frame = frameGeometry();
        const QRect beside(frame.right() + 8, frame.top(), activityWindow->width(), activityWindow->height());
        if (screen() != nullptr && screen()->availableGeometry().contains(beside)) {
            activityWindow->move(beside.topLeft());
        }
    }
    activityWindow->show();
    activityWindow->raise();
    activityWindow->activateWindow();
}

QString CFrontPanelDlg::TracePath() const
{
    // In full, since the user is told where it is.
    return QFileInfo(moduleDirectory + QStringLiteral("/Ostrelle.trace")).absoluteFilePath();
}

void CFrontPanelDlg::PostRefresh()
{
    // One refresh waiting is enough: a window thread that falls behind must
    // not find a pile of them.
    if (!refreshPending.exchange(true)) {
        auto* refresh = new QEvent(QEvent::Type(WM_PANEL_REFRESH));
        MarkHandedOver(refresh);
        QCoreApplication::postEvent(this, refresh);
    }
}

void CFrontPanelDlg::OnPanelRefresh()
{
    // Only the LCD and the lamp are drawn by the dialog itself, and each pass
    // covers them whole; the status fields repaint themselves when their text
    // or state changes. Repainting the other sixty controls on every change
    // would be waste.
    const QRect lcdArea = lcdpaint::PaintedArea(lcdRect);
    const QRect lampArea = statuspaint::LampArea(lcdRect.top(), lcdRect.right() + 1);
    if (link.RefreshEveryReplyForTest()) {
        update(QRegion(lcdArea) + QRegion(lampArea));
        return;
    }
    // A status that changed only in its texts leaves the LCD alone, and a
    // lamp of the same colour is not drawn again.
    const PanelSnapshot snap = link.Snapshot();
    ApplyStatusView(statuspaint::FormatStatus(snap.status));
    FollowLinkState();
    if (shownLcd != ShownLcd{snap.lcd, CurrentMark()}) {
        update(lcdArea);
    }
    if (shownLamp != statuspaint::LampColour(LampStatus(snap.status)).rgb()) {
        update(lampArea);
    }
}

lcdpaint::LcdMark CFrontPanelDlg::CurrentMark() const
{
    // Nothing is written over a transfer's banner: no poll runs during a
    // transfer, so the state is still that of before it.
    const LinkState state = link.State();
    if (!LinkStateMarksDisplay(state) || transfer.Active()) {
        return {};
    }
    return {QString::fromStdString(LinkStateText(state, "COM " + std::to_string(comPort))), markFont};
}

RadioStatus CFrontPanelDlg::LampStatus(const RadioStatus& status) const
{
    // The lamp is the radio's: dark while the radio does not say what it is.
    if (link.State() == LinkState::NotAnswering) {
        return RadioStatus{};
    }
    return status;
}

bool CFrontPanelDlg::TransfersPossible() const
{
    return link.Running() && link.State() != LinkState::PortGone;
}

void CFrontPanelDlg::FollowLinkState()
{
    // A transfer holds the buttons itself until it has ended.
    if (!link.Running() || transfer.Active()) {
        return;
    }
    // While the port is gone no frame can go out: the keys and TUNE rest
    // with Send and Recv, as the LCD says why, until the port is back.
    const bool portThere = TransfersPossible();
    for (const int id : {1000, 1001, 1035}) {
        SetControlEnabled(id, portThere);
    }
    for (const KeyDef& key : keyTable) {
        SetControlEnabled(key.controlId, portThere);
    }
}

bool CFrontPanelDlg::event(QEvent* event)
{
    MarkTakenOver(event);
    if (event->type() == QEvent::Type(WM_PANEL_REFRESH)) {
        refreshPending = false;
        OnPanelRefresh();
        return true;
    }
    return QDialog::event(event);
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

void CFrontPanelDlg::timerEvent(QTimerEvent* event)
{
    OnTimer(event->timerId());
}

void CFrontPanelDlg::ApplyStatusView(const statuspaint::StatusView& view)
{
    SetControlText(1045, view.mode);
    SetControlEnabled(1046, view.rfSq);
    SetControlEnabled(1044, view.mute);
    SetControlText(1036, view.battery);
    SetControlText(1042, view.rssi);
    SetControlText(1043, view.centering);
    SetControlText(1052, view.frequency);
    SetControlText(1051, view.modulation);
    SetControlEnabled(1047, view.xf);
    SetControlEnabled(1048, view.hd5);
    SetControlEnabled(1049, view.hd2);
}

void CFrontPanelDlg::paintEvent(QPaintEvent* event)
{
    if (isMinimized()) {
        return;
    }
    QPainter painter(this);
    const PanelSnapshot snap = link.Snapshot();
    const QRegion& region = event->region();
    // A pass for a status field's box alone draws neither the LCD nor the
    // lamp; one that covers an area whole remembers what it showed there.
    const auto paints = [&region](const QRect& area, auto& shown, const auto& value) {
        if (!region.intersects(area)) {
            return false;
        }
        if (QRegion(area).subtracted(region).isEmpty()) {
            shown = value;
        } else {
            shown.reset();
        }
        return true;
    };
    const lcdpaint::LcdMark mark = CurrentMark();
    if (paints(lcdpaint::PaintedArea(lcdRect), shownLcd, ShownLcd{snap.lcd, mark})) {
        lcdpaint::PaintLcd(painter, lcdFont, lcdRect, snap.lcd, mark);
    }
    ApplyStatusView(statuspaint::FormatStatus(snap.status));
    FollowLinkState();
    const RadioStatus lamp = LampStatus(snap.status);
    if (paints(statuspaint::LampArea(lcdRect.top(), lcdRect.right() + 1), shownLamp,
               statuspaint::LampColour(lamp).rgb())) {
        statuspaint::PaintLamp(painter, lcdRect.top(), lcdRect.right() + 1, lamp);
    }
}

QString CFrontPanelDlg::SettingsPath() const
{
    return moduleDirectory + QStringLiteral("/Ostrelle.cfg");
}

QString CFrontPanelDlg::StorePath() const
{
    return moduleDirectory + QStringLiteral("/Ostrelle.ini");
}
