#pragma once

#include "activity/hit.h"

#include <QAbstractTableModel>
#include <QString>

#include <cstdint>
#include <string>
#include <vector>

// The hits of one day as a table: a model over the rows, so that a day of a
// hundred thousand hits costs no widget per row. It filters and sorts by
// itself (an index of the rows shown), newest first until asked otherwise.
class ActivityTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Start, Duration, Frequency, Modulation, Mode, Display, RssiMax, RssiMean, Recording, ColumnCount };

    explicit ActivityTableModel(QObject* parent = nullptr);

    // The day's hits, replacing those held.
    void SetHits(std::vector<Hit> hits);
    // One more, as it ends; shown at its place in the order when the filter lets it.
    void AddHit(const Hit& hit);
    // Rows whose frequency (as shown, in MHz) or text (display, mode,
    // modulation) holds `text`, in any case; empty: all.
    void SetFilter(const QString& text);

    const std::vector<Hit>& Hits() const { return hits; }
    const Hit& HitAt(int row) const { return hits[static_cast<size_t>(shown[static_cast<size_t>(row)])]; }

    // "1.2 s" below a minute, "1:05" or "1:02:03" above.
    static QString DurationText(uint32_t ms);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

private:
    bool Matches(const Hit& hit) const;
    bool Before(int a, int b) const;
    void Rebuild();

    std::vector<Hit> hits;
    std::vector<int> shown; // indices into hits, filtered and in order
    std::string filter;     // lower case, UTF-8
    int sortColumn = Start;
    Qt::SortOrder sortOrder = Qt::DescendingOrder;
};
