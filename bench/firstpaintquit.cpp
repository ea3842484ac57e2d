// Linked into both start-up programs: quits the application once the first paint of a shown
// window has been delivered.

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

#include <unistd.h>

namespace {

// Watches every event of the application.
class FirstPaintQuit : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!seen && event->type() == QEvent::Paint) {
            auto *widget = qobject_cast<QWidget *>(watched);
            if (widget && widget->window()->isVisible()) {
                seen = true;
                // Queued: the whole window is drawn and flushed within the paint pass that is
                // under way, and the quit is taken only after that pass has returned.
                QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                          Qt::QueuedConnection);
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool seen = false;
};

// Runs inside the QApplication constructor, so that the program's own main() needs no change.
void installFirstPaintQuit()
{
    QCoreApplication *app = QCoreApplication::instance();
    app->installEventFilter(new FirstPaintQuit(app));
    // A window that never paints must not hang the measurement.
    ::alarm(20);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installFirstPaintQuit)
