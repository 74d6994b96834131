#include "panel/activitywindow.h"

#include "activity/activitycsv.h"
#include "protocol/statustext.h"

#include "audio/recordingfiles.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QCoreApplication>
#include <QDate>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTableView>
#include <QTableWidget>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <map>

namespace {

Day Today()
{
    const QDate today = QDate::currentDate();
    return {today.year(), today.month(), today.day()};
}

// How often the place in a recording being played is shown.
constexpr int POSITION_REFRESH_MS = 250;

} // namespace

ActivityWindow::ActivityWindow(const QString& folder, QWidget* parent) : QDialog(parent), directory(folder)
{
    setWindowTitle(QStringLiteral("Activity"));
    setSizeGripEnabled(true);

    days = new QComboBox(this);
    filterBox = new QLineEdit(this);
    filterBox->setPlaceholderText(QStringLiteral("Frequency or text"));
    filterBox->setClearButtonEnabled(true);
    auto* copy = new QPushButton(QStringLiteral("Copy as CSV"), this);
    copy->setToolTip(QStringLiteral("The selected rows, or all rows shown, with a header row"));
    auto* dayLabel = new QLabel(QStringLiteral("&Day:"), this);
    dayLabel->setBuddy(days);
    auto* filterLabel = new QLabel(QStringLiteral("&Filter:"), this);
    filterLabel->setBuddy(filterBox);
    auto* top = new QHBoxLayout;
    top->addWidget(dayLabel);
    top->addWidget(days);
    top->addSpacing(12);
    top->addWidget(filterLabel);
    top->addWidget(filterBox, 1);
    top->addWidget(copy);

    table = new QTableView(this);
    table->setModel(&model);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table->setWordWrap(false);
    table->setAlternatingRowColors(true);
    table->verticalHeader()->hide();
    // Every row as tall as the font: nothing is measured row by row.
    table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 6);
    QHeaderView* header = table->horizontalHeader();
    header->setSortIndicator(ActivityTableModel::Start, Qt::DescendingOrder);
    table->setSortingEnabled(true);
    const int digit = table->fontMetrics().horizontalAdvance(QLatin1Char('0'));
    const int widths[ActivityTableModel::ColumnCount] = {11, 10, 15, 10, 8, 40, 9, 9, 36};
    for (int c = 0; c < ActivityTableModel::ColumnCount; ++c) {
        table->setColumnWidth(c, widths[c] * digit);
    }
    header->setSectionResizeMode(ActivityTableModel::Display, QHeaderView::Stretch);
    auto* copyAction = new QAction(QStringLiteral("Copy as CSV"), table);
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setShortcutContext(Qt::WidgetShortcut);
    table->addAction(copyAction);
    table->setContextMenuPolicy(Qt::ActionsContextMenu);

    summaryTitle = new QLabel(this);
    summary = new QTableWidget(0, 4, this);
    summary->setHorizontalHeaderLabels(
        {QStringLiteral("Frequency (MHz)"), QStringLiteral("Hits"), QStringLiteral("Total time"),
         QStringLiteral("Latest display")});
    summary->verticalHeader()->hide();
    summary->setEditTriggers(QAbstractItemView::NoEditTriggers);
    summary->setSelectionBehavior(QAbstractItemView::SelectRows);
    summary->setSelectionMode(QAbstractItemView::SingleSelection);
    summary->setToolTip(QStringLiteral("Click a frequency to show only its hits"));
    summary->setColumnWidth(0, 15 * digit);
    summary->setColumnWidth(1, 8 * digit);
    summary->setColumnWidth(2, 10 * digit);
    summary->horizontalHeader()->setStretchLastSection(true);
    summary->verticalHeader()->setDefaultSectionSize(table->verticalHeader()->defaultSectionSize());
    summary->setFixedHeight(summary->horizontalHeader()->sizeHint().height() +
                            static_cast<int>(SUMMARY_ROWS / 2) * summary->verticalHeader()->defaultSectionSize() + 4);
    count = new QLabel(this);

    playButton = new QPushButton(QStringLiteral("&Play"), this);
    playButton->setToolTip(QStringLiteral("Plays the hit's recording (or double-click the row)"));
    stopButton = new QPushButton(QStringLiteral("&Stop"), this);
    auto* folderButton = new QPushButton(QStringLiteral("&Open folder"), this);
    folderButton->setToolTip(QStringLiteral("Opens the recordings' folder"));
    playback = new QLabel(this);
    playback->setTextFormat(Qt::PlainText);
    auto* playerRow = new QHBoxLayout;
    playerRow->addWidget(playButton);
    playerRow->addWidget(stopButton);
    playerRow->addWidget(playback, 1);
    playerRow->addWidget(folderButton);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(table, 1);
    layout->addLayout(playerRow);
    layout->addWidget(summaryTitle);
    layout->addWidget(summary);
    layout->addWidget(count);
    resize(1180, 600); // the recording's name beside a whole display

    connect(days, &QComboBox::activated, this, [this](int index) {
        Day day;
        if (ParseDayText(days->itemData(index).toString().toStdString(), day)) {
            ShowDay(day);
        }
    });
    connect(filterBox, &QLineEdit::textChanged, this, [this](const QString& text) {
        model.SetFilter(text);
        RefreshCount();
    });
    connect(copy, &QPushButton::clicked, this, &ActivityWindow::CopySelection);
    connect(copyAction, &QAction::triggered, this, &ActivityWindow::CopySelection);
    connect(summary, &QTableWidget::cellClicked, this, [this](int row, int) {
        if (QTableWidgetItem* item = summary->item(row, 0)) {
            filterBox->setText(item->text());
        }
    });

    recordingFolder = QFile::decodeName(DefaultRecordingFolder().c_str());
    // The player's thread only asks the window to look again.
    player = std::make_unique<RecordingPlayer>(SystemClock(), [this] {
        QMetaObject::invokeMethod(this, &ActivityWindow::ShowPlayback, Qt::QueuedConnection);
    });
    position = new QTimer(this);
    position->setInterval(POSITION_REFRESH_MS);
    connect(position, &QTimer::timeout, this, &ActivityWindow::ShowPlayback);
    connect(playButton, &QPushButton::clicked, this, [this] { PlayRow(table->currentIndex().row()); });
    connect(stopButton, &QPushButton::clicked, this, &ActivityWindow::StopPlaying);
    connect(folderButton, &QPushButton::clicked, this, &ActivityWindow::OpenFolder);
    connect(table, &QTableView::doubleClicked, this, [this](const QModelIndex& index) { PlayRow(index.row()); });
    connect(table->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] {
        if (const PlayerState state = player->State();
            state != PlayerState::Opening && state != PlayerState::Playing) {
            playing.clear(); // what was said of the last file played gives way to the new row's
        }
        ShowPlayback();
    });
    connect(&model, &QAbstractItemModel::modelReset, this, [this] {
        described.clear(); // another day: its files are looked at afresh
        ShowPlayback();
    });

    ShowDay(Today());
}

ActivityWindow::~ActivityWindow()
{
    player.reset(); // its thread ends before the window does
}

void ActivityWindow::SetRecordingFolder(const QString& folder)
{
    recordingFolder = folder;
    ShowPlayback();
}

std::string ActivityWindow::RecordingOf(int row) const
{
    if (row < 0 || row >= model.rowCount()) {
        return {};
    }
    return RecordingPath(QFile::encodeName(recordingFolder).toStdString(), model.HitAt(row).recording);
}

void ActivityWindow::PlayRow(int row)
{
    const std::string path = RecordingOf(row);
    if (path.empty()) {
        return;
    }
    player->Stop();
    playing.clear();
    table->setCurrentIndex(model.index(row, 0)); // what is said beneath is of the row played
    // A file gone from the folder is said so, not as a decoder's complaint.
    if (QFileInfo::exists(QFile::decodeName(path.c_str()))) {
        player->Play(path);
        playing = QFileInfo(QFile::decodeName(path.c_str())).fileName();
    }
    ShowPlayback();
}

void ActivityWindow::StopPlaying()
{
    player->Stop();
    playing.clear();
    ShowPlayback();
}

void ActivityWindow::ShowPlayback()
{
    const PlayerState state = player->State();
    const bool busy = state == PlayerState::Opening || state == PlayerState::Playing;
    const std::string path = RecordingOf(table->currentIndex().row());
    playButton->setEnabled(!path.empty());
    stopButton->setEnabled(busy);
    if (busy) {
        position->start();
    } else {
        position->stop();
    }
    if (!playing.isEmpty() && state != PlayerState::Idle) {
        const QString message = QString::fromStdString(player->Message());
        const QString length = ActivityTableModel::DurationText(player->LengthMs());
        switch (state) {
        case PlayerState::Opening: playback->setText(QStringLiteral("Opening %1...").arg(playing)); break;
        case PlayerState::Playing:
            playback->setText(QStringLiteral("Playing %1: %2 of %3")
                                  .arg(playing, ActivityTableModel::DurationText(player->PositionMs()), length));
            break;
        default: playback->setText(message.isEmpty() ? QStringLiteral("%1, %2").arg(playing, length) : message);
        }
        return;
    }
    // Otherwise the current row's recording, and how long it is.
    if (path.empty()) {
        playback->clear();
        return;
    }
    const QString file = QFile::decodeName(path.c_str());
    const QString name = QFileInfo(file).fileName();
    if (!QFileInfo::exists(file)) {
        playback->setText(QStringLiteral("%1 is not in %2 any more.").arg(name, recordingFolder));
        return;
    }
    if (path != described) {
        Inspect(path);
    }
    if (!describedInfo) {
        playback->setText(name);
    } else if (!describedInfo->problem.empty()) {
        playback->setText(QString::fromStdString(describedInfo->problem));
    } else {
        playback->setText(
            QStringLiteral("%1, %2").arg(name, ActivityTableModel::DurationText(describedInfo->lengthMs)));
    }
}

void ActivityWindow::Inspect(const std::string& path)
{
    described = path;
    describedInfo.reset();
    // The whole file is decoded to know its length and whether it ends
    // whole: seconds for a long one, so not on the window's thread. Rows
    // passed over before their turn are not inspected at all.
    const uint64_t ticket = ++*inspections;
    QThreadPool::globalInstance()->start([self = QPointer<ActivityWindow>(this), path, ticket,
                                          latest = inspections] {
        if (latest->load() != ticket) {
            return;
        }
        RecordingInfo info = InspectRecording(path);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, path, info = std::move(info)] {
                if (self && self->described == path) {
                    self->describedInfo = info;
                    self->ShowPlayback();
                }
            },
            Qt::QueuedConnection);
    });
}

void ActivityWindow::OpenFolder()
{
    if (!QFileInfo(recordingFolder).isDir()) {
        playback->setText(QStringLiteral("%1 does not exist yet: nothing has been recorded there.")
                              .arg(recordingFolder));
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(recordingFolder))) {
        playback->setText(QStringLiteral("No file manager could open %1.").arg(recordingFolder));
    }
}

void ActivityWindow::ShowDay(Day day)
{
    shownDay = day;
    const ActivityFileContents contents =
        ReadActivityFile(directory.toStdString() + "/" + ActivityFileName(day));
    rowsNotRead = contents.skipped;
    readError = QString::fromLocal8Bit(contents.error.c_str());
    model.SetHits(contents.hits);
    FillDays();
    RefreshSummary();
    RefreshCount();
}

void ActivityWindow::AddHit(const Hit& hit)
{
    const Day day = LocalDay(hit.startMs, hit.utcOffsetMinutes);
    if (day != shownDay) {
        FillDays(); // its file may be new
        return;
    }
    model.AddHit(hit);
    RefreshSummary();
    RefreshCount();
}

void ActivityWindow::FillDays()
{
    std::vector<Day> present = ActivityDays(directory.toStdString());
    for (const Day extra : {Today(), shownDay}) {
        if (std::find(present.begin(), present.end(), extra) == present.end()) {
            present.push_back(extra);
        }
    }
    std::sort(present.rbegin(), present.rend());
    const QSignalBlocker quiet(days);
    days->clear();
    for (const Day day : present) {
        const QString text = QString::fromStdString(DayText(day));
        days->addItem(day == Today() ? text + QStringLiteral(" (today)") : text, text);
        if (day == shownDay) {
            days->setCurrentIndex(days->count() - 1);
        }
    }
}

std::vector<ActivityWindow::FrequencyTotal> ActivityWindow::MostActive(const std::vector<Hit>& hits, size_t most)
{
    std::map<uint32_t, FrequencyTotal> byFrequency;
    std::map<uint32_t, int64_t> latest;
    for (const Hit& hit : hits) {
        FrequencyTotal& total = byFrequency[hit.frequencyHz];
        total.frequencyHz = hit.frequencyHz;
        ++total.hits;
        total.totalMs += hit.durationMs;
        auto [at, fresh] = latest.try_emplace(hit.frequencyHz, hit.startMs);
        if (fresh || hit.startMs >= at->second) {
            at->second = hit.startMs;
            total.display = hit.display;
        }
    }
    std::vector<FrequencyTotal> totals;
    totals.reserve(byFrequency.size());
    for (auto& [hz, total] : byFrequency) {
        totals.push_back(std::move(total));
    }
    const auto first = [](const FrequencyTotal& a, const FrequencyTotal& b) {
        return a.hits != b.hits ? a.hits > b.hits : a.totalMs > b.totalMs;
    };
    const size_t kept = std::min(most, totals.size());
    std::partial_sort(totals.begin(), totals.begin() + static_cast<std::ptrdiff_t>(kept), totals.end(), first);
    totals.resize(kept);
    return totals;
}

void ActivityWindow::RefreshSummary()
{
    summaryTitle->setText(QStringLiteral("Most active frequencies on %1:").arg(QString::fromStdString(DayText(shownDay))));
    const std::vector<FrequencyTotal> totals = MostActive(model.Hits(), SUMMARY_ROWS);
    summary->setRowCount(static_cast<int>(totals.size()));
    for (size_t i = 0; i < totals.size(); ++i) {
        const FrequencyTotal& t = totals[i];
        const QString cells[] = {QString::fromStdString(statustext::FrequencyText(t.frequencyHz)),
                                 QString::number(t.hits),
                                 ActivityTableModel::DurationText(static_cast<uint32_t>(
                                     std::min<uint64_t>(t.totalMs, UINT32_MAX))),
                                 QString::fromStdString(t.display)};
        for (int c = 0; c < 4; ++c) {
            auto* item = new QTableWidgetItem(cells[c]);
            item->setTextAlignment(Qt::AlignVCenter | (c < 3 ? Qt::AlignRight : Qt::AlignLeft));
            summary->setItem(static_cast<int>(i), c, item);
        }
    }
}

void ActivityWindow::RefreshCount()
{
    const size_t all = model.Hits().size();
    QString text = all == 1 ? QStringLiteral("1 hit") : QStringLiteral("%1 hits").arg(all);
    if (static_cast<size_t>(model.rowCount()) != all) {
        text += QStringLiteral(", %1 shown").arg(model.rowCount());
    }
    if (rowsNotRead > 0) {
        text += QStringLiteral("; %1 rows of the file could not be read").arg(rowsNotRead);
    }
    if (!readError.isEmpty()) {
        text += QStringLiteral("; ") + readError;
    }
    count->setText(text);
}

QString ActivityWindow::SelectedCsv() const
{
    std::vector<int> rows;
    for (const QModelIndex& index : table->selectionModel()->selectedRows()) {
        rows.push_back(index.row());
    }
    if (rows.empty()) {
        for (int row = 0; row < model.rowCount(); ++row) {
            rows.push_back(row);
        }
    }
    std::sort(rows.begin(), rows.end());
    std::string csv = std::string(ACTIVITY_CSV_HEADER) + "\r\n";
    for (const int row : rows) {
        csv += HitCsvRow(model.HitAt(row)) + "\r\n";
    }
    return QString::fromStdString(csv);
}

void ActivityWindow::CopySelection()
{
    QApplication::clipboard()->setText(SelectedCsv());
}
