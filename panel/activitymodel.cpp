#include "panel/activitymodel.h"

#include "protocol/statustext.h"
#include "panel/transferprogressdlg.h"

#include <QDateTime>
#include <QTimeZone>

#include <algorithm>
#include <cctype>

namespace {

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool HasInAnyCase(const std::string& text, const std::string& lowerNeedle)
{
    const auto found = std::search(text.begin(), text.end(), lowerNeedle.begin(), lowerNeedle.end(),
                                   [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
    return found != text.end();
}

// The time of day the hit began, in the local time it was logged in.
QString TimeOfDay(const Hit& hit)
{
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(hit.startMs, QTimeZone(hit.utcOffsetMinutes * 60));
    return at.toString(QStringLiteral("HH:mm:ss"));
}

template <typename Key> int Compare(const Key& a, const Key& b)
{
    return a < b ? -1 : (b < a ? 1 : 0);
}

} // namespace

ActivityTableModel::ActivityTableModel(QObject* parent) : QAbstractTableModel(parent) {}

QString ActivityTableModel::DurationText(uint32_t ms)
{
    if (ms < 60000) {
        return QString::asprintf("%u.%u s", ms / 1000, ms % 1000 / 100);
    }
    return CTransferProgressDlg::FormatElapsed(ms);
}

void ActivityTableModel::SetHits(std::vector<Hit> newHits)
{
    beginResetModel();
    hits = std::move(newHits);
    Rebuild();
    endResetModel();
}

void ActivityTableModel::AddHit(const Hit& hit)
{
    hits.push_back(hit);
    const int index = static_cast<int>(hits.size() - 1);
    if (!Matches(hit)) {
        return;
    }
    const auto at = std::upper_bound(shown.begin(), shown.end(), index, [this](int a, int b) { return Before(a, b); });
    const int row = static_cast<int>(at - shown.begin());
    beginInsertRows(QModelIndex(), row, row);
    shown.insert(at, index);
    endInsertRows();
}

void ActivityTableModel::SetFilter(const QString& text)
{
    const std::string wanted = Lower(text.trimmed().toStdString());
    if (wanted == filter) {
        return;
    }
    beginResetModel();
    filter = wanted;
    Rebuild();
    endResetModel();
}

bool ActivityTableModel::Matches(const Hit& hit) const
{
    return filter.empty() || statustext::FrequencyText(hit.frequencyHz).find(filter) != std::string::npos ||
           HasInAnyCase(hit.display, filter) || HasInAnyCase(hit.mode, filter) ||
           HasInAnyCase(hit.modulation, filter);
}

bool ActivityTableModel::Before(int a, int b) const
{
    const Hit& x = hits[static_cast<size_t>(a)];
    const Hit& y = hits[static_cast<size_t>(b)];
    int order = 0;
    switch (sortColumn) {
    case Duration: order = Compare(x.durationMs, y.durationMs); break;
    case Frequency: order = Compare(x.frequencyHz, y.frequencyHz); break;
    case Modulation: order = Compare(x.modulation, y.modulation); break;
    case Mode: order = Compare(x.mode, y.mode); break;
    case Display: order = Compare(x.display, y.display); break;
    case RssiMax: order = Compare(x.rssiMax, y.rssiMax); break;
    case RssiMean: order = Compare(x.rssiMean, y.rssiMean); break;
    case Recording: order = Compare(x.recording, y.recording); break;
    default: break;
    }
    // Equal keys, and the start column itself, go by the start, then by
    // the order the rows came in.
    if (order == 0) {
        order = Compare(x.startMs, y.startMs);
    }
    if (order == 0) {
        order = Compare(a, b);
    }
    return sortOrder == Qt::AscendingOrder ? order < 0 : order > 0;
}

void ActivityTableModel::Rebuild()
{
    shown.clear();
    shown.reserve(hits.size());
    for (size_t i = 0; i < hits.size(); ++i) {
        if (Matches(hits[i])) {
            shown.push_back(static_cast<int>(i));
        }
    }
    std::sort(shown.begin(), shown.end(), [this](int a, int b) { return Before(a, b); });
}

void ActivityTableModel::sort(int column, Qt::SortOrder order)
{
    if (column < 0 || column >= ColumnCount || (column == sortColumn && order == sortOrder)) {
        return;
    }
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    sortColumn = column;
    sortOrder = order;
    std::sort(shown.begin(), shown.end(), [this](int a, int b) { return Before(a, b); });
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

int ActivityTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(shown.size());
}

int ActivityTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ActivityTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    const Hit& hit = HitAt(index.row());
    if (role == Qt::TextAlignmentRole) {
        const bool number = index.column() != Modulation && index.column() != Mode &&
                            index.column() != Display && index.column() != Recording;
        return QVariant::fromValue(Qt::AlignVCenter | (number ? Qt::AlignRight : Qt::AlignLeft));
    }
    if (role != Qt::DisplayRole && !(role == Qt::ToolTipRole && index.column() == Display)) {
        return {};
    }
    switch (index.column()) {
    case Start: return TimeOfDay(hit);
    case Duration: return DurationText(hit.durationMs);
    case Frequency: return QString::fromStdString(statustext::FrequencyText(hit.frequencyHz));
    case Modulation: return QString::fromStdString(hit.modulation);
    case Mode: return QString::fromStdString(hit.mode);
    case Display: return QString::fromStdString(hit.display);
    case RssiMax: return hit.rssiMax;
    case RssiMean: return hit.rssiMean;
    case Recording: return QString::fromStdString(hit.recording);
    default: return {};
    }
}

QVariant ActivityTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    static const char* const titles[ColumnCount] = {"Start",   "Duration", "Frequency (MHz)", "Modulation", "Mode",
                                                    "Display", "RSSI max", "RSSI mean",       "Recording"};
    return section >= 0 && section < ColumnCount ? QString::fromLatin1(titles[section]) : QVariant();
}
