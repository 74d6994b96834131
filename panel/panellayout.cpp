#include "panel/cfrontpaneldlg.h"

#include "panel/dialogunits.h"
#include "panel/portmapdlg.h"
#include "panel/resourcestrings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include <array>

// The dialog's controls: the template they are made from, where they stand,
// and the states they start in.

namespace {

enum class Kind { DigitsEdit, Edit, Button, Frame, Keys, Label, KeyCaption, Combo, Group, ValueField, Check, Unit };

// One control of the panel's template.
struct ControlDef {
    ControlId id = ControlId::None;
    Kind kind = Kind::Label;
    const char* caption = "";
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The template in its order, which is also the tab order. The 34 keys stand
// where the Keys entry is, in the order of the key table (keyButtons).
constexpr std::array<ControlDef, 44> panelTemplate{{
    {ControlId::ComPort, Kind::DigitsEdit, "", 50, 3, 25, 14},
    {ControlId::StartStop, Kind::Button, "START", 89, 3, 56, 14},
    {ControlId::SendImage, Kind::Button, "Send to PC/IF", 160, 3, 87, 14},
    {ControlId::ReceiveImage, Kind::Button, "Recv from PC/IF", 250, 3, 87, 14},
    {ControlId::LcdFrame, Kind::Frame, "", 116, 40, 186, 68},
    {ControlId::None, Kind::Keys},
    {ControlId::Exit, Kind::Button, "Exit", 359, 3, 50, 14},
    {ControlId::None, Kind::Label, "COM Port", 5, 5, 40, 8},
    {ControlId::None, Kind::KeyCaption, "LOCK", 270, 129, 32, 8},
    {ControlId::None, Kind::KeyCaption, "SS", 270, 154, 32, 8},
    {ControlId::None, Kind::KeyCaption, "VS", 232, 254, 32, 8},
    {ControlId::None, Kind::KeyCaption, "SW", 270, 230, 32, 8},
    {ControlId::None, Kind::KeyCaption, "DELAY", 191, 279, 32, 8},
    {ControlId::None, Kind::KeyCaption, "ABC", 153, 204, 32, 8},
    {ControlId::None, Kind::KeyCaption, "DEF", 191, 204, 32, 8},
    {ControlId::None, Kind::KeyCaption, "GHI", 116, 230, 32, 8},
    {ControlId::None, Kind::KeyCaption, "JKL", 153, 230, 32, 8},
    {ControlId::None, Kind::KeyCaption, "MNO", 191, 230, 32, 8},
    {ControlId::None, Kind::KeyCaption, "PQRS", 115, 254, 32, 8},
    {ControlId::None, Kind::KeyCaption, "TUV", 153, 254, 32, 8},
    {ControlId::None, Kind::KeyCaption, "WXYZ", 191, 254, 32, 8},
    // The list's height of 45 units is that of the opened list; closed, the
    // box is as tall as an edit.
    {ControlId::TuneModulation, Kind::Combo, "", 40, 150, 50, 14},
    {ControlId::Tune, Kind::Button, "TUNE", 30, 180, 56, 14},
    {ControlId::None, Kind::Group, "TUNE Mode", 5, 118, 100, 82},
    {ControlId::None, Kind::Label, "Battery", 320, 148, 40, 8},
    {ControlId::Battery, Kind::ValueField, "Battery", 366, 148, 44, 13},
    {ControlId::None, Kind::Label, "RSSI", 320, 164, 40, 8},
    {ControlId::Rssi, Kind::ValueField, "RSSI", 366, 164, 44, 13},
    {ControlId::None, Kind::Label, "Centermeter", 320, 180, 40, 8},
    {ControlId::Centermeter, Kind::ValueField, "Centermeter", 366, 180, 44, 13},
    {ControlId::Mute, Kind::ValueField, "MUTE", 366, 132, 44, 13},
    {ControlId::None, Kind::Label, "Mode", 320, 119, 40, 8},
    {ControlId::Mode, Kind::ValueField, "Mode", 366, 118, 44, 13},
    {ControlId::RfSq, Kind::ValueField, "RF SQ", 320, 132, 40, 13},
    {ControlId::Xf, Kind::ValueField, "/XF", 318, 216, 30, 10},
    {ControlId::Hd5, Kind::ValueField, "/HD5", 349, 216, 30, 10},
    {ControlId::Hd2, Kind::ValueField, "/HD2", 380, 216, 30, 10},
    {ControlId::Modulation, Kind::ValueField, "", 386, 204, 24, 10},
    {ControlId::Frequency, Kind::ValueField, "", 318, 204, 67, 10},
    // The frequency box gives up the room of its unit, without which "25"
    // could be anything.
    {ControlId::TuneFrequency, Kind::Edit, "", 15, 130, 62, 14},
    {ControlId::None, Kind::Unit, "MHz", 79, 130, 22, 14},
    {ControlId::EnableLcdPolls, Kind::Check, "Enable LCD Polls", 5, 40, 90, 10},
}};

constexpr int KEY_WIDTH = 32;
constexpr int KEY_HEIGHT = 14;
constexpr int TEMPLATE_WIDTH = 416;
constexpr int TEMPLATE_HEIGHT = 306;

// The controls that only make sense while the link runs.
constexpr std::array<ControlId, 5> linkControls{ControlId::SendImage, ControlId::ReceiveImage, ControlId::Tune,
                                               ControlId::TuneFrequency, ControlId::TuneModulation};
// The status indicators, which status painting enables.
constexpr std::array<ControlId, 5> indicatorControls{ControlId::RfSq, ControlId::Mute, ControlId::Xf, ControlId::Hd5,
                                                    ControlId::Hd2};

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

} // namespace
void CFrontPanelDlg::CreateControls()
{
    setFixedSize(dlu::X(TEMPLATE_WIDTH), dlu::Y(TEMPLATE_HEIGHT));
    QWidget* previousTabStop = nullptr;
    const auto addTabStop = [&](QWidget* widget) {
        if (previousTabStop != nullptr) {
            QWidget::setTabOrder(previousTabStop, widget);
        }
        previousTabStop = widget;
    };
    const auto name = [](QWidget* widget, int id) {
        if (id != Id(ControlId::None)) {
            widget->setObjectName(QString::number(id));
        }
    };
    const auto plainLabel = [this](const QString& text, Qt::Alignment alignment) {
        auto* label = new QLabel(text, this);
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(alignment);
        return label;
    };
    QGroupBox* group = nullptr;

    for (const ControlDef& def : panelTemplate) {
        const QString caption = QString::fromLatin1(def.caption);
        QRect rect = dlu::Rect(def.x, def.y, def.width, def.height);
        QWidget* widget = nullptr;
        switch (def.kind) {
        case Kind::Keys:
            for (std::size_t i = 0; i < keyButtons.size(); ++i) {
                const KeyButton& key = keyButtons[i];
                auto* button = new QPushButton(QString::fromLatin1(keyTable[i].caption), this);
                name(button, key.controlId);
                button->setGeometry(dlu::Rect(key.x, key.y, KEY_WIDTH, KEY_HEIGHT));
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
                portEdit = edit;
            } else {
                frequencyEdit = edit;
            }
            widget = edit;
            break;
        }
        case Kind::Button:
            widget = new QPushButton(caption, this);
            break;
        case Kind::Frame:
            lcdFrame = new QLabel(this);
            lcdFrame->setFrameShape(QFrame::Box);
            lcdFrame->setVisible(false);
            widget = lcdFrame;
            break;
        case Kind::Label:
        case Kind::KeyCaption: {
            auto* label = plainLabel(caption, def.kind == Kind::Label ? (Qt::AlignRight | Qt::AlignTop)
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
        case Kind::Unit:
            // On the line of the box's text to its left.
            widget = plainLabel(caption, Qt::AlignLeft | Qt::AlignVCenter);
            break;
        case Kind::ValueField: {
            auto* label = plainLabel(caption, Qt::AlignCenter);
            label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            widget = label;
            break;
        }
        case Kind::Combo:
            modulationBox = new QComboBox(this);
            for (const std::string_view name : tuneModulationNames) {
                modulationBox->addItem(QString::fromLatin1(name));
            }
            widget = modulationBox;
            break;
        case Kind::Group:
            group = new QGroupBox(caption, this);
            group->setAlignment(Qt::AlignHCenter);
            widget = group;
            break;
        case Kind::Check:
            pollsCheck = new QCheckBox(caption, this);
            connect(pollsCheck, &QCheckBox::clicked, this, [this] { OnEnableLcdPolls(); });
            widget = pollsCheck;
            break;
        }
        widget->setGeometry(rect);
        name(widget, Id(def.id));
        if (def.id != ControlId::None) {
            controls.insert(Id(def.id), widget);
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

    ConnectControls();
}

void CFrontPanelDlg::ConnectControls()
{
    const auto button = [this](ControlId id) { return qobject_cast<QPushButton*>(Control(Id(id))); };
    connect(button(ControlId::StartStop), &QPushButton::clicked, this, [this] { OnStartStop(); });
    connect(button(ControlId::SendImage), &QPushButton::clicked, this, [this] { OnSendImage(); });
    connect(button(ControlId::ReceiveImage), &QPushButton::clicked, this, [this] { OnReceiveImage(); });
    connect(button(ControlId::Exit), &QPushButton::clicked, this, [this] { OnOK(); });
    button(ControlId::Tune)->setDefault(true);
    connect(button(ControlId::Tune), &QPushButton::clicked, this, [this] { OnTune(); });
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

    for (const ControlId id : linkControls) {
        SetControlEnabled(id, false);
    }
    for (const ControlId id : indicatorControls) {
        SetControlEnabled(id, false);
    }

    setWindowTitle(QString::asprintf("Quelmar Demo   version %d.%02d", version.major, version.minor));

    LoadSettings();
    RestoreNetworkControl();
    ShowNetworkControl();
    RestoreSound();

    // The LCD is laid out over the key F2, the middle of the top row.
    if (QWidget* f2 = Control(KeyControlId(KeyByCaption("F2")->code))) {
        lcdRect = lcdpaint::LayoutLcd(lcdFont, f2->geometry(), this);
    }
    portEdit->setFocus();
    return true;
}

void CFrontPanelDlg::SetControlText(ControlId id, const QString& text)
{
    if (auto* label = qobject_cast<QLabel*>(Control(Id(id)))) {
        if (label->text() != text) {
            label->setText(text);
        }
    } else if (auto* button = qobject_cast<QPushButton*>(Control(Id(id)))) {
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
    SetControlText(ControlId::StartStop, running ? QStringLiteral("STOP") : QStringLiteral("START"));
    SetControlEnabled(ControlId::ComPort, !running);
    for (const ControlId id : linkControls) {
        SetControlEnabled(id, running);
    }
    // The keys are enabled in every state; only a port gone rests them.
    for (const KeyButton& key : keyButtons) {
        SetControlEnabled(key.controlId, true);
    }
}

void CFrontPanelDlg::ApplyStatusView(const statuspaint::StatusView& view)
{
    SetControlText(ControlId::Mode, view.mode);
    SetControlEnabled(ControlId::RfSq, view.rfSq);
    SetControlEnabled(ControlId::Mute, view.mute);
    SetControlText(ControlId::Battery, view.battery);
    SetControlText(ControlId::Rssi, view.rssi);
    SetControlText(ControlId::Centermeter, view.centering);
    SetControlText(ControlId::Frequency, view.frequency);
    SetControlText(ControlId::Modulation, view.modulation);
    SetControlEnabled(ControlId::Xf, view.xf);
    SetControlEnabled(ControlId::Hd5, view.hd5);
    SetControlEnabled(ControlId::Hd2, view.hd2);
}
