#pragma once

#include "serial/portmap.h"

#include <QDialog>
#include <QObject>
#include <QString>

#include <functional>
#include <vector>

class QComboBox;
class QLabel;
class QPushButton;
class QSpinBox;
class QTableWidget;
class UserPrompts;

// "Serial ports...": the COM map with each entry's device and state, and the
// means to change it. The ports/ links are written and removed here; a
// proposal is only shown until the user keeps it.
class PortMapDialog : public QDialog {
    Q_OBJECT
public:
    PortMapDialog(const PortMapRoots& roots, UserPrompts& prompts, QWidget* parent = nullptr);

    // Reads the map, the proposal and the devices again.
    void Refresh();
    // Points the number box's COM number at the device box's device.
    bool Assign();
    // Removes the entry of the selected row.
    bool RemoveSelected();
    // Writes the shown proposal.
    bool KeepProposal();

    QTableWidget* Table() const { return table; }
    QSpinBox* NumberBox() const { return numberBox; }
    QComboBox* DeviceBox() const { return deviceBox; }
    QPushButton* KeepButton() const { return keepButton; }
    QPushButton* RemoveButton() const { return removeButton; }
    bool ShowsProposal() const { return showsProposal; }

private:
    void FillTable();
    void UpdateButtons();
    void Fail(const QString& what, const std::string& error);

    PortMapRoots roots;
    UserPrompts& prompts;
    std::vector<PortEntry> entries;
    bool showsProposal = false;

    QLabel* heading = nullptr;
    QTableWidget* table = nullptr;
    QSpinBox* numberBox = nullptr;
    QComboBox* deviceBox = nullptr;
    QPushButton* assignButton = nullptr;
    QPushButton* removeButton = nullptr;
    QPushButton* keepButton = nullptr;
    QPushButton* closeButton = nullptr;
};

// The map as a tooltip: where COM `number` leads, then every entry (or the
// proposal when there are none).
QString PortMapToolTip(const PortMapRoots& roots, long number);

// What START's failure adds when a COM number without an entry found no
// device: where the devices plugged in can be given numbers, with the
// proposal when there is one. Empty when the number has an entry.
QString PortMapHint(const PortMapRoots& roots, long number);

// Sets a port box's tooltip from the map each time one is about to be shown,
// so that it tells the state of the moment and costs nothing otherwise.
class PortMapToolTipFilter : public QObject {
    Q_OBJECT
public:
    PortMapToolTipFilter(std::function<PortMapRoots()> roots, QObject* parent);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<PortMapRoots()> roots;
};
