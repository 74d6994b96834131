#pragma once

#include "activity/activitylog.h"
#include "activity/hitdetector.h"
#include "activity/walltime.h"

#include <QObject>
#include <QString>

#include <atomic>

class Station;

// The activity log of the front panel. While it is on and the link runs,
// the station's hit recorder sees every stored reply; the hits that end come
// to the window thread (HitsEnded posts them there), where each row is written to the day's file (never by the
// thread that moves the bytes) and handed on to whoever shows them. A file
// that cannot be written switches the log off, and `failed` says why, once.
class ActivityFeed : public QObject {
    Q_OBJECT
public:
    // `rules`: the merge gap and the silence limit.
    ActivityFeed(Station& station, const QString& directory, HitRules rules, QObject* parent = nullptr);

    ActivityFeed(const ActivityFeed&) = delete;
    ActivityFeed& operator=(const ActivityFeed&) = delete;

    // On: hits are found and written from now on while the link runs. Off:
    // a hit in progress is written first.
    void SetLogging(bool on);
    bool Logging() const { return logging; }
    // The recorder and the stream follow hits too: while they want them,
    // hits are found with the log off, and only not written.
    void SetHitsWanted(bool wanted);

    // START, before the worker starts.
    void LinkStarted();
    // STOP, Exit, a transfer taking the line: what is in progress ends and
    // is written now.
    void LinkStopped();

    // The station's word that hits wait, from any thread.
    void HitsEnded();

    QString Directory() const { return QString::fromStdString(log.Directory()); }

signals:
    // A hit has ended (its row written, unless the log has just failed).
    void hitEnded(const Hit& hit);
    void failed(const QString& message);

protected:
    bool event(QEvent* event) override;

private:
    // Hits are found while anyone wants them and the link runs.
    void Follow();
    void Deliver();

    Station& station;
    SystemWallTime wall;
    HitRules rules;
    ActivityLog log;
    bool logging = true;
    bool hitsWanted = false;
    std::atomic<bool> deliveryPending{false};
};
