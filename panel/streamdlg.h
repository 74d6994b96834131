#pragma once

#include "audio/icecaststream.h"
#include "panel/streamchoice.h"

#include <QDialog>

#include <functional>
#include <memory>
#include <thread>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class UserPrompts;

// "Stream...": the live stream to an Icecast server, switched on and off,
// where it goes and how it sounds and is titled, with its state in words
// while the dialog is open and a test of the settings as they stand.
class StreamDialog : public QDialog {
    Q_OBJECT
public:
    // The stream's state now; asked on the window thread a few times a second.
    using StatusSource = std::function<audio::StreamStatus()>;
    // Connects once with the settings and says how it went. Runs on a thread
    // of its own and may outlive the dialog, so it must hold what it uses.
    using Tester = std::function<audio::ConnectionTest(const audio::StreamSettings&)>;

    // OK with the stream switched on and settings that cannot stream warns
    // through `prompts` and keeps the dialog open; the caller keeps and
    // applies Choice() once it is accepted. No `now`: not streaming.
    StreamDialog(const StreamChoice& current, StatusSource now, UserPrompts& prompts,
                 QWidget* parent = nullptr, Tester test = DefaultTester());
    ~StreamDialog() override;
    StreamDialog(const StreamDialog&) = delete;
    StreamDialog& operator=(const StreamDialog&) = delete;

    static Tester DefaultTester();

    StreamChoice Choice() const;
    void accept() override;
    bool Testing() const { return pending != nullptr; }

    QCheckBox* OnBox() const { return onBox; }
    QSpinBox* PortBox() const { return portBox; }
    QLineEdit* MountEdit() const { return mountEdit; }
    QLineEdit* PasswordEdit() const { return passwordEdit; }
    QLabel* StatusLabel() const { return status; }
    QPushButton* TestButton() const { return testButton; }
    QLabel* TestLabel() const { return testLabel; }

private:
    struct PendingTest;

    void StartTest();
    void CollectTest();
    void UpdateState();
    void FitText();

    StatusSource source;
    UserPrompts& prompts;
    Tester test;
    std::shared_ptr<PendingTest> pending;
    std::thread tester;
    QCheckBox* onBox = nullptr;
    QLineEdit* hostEdit = nullptr;
    QSpinBox* portBox = nullptr;
    QLineEdit* mountEdit = nullptr;
    QLineEdit* userEdit = nullptr;
    QLineEdit* passwordEdit = nullptr;
    QComboBox* formatBox = nullptr;
    QSpinBox* bitrateBox = nullptr;
    QLineEdit* nameEdit = nullptr;
    QLineEdit* descriptionEdit = nullptr;
    QLineEdit* titleEdit = nullptr;
    QLabel* titleExample = nullptr;
    QRadioButton* silenceButton = nullptr;
    QRadioButton* inputButton = nullptr;
    QLabel* status = nullptr;
    QPushButton* testButton = nullptr;
    QLabel* testLabel = nullptr;
};
