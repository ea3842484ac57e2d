#include "stampingapplication.h"

#include "monotonic.h"

#include <QEvent>
#include <QLabel>

StampingApplication::StampingApplication(int &argc, char **argv)
    : QApplication(argc, argv)
{
    // A long run paints a few times a second; no reallocation while measuring.
    stamps.reserve(4096);
}

void StampingApplication::watch(QLabel *label)
{
    watched.append(label);
}

void StampingApplication::printStamps(std::FILE *out) const
{
    for (const StampLines::Paint &stamp : stamps)
        StampLines::print(out, stamp);
}

bool StampingApplication::notify(QObject *receiver, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::Paint && type != QEvent::UpdateRequest && type != QEvent::Expose)
        return QApplication::notify(receiver, event);

    if (type == QEvent::Paint) {
        for (QLabel *label : qAsConst(watched)) {
            if (receiver == label)
                pending.append({0, label->objectName(), label->text()});
        }
    }
    ++paintDepth;
    const bool handled = QApplication::notify(receiver, event);
    --paintDepth;
    if (paintDepth == 0 && !pending.isEmpty()) {
        const qint64 now = monotonicNanos();
        for (StampLines::Paint &stamp : pending) {
            stamp.nanos = now;
            stamps.append(stamp);
        }
        pending.clear();
    }
    return handled;
}
