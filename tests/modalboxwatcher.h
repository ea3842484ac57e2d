#ifndef MODALBOXWATCHER_H
#define MODALBOXWATCHER_H

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <functional>

// Watches for application-modal message boxes, records what each one showed and answers it,
// the way an operator would. Boxes run their own event loops, so the watcher acts from a timer
// that fires inside them.
class ModalBoxWatcher : public QObject
{
    Q_OBJECT

public:
    struct Box
    {
        QString title;
        QString text;
        QMessageBox::Icon icon;
        QStringList buttons;
        bool hasParent;
        qint64 shownAt; // monotonic milliseconds
    };
    // Runs instead of the default answer; it must close the box itself, for example by press().
    using Action = std::function<void(QMessageBox *)>;

    explicit ModalBoxWatcher(QObject *parent = nullptr);

    // Button pressed on every box from now on, by its text; a box without it gets its first button.
    void setAnswer(const QString &buttonText);
    void setAction(const Action &action);
    const QList<Box> &boxes() const;
    QStringList texts() const;

    static void press(QMessageBox *box, const QString &buttonText);

private:
    void poll();

    QTimer timer;
    QString answer;
    Action action;
    QList<Box> seen;
    QList<QPointer<QMessageBox>> handled;
};

#endif // MODALBOXWATCHER_H
