#pragma once

#include <QDialog>
#include <QString>

#include <functional>

class QCheckBox;
class QLabel;
class QRadioButton;
class QSpinBox;

namespace control {
class RigctlServer;
struct ServerSettings;
}

// What the user chose for the control server; kept in Ostrelle.ini.
struct NetworkControlChoice {
    bool on = false;
    bool allInterfaces = false; // else this computer alone
    int port = 4532;

    bool operator==(const NetworkControlChoice&) const = default;
};

// "Network control...": switches the control server on and off, chooses
// where it listens, and shows where it does and who is connected.
class NetworkControlDialog : public QDialog {
    Q_OBJECT
public:
    // `apply` puts a choice into effect and returns what went wrong (empty
    // when all went well); the dialog stays open with the reason until the
    // user mends the choice or cancels. `failed` is why `current` could not
    // be put into effect before (at start), if it could not.
    NetworkControlDialog(const NetworkControlChoice& current, const control::RigctlServer& server,
                         std::function<QString(const NetworkControlChoice&)> apply, QWidget* parent = nullptr,
                         const QString& failed = {});

    NetworkControlChoice Choice() const;
    void accept() override;

    QCheckBox* OnBox() const { return onBox; }
    QRadioButton* LocalButton() const { return localButton; }
    QRadioButton* AllInterfacesButton() const { return allButton; }
    QSpinBox* PortBox() const { return portBox; }
    QLabel* StatusLabel() const { return status; }
    QLabel* WarningLabel() const { return warning; }
    QLabel* HowToLabel() const { return howTo; }

private:
    void UpdateState();

    const control::RigctlServer& server;
    std::function<QString(const NetworkControlChoice&)> apply;
    QString failure;
    NetworkControlChoice failedChoice;
    QCheckBox* onBox = nullptr;
    QRadioButton* localButton = nullptr;
    QRadioButton* allButton = nullptr;
    QSpinBox* portBox = nullptr;
    QLabel* warning = nullptr;
    QLabel* status = nullptr;
    QLabel* howTo = nullptr;
};

// Where the server listens and how many programs it serves, in a sentence.
QString NetworkControlStatus(const control::RigctlServer& server);

// Where the server listens for a choice.
control::ServerSettings ServerSettingsOf(const NetworkControlChoice& choice);
