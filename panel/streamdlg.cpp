#include "panel/streamdlg.h"

#include "panel/userprompts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include <mutex>

namespace {

// The state changes while the dialog is open (a lost server, a retry).
constexpr int STATUS_REFRESH_MS = 500;
// How soon a finished test is seen.
constexpr int TEST_POLL_MS = 50;
// A test waits this long for the server, and as long again for its reason
// when it refuses: about ten seconds at the most.
constexpr uint32_t TEST_LIMIT_MS = 5000;

// The call the title's example shows.
const audio::CallFields EXAMPLE_CALL{"460.0250", "NFM", "SCAN", "CH 12 FIRE"};

QString Q(const std::string& text)
{
    return QString::fromStdString(text);
}

std::string S(const QLineEdit* edit)
{
    return edit->text().trimmed().toStdString();
}

QLineEdit* AddLine(QFormLayout* form, const QString& caption, const std::string& value, QWidget* parent)
{
    auto* edit = new QLineEdit(Q(value), parent);
    form->addRow(caption, edit);
    return edit;
}

// A label for what the stream and the server say: plain text, wrapped,
// with room for `lines` lines, so that a reason of some length does not
// make the dialog jump.
QLabel* Sentences(QWidget* parent, int lines = 3)
{
    auto* label = new QLabel(parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setMinimumHeight(label->fontMetrics().lineSpacing() * lines);
    return label;
}

// Room for `widest` and the box's arrows.
int NumberWidth(const QWidget* box, const QString& widest)
{
    return box->fontMetrics().horizontalAdvance(widest) * 2;
}

} // namespace

// What the test's thread hands to the window thread; the dialog looks at it
// on a timer, so the thread never touches a widget or a dialog that is gone.
struct StreamDialog::PendingTest {
    std::mutex lock;
    bool done = false;
    audio::ConnectionTest result;
};

StreamDialog::Tester StreamDialog::DefaultTester()
{
    return [](const audio::StreamSettings& settings) { return audio::TestIcecastConnection(settings, TEST_LIMIT_MS); };
}

StreamDialog::StreamDialog(const StreamChoice& current, StatusSource now, UserPrompts& prompts, QWidget* parent,
                           Tester test)
    : QDialog(parent), source(std::move(now)), prompts(prompts), test(std::move(test))
{
    setWindowTitle(QStringLiteral("Stream"));
    const audio::StreamSettings& s = current.settings;
    auto* layout = new QVBoxLayout(this);

    onBox = new QCheckBox(QStringLiteral("Stream what the radio hears"), this);
    onBox->setChecked(current.on);
    layout->addWidget(onBox);

    auto* server = new QGroupBox(QStringLiteral("Icecast server"), this);
    auto* serverForm = new QFormLayout(server);
    hostEdit = AddLine(serverForm, QStringLiteral("Host:"), s.host, server);
    portBox = new QSpinBox(server);
    portBox->setRange(1, 65535);
    portBox->setValue(s.port);
    portBox->setMaximumWidth(NumberWidth(portBox, QStringLiteral("000000")));
    serverForm->addRow(QStringLiteral("Port:"), portBox);
    mountEdit = AddLine(serverForm, QStringLiteral("Mount:"), s.mount, server);
    mountEdit->setPlaceholderText(QStringLiteral("/scanner"));
    userEdit = AddLine(serverForm, QStringLiteral("User:"), s.user, server);
    passwordEdit = AddLine(serverForm, QStringLiteral("Password:"), s.password, server);
    passwordEdit->setEchoMode(QLineEdit::Password);
    testButton = new QPushButton(QStringLiteral("Test"), server);
    testButton->setAutoDefault(false);
    auto* testRow = new QHBoxLayout;
    testRow->addWidget(testButton);
    testRow->addStretch(1);
    serverForm->addRow(QString(), testRow);
    testLabel = Sentences(server);
    serverForm->addRow(testLabel);
    layout->addWidget(server);

    auto* sound = new QGroupBox(QStringLiteral("Sound"), this);
    auto* soundForm = new QFormLayout(sound);
    formatBox = new QComboBox(sound);
    formatBox->addItem(QString::fromLatin1(audio::StreamFormatName(audio::StreamFormat::Mp3)));
    formatBox->addItem(QString::fromLatin1(audio::StreamFormatName(audio::StreamFormat::OggOpus)));
    formatBox->setCurrentIndex(s.format == audio::StreamFormat::OggOpus ? 1 : 0);
    soundForm->addRow(QStringLiteral("Format:"), formatBox);
    bitrateBox = new QSpinBox(sound);
    bitrateBox->setRange(audio::MIN_STREAM_KBPS, audio::MAX_STREAM_KBPS);
    bitrateBox->setValue(s.bitrateKbps);
    bitrateBox->setSuffix(QStringLiteral(" kb/s"));
    bitrateBox->setMaximumWidth(NumberWidth(bitrateBox, QStringLiteral("000 kb/s")));
    soundForm->addRow(QStringLiteral("Bit rate:"), bitrateBox);
    auto* between = new QVBoxLayout;
    silenceButton = new QRadioButton(QStringLiteral("Silence"), sound);
    inputButton = new QRadioButton(QStringLiteral("The squelched input"), sound);
    (s.betweenCalls == audio::BetweenCalls::Input ? inputButton : silenceButton)->setChecked(true);
    between->addWidget(silenceButton);
    between->addWidget(inputButton);
    soundForm->addRow(QStringLiteral("Between calls:"), between);
    layout->addWidget(sound);

    auto* listeners = new QGroupBox(QStringLiteral("What listeners see"), this);
    auto* listenersForm = new QFormLayout(listeners);
    nameEdit = AddLine(listenersForm, QStringLiteral("Stream name:"), s.name, listeners);
    descriptionEdit = AddLine(listenersForm, QStringLiteral("Description:"), s.description, listeners);
    titleEdit = AddLine(listenersForm, QStringLiteral("Title of a call:"), s.titleFormat, listeners);
    titleExample = Sentences(listeners, 2);
    listenersForm->addRow(QString(), titleExample);
    layout->addWidget(listeners);

    status = Sentences(this);
    layout->addWidget(status);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &StreamDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &StreamDialog::reject);
    layout->addWidget(buttons);

    connect(testButton, &QPushButton::clicked, this, [this] { StartTest(); });
    connect(onBox, &QCheckBox::toggled, this, [this] { UpdateState(); });
    connect(titleEdit, &QLineEdit::textChanged, this, [this] { UpdateState(); });
    auto* refresh = new QTimer(this);
    connect(refresh, &QTimer::timeout, this, [this] { UpdateState(); });
    refresh->start(STATUS_REFRESH_MS);
    UpdateState();
    setFixedWidth(fontMetrics().averageCharWidth() * 76);
}

StreamDialog::~StreamDialog()
{
    if (!tester.joinable()) {
        return;
    }
    // A test still waiting on a server is left to end on its own: it holds
    // its own share of what it reports, and nobody looks at it any more.
    bool done = false;
    {
        const std::lock_guard<std::mutex> guard(pending->lock);
        done = pending->done;
    }
    if (done) {
        tester.join();
    } else {
        tester.detach();
    }
}

StreamChoice StreamDialog::Choice() const
{
    StreamChoice choice;
    choice.on = onBox->isChecked();
    audio::StreamSettings& s = choice.settings;
    s.host = S(hostEdit);
    s.port = static_cast<uint16_t>(portBox->value());
    s.mount = S(mountEdit);
    s.user = S(userEdit);
    // Spaces may belong to a password; it is taken as typed.
    s.password = passwordEdit->text().toStdString();
    s.format = formatBox->currentIndex() == 1 ? audio::StreamFormat::OggOpus : audio::StreamFormat::Mp3;
    s.bitrateKbps = bitrateBox->value();
    s.name = S(nameEdit);
    s.description = S(descriptionEdit);
    s.titleFormat = titleEdit->text().toStdString();
    s.betweenCalls = inputButton->isChecked() ? audio::BetweenCalls::Input : audio::BetweenCalls::Silence;
    return choice;
}

void StreamDialog::UpdateState()
{
    const StreamChoice choice = Choice();
    titleExample->setText(QStringLiteral("Fields: {frequency} {modulation} {mode} {display}. A call reads: %1")
                              .arg(Q(audio::FormatStreamTitle(choice.settings.titleFormat, EXAMPLE_CALL))));
    const audio::StreamStatus now = source ? source() : audio::StreamStatus{};
    // The line tells what is, and what OK will change, so that a ticked box
    // beside "Not streaming" does not read as a stream that failed.
    QString text = Q(now.Text());
    if (choice.on && now.state == audio::StreamState::Off) {
        text += QStringLiteral(": starts when you press OK.");
    } else if (!choice.on && now.state != audio::StreamState::Off) {
        text += QStringLiteral(". Stops when you press OK.");
    }
    status->setText(text);
    FitText();
}

void StreamDialog::FitText()
{
    // A wrapped label asks for its height only for a width; the dialog grows
    // to it rather than cutting a reason's last line off.
    const int needed = layout()->totalHeightForWidth(width());
    if (needed > height()) {
        resize(width(), needed);
    }
}

void StreamDialog::StartTest()
{
    if (pending) {
        return;
    }
    const audio::StreamSettings settings = Choice().settings;
    testButton->setEnabled(false);
    testLabel->setText(QStringLiteral("Connecting to %1...").arg(Q(audio::IcecastUrlText(settings))));
    pending = std::make_shared<PendingTest>();
    tester = std::thread([shared = pending, run = test, settings] {
        audio::ConnectionTest result = run(settings);
        const std::lock_guard<std::mutex> guard(shared->lock);
        shared->result = std::move(result);
        shared->done = true;
    });
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [this, poll] {
        CollectTest();
        if (!pending) {
            poll->deleteLater();
        }
    });
    poll->start(TEST_POLL_MS);
}

void StreamDialog::CollectTest()
{
    audio::ConnectionTest result;
    {
        const std::lock_guard<std::mutex> guard(pending->lock);
        if (!pending->done) {
            return;
        }
        result = pending->result;
    }
    tester.join(); // it has only its return left
    pending.reset();
    testLabel->setText(Q(result.Text()));
    testButton->setEnabled(true);
    FitText();
}

void StreamDialog::accept()
{
    const StreamChoice choice = Choice();
    const std::string wrong = choice.on ? audio::CheckStreamSettings(choice.settings) : std::string();
    if (!wrong.empty()) {
        prompts.Warn(QStringLiteral("The stream cannot start."),
                     Q(wrong) + QStringLiteral(".\n\nMend the setting, or clear \"Stream what the radio hears\"."));
        return;
    }
    QDialog::accept();
}
