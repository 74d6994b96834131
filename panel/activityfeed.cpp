#include "panel/activityfeed.h"

#include "panel/eventhandoff.h"
#include "station/station.h"

#include <QEvent>

namespace {

// Posted by the worker's thread when hits wait to be written.
const QEvent::Type HITS_ENDED = static_cast<QEvent::Type>(QEvent::User + 102);

} // namespace

ActivityFeed::ActivityFeed(Station& station, const QString& directory, HitRules rules, QObject* parent)
    : QObject(parent), station(station), wall(station.GetClock()), rules(rules), log(directory.toStdString())
{
}

void ActivityFeed::SetLogging(bool on)
{
    if (on == logging) {
        return;
    }
    logging = on;
    Follow();
}

void ActivityFeed::SetHitsWanted(bool wanted)
{
    if (wanted != hitsWanted) {
        hitsWanted = wanted;
        Follow();
    }
}

void ActivityFeed::Follow()
{
    if (!logging && !hitsWanted) {
        LinkStopped();
    } else if (station.Link().Running()) {
        LinkStarted();
    }
}

void ActivityFeed::LinkStarted()
{
    if ((logging || hitsWanted) && !station.ActivityOn()) {
        station.StartActivity(wall, rules);
    }
}

void ActivityFeed::LinkStopped()
{
    if (station.ActivityOn()) {
        // A new START may bring new rules: it makes a new recorder.
        station.StopActivity();
    }
    Deliver();
}

void ActivityFeed::HitsEnded()
{
    // One waiting delivery is enough; the window thread takes all there is.
    if (!deliveryPending.exchange(true)) {
        PostHandedOver(this, HITS_ENDED);
    }
}

bool ActivityFeed::event(QEvent* event)
{
    MarkTakenOver(event);
    if (event->type() == HITS_ENDED) {
        deliveryPending = false;
        Deliver();
        return true;
    }
    return QObject::event(event);
}

void ActivityFeed::Deliver()
{
    for (const Hit& hit : station.TakeHits()) {
        if (logging) {
            const std::string refused = log.Append(hit);
            if (!refused.empty()) {
                // Off before anyone is told, so that the message box's own
                // event loop cannot run into a second failure.
                logging = false;
                if (!hitsWanted) {
                    station.StopActivity();
                }
                emit failed(QStringLiteral("Unable to write the activity log:\n%1\nLogging activity has been "
                                           "switched off.")
                                .arg(QString::fromLocal8Bit(refused.c_str())));
            }
        }
        emit hitEnded(hit);
    }
}
