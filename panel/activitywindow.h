#pragma once

#include "panel/activitymodel.h"
#include "activity/walltime.h"

#include "audio/player.h"

#include <QDialog>
#include <QString>

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;
class QTableWidget;
class QTimer;

// The "Activity" window: what the radio heard on one day, from that day's
// file and, for the day shown, from the hits that end while it is open.
// Newest first, sortable by any column, filtered by frequency or text, with
// the day's most active frequencies beneath; rows copy as CSV. A hit that
// was recorded plays through the sound server.
class ActivityWindow : public QDialog {
    Q_OBJECT
public:
    // `directory` holds the daily files. Shows today.
    explicit ActivityWindow(const QString& directory, QWidget* parent = nullptr);
    ~ActivityWindow() override;
    ActivityWindow(const ActivityWindow&) = delete;
    ActivityWindow& operator=(const ActivityWindow&) = delete;

    // Where the rows' recordings are (the default folder until told).
    void SetRecordingFolder(const QString& folder);
    // Plays the row's recording; what goes wrong is said beneath the table.
    void PlayRow(int row);
    void StopPlaying();

    // Reads `day`'s file into the table.
    void ShowDay(Day day);
    // A hit that has just ended, shown when it began on the day shown.
    void AddHit(const Hit& hit);

    // The selected rows (all rows shown when none is), in the table's order,
    // as CSV with its header row.
    QString SelectedCsv() const;
    void CopySelection();

    // The frequencies with the most hits, most first (equal counts by the
    // longer total time), with the display of each one's latest hit.
    struct FrequencyTotal {
        uint32_t frequencyHz = 0;
        int hits = 0;
        uint64_t totalMs = 0;
        std::string display;
    };
    static std::vector<FrequencyTotal> MostActive(const std::vector<Hit>& hits, size_t most);
    static constexpr size_t SUMMARY_ROWS = 10;

    ActivityTableModel& Model() { return model; }
    QTableView* Table() const { return table; }
    QLineEdit* FilterBox() const { return filterBox; }
    QTableWidget* Summary() const { return summary; }
    QLabel* CountLabel() const { return count; }
    QPushButton* PlayButton() const { return playButton; }
    QPushButton* StopButton() const { return stopButton; }
    QLabel* PlaybackLabel() const { return playback; }
    const RecordingPlayer& Player() const { return *player; }

private:
    // The file of a row's recording; empty when it has none.
    std::string RecordingOf(int row) const;
    void ShowPlayback();
    void Inspect(const std::string& path);
    void OpenFolder();
    void FillDays();
    void RefreshSummary();
    void RefreshCount();

    QString directory;
    Day shownDay;
    size_t rowsNotRead = 0;
    QString readError;
    ActivityTableModel model;
    QComboBox* days = nullptr;
    QLineEdit* filterBox = nullptr;
    QTableView* table = nullptr;
    QTableWidget* summary = nullptr;
    QLabel* summaryTitle = nullptr;
    QLabel* count = nullptr;

    QString recordingFolder;
    std::unique_ptr<RecordingPlayer> player;
    QString playing;           // the name of the recording the player was last given
    std::string described;                      // the current row's recording
    std::optional<RecordingInfo> describedInfo; // what it holds, once inspected
    std::shared_ptr<std::atomic<uint64_t>> inspections = std::make_shared<std::atomic<uint64_t>>(0);
    QPushButton* playButton = nullptr;
    QPushButton* stopButton = nullptr;
    QLabel* playback = nullptr;
    QTimer* position = nullptr;
};
