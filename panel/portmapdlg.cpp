#include "panel/portmapdlg.h"

#include "serial/portname.h"
#include "panel/userprompts.h"

#include <QComboBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

enum Column : int { NumberColumn = 0, DeviceColumn = 1, ConditionColumn = 2, ColumnCount = 3 };

QString Q(const std::string& text)
{
    return QString::fromStdString(text);
}

const PortEntry* EntryOf(const std::vector<PortEntry>& entries, long number)
{
    const auto it = std::find_if(entries.begin(), entries.end(),
                                 [number](const PortEntry& e) { return e.number == number; });
    return it == entries.end() ? nullptr : &*it;
}

} // namespace

PortMapDialog::PortMapDialog(const PortMapRoots& roots, UserPrompts& prompts, QWidget* parent)
    : QDialog(parent), roots(roots), prompts(prompts)
{
    setWindowTitle(QStringLiteral("Serial ports"));
    auto* layout = new QVBoxLayout(this);

    heading = new QLabel(this);
    heading->setWordWrap(true);
    heading->setTextFormat(Qt::PlainText);
    layout->addWidget(heading);

    table = new QTableWidget(0, ColumnCount, this);
    table->setHorizontalHeaderLabels(
        {QStringLiteral("COM"), QStringLiteral("Device"), QStringLiteral("Condition")});
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setSectionResizeMode(DeviceColumn, QHeaderView::Stretch);
    table->setMinimumWidth(640);
    layout->addWidget(table);

    auto* assignRow = new QHBoxLayout;
    assignRow->addWidget(new QLabel(QStringLiteral("COM"), this));
    numberBox = new QSpinBox(this);
    numberBox->setRange(LOWEST_COM_PORT, HIGHEST_COM_PORT);
    assignRow->addWidget(numberBox);
    assignRow->addWidget(new QLabel(QStringLiteral("is"), this));
    deviceBox = new QComboBox(this);
    deviceBox->setEditable(true);
    deviceBox->setInsertPolicy(QComboBox::NoInsert);
    deviceBox->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    deviceBox->lineEdit()->setPlaceholderText(QStringLiteral("/dev/ttyUSB0"));
    assignRow->addWidget(deviceBox, 1);
    assignButton = new QPushButton(QStringLiteral("Assign"), this);
    assignRow->addWidget(assignButton);
    layout->addLayout(assignRow);

    auto* buttons = new QHBoxLayout;
    keepButton = new QPushButton(QStringLiteral("Keep proposal"), this);
    removeButton = new QPushButton(QStringLiteral("Remove"), this);
    auto* refreshButton = new QPushButton(QStringLiteral("Refresh"), this);
    closeButton = new QPushButton(QStringLiteral("Close"), this);
    buttons->addWidget(keepButton);
    buttons->addWidget(removeButton);
    buttons->addStretch(1);
    buttons->addWidget(refreshButton);
    buttons->addWidget(closeButton);
    layout->addLayout(buttons);

    connect(assignButton, &QPushButton::clicked, this, [this] { Assign(); });
    connect(removeButton, &QPushButton::clicked, this, [this] { RemoveSelected(); });
    connect(keepButton, &QPushButton::clicked, this, [this] { KeepProposal(); });
    connect(refreshButton, &QPushButton::clicked, this, [this] { Refresh(); });
    connect(closeButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(table, &QTableWidget::itemSelectionChanged, this, [this] { UpdateButtons(); });

    Refresh();
}

void PortMapDialog::Refresh()
{
    entries = ReadPortMap(roots);
    showsProposal = entries.empty();
    if (showsProposal) {
        entries = ProposePortMap(roots);
    }
    QString headingText = Q(PortMapHeading(roots.portsDirectory, showsProposal, entries.size()));
    if (showsProposal && entries.empty()) {
        headingText += QStringLiteral(" Plug the cable in and refresh, or name a device below.");
    }
    heading->setText(headingText);
    FillTable();

    const QString typed = deviceBox->currentText();
    deviceBox->clear();
    // Stable names first, then the plain nodes; each says what it is now.
    for (const SerialDevice& device : ListAllSerialDevices(roots)) {
        const QString condition = Q(DescribePortState(device.state));
        deviceBox->addItem(device.path == device.device
                               ? Q(device.path) + QStringLiteral("  (") + condition + QStringLiteral(")")
                               : Q(device.name) + QStringLiteral("  (") + Q(device.device) + QStringLiteral(", ") +
                                     condition + QStringLiteral(")"),
                           Q(device.path));
    }
    deviceBox->setCurrentText(typed.isEmpty() && deviceBox->count() > 0 ? deviceBox->itemText(0) : typed);

    // The first number the map leaves free.
    int free = 1;
    while (free < HIGHEST_COM_PORT && !showsProposal && EntryOf(entries, free) != nullptr) {
        ++free;
    }
    numberBox->setValue(free);
    UpdateButtons();
}

void PortMapDialog::FillTable()
{
    table->clearContents();
    table->setRowCount(static_cast<int>(entries.size()));
    for (int row = 0; row < table->rowCount(); ++row) {
        const PortEntry& entry = entries[static_cast<size_t>(row)];
        QString number = QStringLiteral("COM%1").arg(entry.number);
        if (showsProposal) {
            number += QStringLiteral(" (proposed)");
        }
        const QString texts[ColumnCount] = {number, Q(PortEntryDeviceText(entry)), Q(PortEntryConditionText(entry))};
        for (int column = 0; column < ColumnCount; ++column) {
            table->setItem(row, column, new QTableWidgetItem(texts[column]));
        }
    }
    table->resizeColumnToContents(NumberColumn);
    table->resizeColumnToContents(ConditionColumn);
}

void PortMapDialog::UpdateButtons()
{
    keepButton->setVisible(showsProposal);
    // Enter keeps a proposal or closes; it never writes a link by accident.
    assignButton->setAutoDefault(false);
    (showsProposal && !entries.empty() ? keepButton : closeButton)->setDefault(true);
    (showsProposal && !entries.empty() ? closeButton : keepButton)->setDefault(false);
    keepButton->setEnabled(showsProposal && !entries.empty());
    removeButton->setEnabled(!showsProposal && table->currentRow() >= 0 && !table->selectedItems().isEmpty());
}

void PortMapDialog::Fail(const QString& what, const std::string& error)
{
    prompts.Warn(what, Q(error));
    Refresh();
}

bool PortMapDialog::Assign()
{
    const int number = numberBox->value();
    QString target = deviceBox->currentText().trimmed();
    const int item = deviceBox->findText(target);
    if (item >= 0) {
        target = deviceBox->itemData(item).toString();
    }
    // A radio on another machine is named as the map's files name it.
    const bool endpoint = IsNetworkEndpoint(target.toStdString());
    if (!endpoint && !target.startsWith(QLatin1Char('/'))) {
        prompts.Warn(QStringLiteral("Unable to assign COM %1").arg(number),
                     QStringLiteral("Name the device by its full path, say /dev/ttyUSB0, or a radio on another "
                                    "machine as rfc2217://HOST:PORT or tcp://HOST:PORT."));
        return false;
    }
    bool replaceFile = false;
    const PortEntry* existing = showsProposal ? nullptr : EntryOf(entries, number);
    if (existing != nullptr && existing->kind != PortEntryKind::Link) {
        const QString what = existing->kind == PortEntryKind::Network
                                 ? QStringLiteral("COM %1 is the network endpoint %2.").arg(number).arg(Q(existing->target))
                                 : QStringLiteral("COM %1 is %2.").arg(number).arg(Q(existing->target));
        const QString with = endpoint ? target : QStringLiteral("a link to %1").arg(target);
        if (!prompts.Confirm(what + QStringLiteral(" Replace it with %1?").arg(with))) {
            return false;
        }
        replaceFile = true;
    }
    std::string error;
    const bool written = endpoint ? WritePortEndpoint(roots, number, target.toStdString(), replaceFile, error)
                                  : WritePortLink(roots, number, target.toStdString(), replaceFile, error);
    if (!written) {
        Fail(QStringLiteral("Unable to assign COM %1").arg(number), error);
        return false;
    }
    Refresh();
    return true;
}

bool PortMapDialog::RemoveSelected()
{
    const int row = table->currentRow();
    if (showsProposal || row < 0 || row >= static_cast<int>(entries.size())) {
        return false;
    }
    const PortEntry entry = entries[static_cast<size_t>(row)];
    const bool isFile = entry.kind != PortEntryKind::Link;
    if (isFile && !prompts.Confirm(
                      QStringLiteral("Remove COM %1, %2?").arg(entry.number).arg(Q(PortEntryDeviceText(entry))))) {
        return false;
    }
    std::string error;
    if (!RemovePortLink(roots, entry.number, isFile, error)) {
        Fail(QStringLiteral("Unable to remove COM %1").arg(entry.number), error);
        return false;
    }
    Refresh();
    return true;
}

bool PortMapDialog::KeepProposal()
{
    if (!showsProposal || entries.empty()) {
        return false;
    }
    std::string error;
    const bool kept = ::KeepProposal(roots, entries, error);
    if (!kept) {
        Fail(QStringLiteral("Unable to keep the proposal"), error);
        return false;
    }
    Refresh();
    return true;
}

QString PortMapToolTip(const PortMapRoots& roots, long number)
{
    std::vector<PortEntry> entries = ReadPortMap(roots);
    QStringList lines;
    const PortEntry* current = EntryOf(entries, number);
    if (number >= 0) {
        lines << (current != nullptr ? Q(DescribePortEntry(*current)) : Q(PortFallbackText(number)));
    }
    QStringList others;
    if (entries.empty()) {
        entries = ProposePortMap(roots);
        if (entries.empty()) {
            others << QStringLiteral("No ports/ links: COM<n> opens /dev/ttyS<n-1>.");
        } else {
            others << QStringLiteral("No ports/ links yet. Proposed from the devices plugged in:");
        }
    } else if (current == nullptr) {
        others << QStringLiteral("The COM map:");
    } else if (entries.size() > 1) {
        // The entry of the box's own number stands above already.
        others << QStringLiteral("The rest of the COM map:");
    }
    for (const PortEntry& entry : entries) {
        const QString line = Q(DescribePortEntry(entry));
        if (!lines.contains(line)) {
            others << line;
        }
    }
    if (!others.isEmpty()) {
        if (!lines.isEmpty()) {
            lines << QString();
        }
        lines << others;
    }
    lines << QString() << QStringLiteral("Right-click the panel and choose Serial ports... to change it.");
    return lines.join(QLatin1Char('\n'));
}

QString PortMapHint(const PortMapRoots& roots, long number)
{
    const std::vector<PortEntry> entries = ReadPortMap(roots);
    if (EntryOf(entries, number) != nullptr) {
        return {};
    }
    const std::vector<PortEntry> proposal = entries.empty() ? ProposePortMap(roots) : std::vector<PortEntry>{};
    if (proposal.empty()) {
        return QStringLiteral(" Right-click the panel and choose Serial ports... to give your cable this number.");
    }
    QString hint = QStringLiteral("\n\nSerial devices are plugged in: right-click the panel, choose Serial ports... "
                                  "and keep the proposed numbers:");
    for (const PortEntry& entry : proposal) {
        hint += QStringLiteral("\n") + Q(DescribePortEntry(entry));
    }
    return hint;
}

PortMapToolTipFilter::PortMapToolTipFilter(std::function<PortMapRoots()> roots, QObject* parent)
    : QObject(parent), roots(std::move(roots))
{
}

bool PortMapToolTipFilter::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        if (auto* edit = qobject_cast<QLineEdit*>(watched)) {
            bool ok = false;
            const long number = edit->text().trimmed().toLong(&ok);
            edit->setToolTip(PortMapToolTip(roots(), ok ? number : -1));
        }
    }
    return QObject::eventFilter(watched, event);
}
