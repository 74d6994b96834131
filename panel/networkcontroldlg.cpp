#include "panel/networkcontroldlg.h"

#include "control/rigctlserver.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QRadioButton>
#include <QSpinBox>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include <initializer_list>

namespace {

// The count of clients changes while the dialog is open.
constexpr int STATUS_REFRESH_MS = 500;

} // namespace

control::ServerSettings ServerSettingsOf(const NetworkControlChoice& choice)
{
    control::ServerSettings settings;
    settings.address = choice.allInterfaces ? control::ALL_INTERFACES_ADDRESS : control::LOOPBACK_ADDRESS;
    settings.port = static_cast<uint16_t>(choice.port);
    return settings;
}

QString NetworkControlStatus(const control::RigctlServer& server)
{
    if (!server.Running()) {
        return QStringLiteral("Off: no program can reach the radio.");
    }
    const int clients = server.Clients();
    return QStringLiteral("Listening on %1; %2 connected.")
        .arg(QString::fromStdString(server.Endpoint()),
             clients == 1 ? QStringLiteral("1 program") : QStringLiteral("%1 programs").arg(clients));
}

NetworkControlDialog::NetworkControlDialog(const NetworkControlChoice& current, const control::RigctlServer& server,
                                           std::function<QString(const NetworkControlChoice&)> apply,
                                           QWidget* parent, const QString& failed)
    : QDialog(parent), server(server), apply(std::move(apply)), failure(failed), failedChoice(current)
{
    setWindowTitle(QStringLiteral("Network control"));
    auto* layout = new QVBoxLayout(this);

    onBox = new QCheckBox(QStringLiteral("Let other programs drive the radio over the network"), this);
    onBox->setChecked(current.on);
    layout->addWidget(onBox);

    auto* form = new QFormLayout;
    auto* where = new QVBoxLayout;
    localButton = new QRadioButton(QStringLiteral("This computer only (127.0.0.1)"), this);
    allButton = new QRadioButton(QStringLiteral("All network interfaces"), this);
    (current.allInterfaces ? allButton : localButton)->setChecked(true);
    where->addWidget(localButton);
    where->addWidget(allButton);
    form->addRow(QStringLiteral("Listen on:"), where);
    portBox = new QSpinBox(this);
    portBox->setRange(1, 65535);
    portBox->setValue(current.port);
    portBox->setMaximumWidth(portBox->fontMetrics().horizontalAdvance(QStringLiteral("000000")) * 2);
    form->addRow(QStringLiteral("Port:"), portBox);
    layout->addLayout(form);

    auto* warningRow = new QHBoxLayout;
    auto* icon = new QLabel(this);
    const int side = style()->pixelMetric(QStyle::PM_SmallIconSize);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(side, side));
    warning = new QLabel(QStringLiteral("Anyone who can reach this computer over the network can then tune the "
                                        "radio: there is no password."),
                         this);
    warning->setWordWrap(true);
    // The warning keeps its place while hidden: the dialog does not jump.
    for (QWidget* w : {static_cast<QWidget*>(icon), static_cast<QWidget*>(warning)}) {
        QSizePolicy policy = w->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        w->setSizePolicy(policy);
    }
    warningRow->addWidget(icon, 0, Qt::AlignTop);
    warningRow->addWidget(warning, 1);
    layout->addLayout(warningRow);
    connect(allButton, &QRadioButton::toggled, icon, &QWidget::setVisible);

    status = new QLabel(this);
    status->setWordWrap(true);
    status->setTextFormat(Qt::PlainText);
    layout->addWidget(status);
    howTo = new QLabel(this);
    howTo->setWordWrap(true);
    howTo->setTextFormat(Qt::PlainText);
    layout->addWidget(howTo);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &NetworkControlDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &NetworkControlDialog::reject);
    layout->addWidget(buttons);

    for (QAbstractButton* button : std::initializer_list<QAbstractButton*>{onBox, localButton, allButton}) {
        connect(button, &QAbstractButton::toggled, this, [this] { UpdateState(); });
    }
    connect(portBox, &QSpinBox::valueChanged, this, [this] { UpdateState(); });
    auto* refresh = new QTimer(this);
    connect(refresh, &QTimer::timeout, this, [this] { UpdateState(); });
    refresh->start(STATUS_REFRESH_MS);
    icon->setVisible(current.allInterfaces);
    UpdateState();
    setFixedWidth(fontMetrics().averageCharWidth() * 72);
}

NetworkControlChoice NetworkControlDialog::Choice() const
{
    return {onBox->isChecked(), allButton->isChecked(), portBox->value()};
}

void NetworkControlDialog::UpdateState()
{
    const NetworkControlChoice choice = Choice();
    if (choice != failedChoice) {
        failure.clear(); // the reason was for another choice
    }
    localButton->setEnabled(choice.on);
    allButton->setEnabled(choice.on);
    portBox->setEnabled(choice.on);
    warning->setVisible(choice.allInterfaces);
    warning->setEnabled(choice.on);
    // The line tells what is, and what OK will change, so that a ticked box
    // beside "Off" does not read as a server that failed to start.
    QString now = NetworkControlStatus(server);
    if (choice.on && !server.Running()) {
        now = QStringLiteral("Off: starts listening when you press OK.");
    } else if (!choice.on && server.Running()) {
        now += QStringLiteral(" Stops when you press OK.");
    }
    status->setText(failure.isEmpty() ? now : failure);
    // Where to point the other programs, but not at a port just found taken:
    // they would reach the program that holds it.
    if (!failure.isEmpty()) {
        howTo->clear();
        return;
    }
    const QString where = choice.allInterfaces
                              ? QStringLiteral("this computer's network address with the port %1 (127.0.0.1:%1 "
                                               "on this computer)")
                              : QStringLiteral("the address 127.0.0.1:%1");
    howTo->setText(QStringLiteral("In gpredict, WSJT-X, fldigi or rigctl choose Hamlib's model 2 (NET rigctl) "
                                  "and %1.")
                       .arg(where.arg(choice.port)));
    howTo->setEnabled(choice.on);
}

void NetworkControlDialog::accept()
{
    failedChoice = Choice();
    failure = apply(failedChoice);
    if (!failure.isEmpty()) {
        UpdateState();
        return;
    }
    QDialog::accept();
}
