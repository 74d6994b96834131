#include "panel/activityfeed.h"

#include "panel/eventhandoff.h"
#include "protocol/radiolink.h"

#include <QCoreApplication>
#include <QEvent>

namespace {

// Posted by the worker's thread when hits wait to be written.
const QEvent::Type HITS_ENDED = static_cast<QEvent::Type>(QEvent::User + 102);

} // namespace

ActivityFeed::ActivityFeed(RadioLink& link, const QString& directory, QObject* parent)
    : QObject(parent), link(link), wall(link.GetClock()), log(directory.toStdString())
{
}

ActivityFeed::~ActivityFeed()
{
    if (recorder) {
        recorder->Detach();
    }
}

void ActivityFeed::SetRules(HitRules newRules)
{
    rules = newRules;
}

void ActivityFeed::SetLogging(bool on)
{
    if (on == logging) {
        return;
    }
    logging = on;
    if (!on) {
        LinkStopped();
    } else if (link.Running()) {
        LinkStarted();
    }
}

void ActivityFeed::LinkStarted()
{
    if (!logging) {
        return;
    }
    if (!recorder) {
        // One waiting delivery is enough; the window thread takes all there is.
        recorder = std::make_unique<ActivityRecorder>(wall, rules, [this] {
            if (!deliveryPending.exchange(true)) {
                auto* ended = new QEvent(HITS_ENDED);
                MarkHandedOver(ended);
                QCoreApplication::postEvent(this, ended);
            }
        });
    }
    recorder->Attach(link);
}

void ActivityFeed::LinkStopped()
{
    if (recorder) {
        recorder->Detach();
        Deliver();
        // A new START may bring new rules.
        recorder.reset();
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
    if (!recorder) {
        return;
    }
    for (const Hit& hit : recorder->TakeEnded()) {
        if (logging) {
            const std::string refused = log.Append(hit);
            if (!refused.empty()) {
                // Off before anyone is told, so that the message box's own
                // event loop cannot run into a second failure.
                logging = false;
                recorder->Detach();
                emit failed(QStringLiteral("Unable to write the activity log:\n%1\nLogging activity has been "
                                           "switched off.")
                                .arg(QString::fromLocal8Bit(refused.c_str())));
            }
        }
        emit hitEnded(hit);
    }
}
