#include "panel/audiodlg.h"

#include "panel/userprompts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>
#include <initializer_list>

namespace {

// Fast enough to follow speech by eye, slow enough to cost nothing.
constexpr int METER_REFRESH_MS = 100;

QString FormatTitle(RecordingFormat format)
{
    switch (format) {
    case RecordingFormat::Opus: return QStringLiteral("Ogg Opus (small)");
    case RecordingFormat::Flac: return QStringLiteral("FLAC (lossless)");
    case RecordingFormat::Wav: return QStringLiteral("WAV (lossless, large)");
    }
    return {};
}

// A row's caption whose shortcut goes to `buddy` (the form does so by itself
// only for a row of one widget).
QLabel* Caption(const QString& text, QWidget* buddy)
{
    auto* label = new QLabel(text, buddy->parentWidget());
    label->setBuddy(buddy);
    return label;
}

QString Native(const std::string& path)
{
    return QFile::decodeName(path.c_str());
}

} // namespace

int MeterDecibels(float peak)
{
    if (!(peak > 0.0F)) {
        return METER_FLOOR_DB;
    }
    const double db = 20.0 * std::log10(static_cast<double>(std::min(peak, 1.0F)));
    return std::max(METER_FLOOR_DB, static_cast<int>(std::lround(db)));
}

CaptureLevelSource::CaptureLevelSource() : capture(MakeSoundServerCapture(SystemClock(), {})) {}

CaptureLevelSource::~CaptureLevelSource() = default;

void CaptureLevelSource::Listen(const std::string& input)
{
    listening = input != NO_AUDIO_INPUT;
    if (listening) {
        capture->Start(input);
    } else {
        capture->Stop();
    }
}

float CaptureLevelSource::Level() const
{
    return capture->Level();
}

std::string CaptureLevelSource::StateText() const
{
    return listening ? capture->StateText() : "No input: nothing is heard or recorded.";
}

AudioDialog::AudioDialog(const AudioChoice& current, const AudioInputs& inputs, AudioLevelSource& level,
                         UserPrompts& prompts, QWidget* parent)
    : QDialog(parent), level(level), prompts(prompts)
{
    setWindowTitle(QStringLiteral("Audio"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;

    inputBox = new QComboBox(this);
    QString defaultName;
    for (const AudioInput& input : inputs.inputs) {
        if (input.name == inputs.defaultName) {
            defaultName = QString::fromStdString(input.description);
        }
    }
    inputBox->addItem(defaultName.isEmpty() ? QStringLiteral("The sound server's default input")
                                            : QStringLiteral("The default input (%1)").arg(defaultName),
                      QString());
    for (const AudioInput& input : inputs.inputs) {
        inputBox->addItem(QString::fromStdString(input.description), QString::fromStdString(input.name));
    }
    inputBox->addItem(QStringLiteral("none"), QString::fromLatin1(NO_AUDIO_INPUT));
    // An input that is away now (unplugged, or the server down) stays the
    // choice until the user makes another.
    const QString chosen = QString::fromStdString(current.input);
    if (inputBox->findData(chosen) < 0) {
        inputBox->insertItem(inputBox->count() - 1, QStringLiteral("%1 (not present)").arg(chosen), chosen);
    }
    inputBox->setCurrentIndex(inputBox->findData(chosen));
    form->addRow(QStringLiteral("&Input:"), inputBox);

    meter = new QProgressBar(this);
    meter->setRange(METER_FLOOR_DB, 0);
    meter->setFormat(QStringLiteral("%v dB"));
    meter->setToolTip(QStringLiteral("The loudest of the input in the last tenth of a second. Set the radio's "
                                     "volume or the input's gain so that speech peaks between -20 and -6 dB."));
    form->addRow(QStringLiteral("Level:"), meter);
    const auto wrappedRow = [this, form](const QString& text) {
        auto* label = new QLabel(text, this);
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        form->addRow(QString(), label);
        return label;
    };
    inputState = wrappedRow(QString());
    if (!inputs.error.empty()) {
        wrappedRow(QStringLiteral("The inputs could not be listed: %1").arg(QString::fromStdString(inputs.error)));
    }

    recordBox = new QCheckBox(QStringLiteral("Record each hit"), this);
    recordBox->setChecked(current.record);
    form->addRow(QString(), recordBox);

    formatBox = new QComboBox(this);
    for (const RecordingFormatInfo& info : RecordingFormats()) {
        formatBox->addItem(FormatTitle(info.format), static_cast<int>(info.format));
    }
    formatBox->setCurrentIndex(formatBox->findData(static_cast<int>(current.format)));
    form->addRow(QStringLiteral("&Format:"), formatBox);

    auto* folderRow = new QHBoxLayout;
    folderBox = new QLineEdit(Native(current.folder), this);
    folderBox->setPlaceholderText(Native(DefaultRecordingFolder()));
    folderBox->setToolTip(QStringLiteral("Empty: %1").arg(Native(DefaultRecordingFolder())));
    chooseButton = new QPushButton(QStringLiteral("&Choose..."), this);
    folderRow->addWidget(folderBox, 1);
    folderRow->addWidget(chooseButton);
    form->addRow(Caption(QStringLiteral("F&older:"), folderBox), folderRow);

    auto* limitsRow = new QHBoxLayout;
    // 0 is no limit, said in words.
    const auto limitBox = [this](uint32_t most, const QString& none, const QString& suffix, uint32_t value) {
        auto* box = new QSpinBox(this);
        box->setRange(0, static_cast<int>(most));
        box->setSpecialValueText(none);
        box->setSuffix(suffix);
        box->setValue(static_cast<int>(value));
        return box;
    };
    daysBox = limitBox(LONGEST_KEEP_DAYS, QStringLiteral("for ever"), QStringLiteral(" days"), current.keepDays);
    sizeBox = limitBox(LARGEST_KEEP_MIB, QStringLiteral("no limit"), QStringLiteral(" MiB"), current.keepMiB);
    limitsRow->addWidget(daysBox);
    limitsRow->addWidget(new QLabel(QStringLiteral("at most"), this));
    limitsRow->addWidget(sizeBox);
    limitsRow->addStretch(1);
    form->addRow(Caption(QStringLiteral("&Keep:"), daysBox), limitsRow);
    layout->addLayout(form);

    auto* note = new QLabel(QStringLiteral("The oldest recordings are removed first to keep within the limits."),
                            this);
    note->setWordWrap(true);
    layout->addWidget(note);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &AudioDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &AudioDialog::reject);
    layout->addWidget(buttons);

    connect(inputBox, &QComboBox::currentIndexChanged, this, [this] {
        this->level.Listen(Choice().input);
        UpdateState();
    });
    connect(recordBox, &QCheckBox::toggled, this, [this] { UpdateState(); });
    connect(chooseButton, &QPushButton::clicked, this, &AudioDialog::ChooseFolder);
    auto* meterTimer = new QTimer(this);
    connect(meterTimer, &QTimer::timeout, this, &AudioDialog::ShowLevel);
    meterTimer->start(METER_REFRESH_MS);

    level.Listen(Choice().input);
    UpdateState();
    ShowLevel();
    setFixedWidth(fontMetrics().averageCharWidth() * 80);
}

AudioChoice AudioDialog::Choice() const
{
    AudioChoice choice;
    choice.input = inputBox->currentData().toString().toStdString();
    choice.record = recordBox->isChecked();
    choice.format = static_cast<RecordingFormat>(formatBox->currentData().toInt());
    choice.folder = QFile::encodeName(folderBox->text().trimmed()).toStdString();
    choice.keepDays = static_cast<uint32_t>(daysBox->value());
    choice.keepMiB = static_cast<uint32_t>(sizeBox->value());
    return choice;
}

void AudioDialog::UpdateState()
{
    const bool input = Choice().input != NO_AUDIO_INPUT;
    recordBox->setEnabled(input);
    const bool records = input && recordBox->isChecked();
    for (QWidget* w : std::initializer_list<QWidget*>{formatBox, folderBox, chooseButton, daysBox, sizeBox}) {
        w->setEnabled(records);
    }
    meter->setEnabled(input);
}

void AudioDialog::ShowLevel()
{
    meter->setValue(MeterDecibels(level.Level()));
    inputState->setText(QString::fromStdString(level.StateText()));
}

void AudioDialog::ChooseFolder()
{
    const QString start = folderBox->text().trimmed().isEmpty() ? folderBox->placeholderText() : folderBox->text();
    const QString folder = prompts.ExistingDirectory(QStringLiteral("Folder for the recordings"), start);
    if (!folder.isEmpty()) {
        folderBox->setText(folder);
    }
}

void AudioDialog::accept()
{
    const AudioChoice choice = Choice();
    // A folder that does not exist yet is made by the first recording; one
    // that exists must take files.
    const QFileInfo folder(Native(choice.Folder()));
    if (choice.Records() && folder.exists() && (!folder.isDir() || !folder.isWritable())) {
        prompts.Warn(QStringLiteral("Recordings cannot be written in %1.").arg(folder.filePath()),
                     folder.isDir() ? QStringLiteral("You may not write in that folder.")
                                    : QStringLiteral("It is not a folder."));
        return;
    }
    QDialog::accept();
}
