#pragma once

#include "activitymodel.h"
#include "walltime.h"

#include <QDialog>
#include <QString>

#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QTableView;
class QTableWidget;

// The "Activity" window: what the radio heard on one day, from that day's
// file and, for the day shown, from the hits that end while it is open.
// Newest first, sortable by any column, filtered by frequency or text, with
// the day's most active frequencies beneath; rows copy as CSV.
class ActivityWindow : public QDialog {
    Q_OBJECT
public:
    // `directory` holds the daily files. Shows today.
    explicit ActivityWindow(const QString& directory, QWidget* parent = nullptr);

    // Reads `day`'s file into the table.
    void ShowDay(Day day);
    Day ShownDay() const { return shownDay; }
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
    QComboBox* DayChooser() const { return days; }
    QLineEdit* FilterBox() const { return filterBox; }
    QTableWidget* Summary() const { return summary; }
    QLabel* CountLabel() const { return count; }

private:
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
};
