#pragma once

// The refresh event is made on the poll worker's thread and read on the
// window thread; Qt's event queue hands it over under a lock of its own. The
// distribution's Qt is not built for ThreadSanitizer, so that lock is
// invisible to it and the first read of the event looks like a race with its
// allocation. These two tell it about the hand-off; in other builds they are
// empty. Whatever of ours reads an event first calls MarkTakenOver: the
// panel, and before it every filter on the whole application, which sees the
// event first.

#include <QCoreApplication>
#include <QEvent>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

inline void MarkHandedOver([[maybe_unused]] QEvent* event)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_release(event);
#endif
}

inline void MarkTakenOver([[maybe_unused]] QEvent* event)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(event);
#endif
}

// Posts an event of `type` to `receiver`, from any thread.
inline void PostHandedOver(QObject* receiver, QEvent::Type type)
{
    auto* event = new QEvent(type);
    MarkHandedOver(event);
    QCoreApplication::postEvent(receiver, event);
}
