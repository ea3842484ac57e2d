#include "modalboxwatcher.h"

#include "simulatedunit.h"

#include <QAbstractButton>
#include <QApplication>

ModalBoxWatcher::ModalBoxWatcher(QObject *parent)
    : QObject(parent)
{
    connect(&timer, &QTimer::timeout, this, &ModalBoxWatcher::poll);
    timer.start(10);
}

void ModalBoxWatcher::setAnswer(const QString &buttonText)
{
    answer = buttonText;
}

void ModalBoxWatcher::setAction(const Action &newAction)
{
    action = newAction;
}

const QList<ModalBoxWatcher::Box> &ModalBoxWatcher::boxes() const
{
    return seen;
}

QStringList ModalBoxWatcher::texts() const
{
    QStringList result;
    for (const Box &box : seen)
        result << box.text;
    return result;
}

void ModalBoxWatcher::press(QMessageBox *box, const QString &buttonText)
{
    const QList<QAbstractButton *> buttons = box->buttons();
    for (QAbstractButton *button : buttons) {
        if (button->text() == buttonText) {
            button->click();
            return;
        }
    }
    // A box without that button (an OK-only notice) is acknowledged, never left hanging.
    if (!buttons.isEmpty())
        buttons.first()->click();
}

void ModalBoxWatcher::poll()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box)
        return;
    handled.removeAll(nullptr);
    if (handled.contains(box))
        return;
    handled << box;

    QStringList buttons;
    const QList<QAbstractButton *> boxButtons = box->buttons();
    for (QAbstractButton *button : boxButtons)
        buttons << button->text();
    seen << Box{box->windowTitle(),
                box->text(),
                box->icon(),
                buttons,
                box->parentWidget() != nullptr,
                SimulatedUnit::clockMsecs()};

    if (action)
        action(box);
    else
        press(box, answer);
}
