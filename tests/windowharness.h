#ifndef WINDOWHARNESS_H
#define WINDOWHARNESS_H

#include "mainwindow.h"
#include "modalboxwatcher.h"
#include "simulatedunit.h"

#include <QByteArray>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QPushButton>

// The real window wired to a simulated unit on a pseudo-terminal, with a watcher that answers
// the window's message boxes.
class WindowHarness
{
public:
    WindowHarness();

    template <typename T>
    T *widget(const char *name) const
    {
        return window.findChild<T *>(QLatin1String(name));
    }
    QPushButton *button(const char *name) const;
    QLabel *label(const char *name) const;
    QLineEdit *edit(const char *name) const;
    QComboBox *comboBox() const;

    // Puts the unit's port into the list, presses the open button and waits for the unit's
    // answer to the connection check. False when that answer did not come.
    bool openUnit();
    // Asks the unit for its measurements as a polling tick does, through the window's own link:
    // command 0x50, then 0x60 50 ms later.
    void pollNow();
    // Requests the unit received with the given command, with their monotonic times.
    QList<SimulatedUnit::Frame> requests(quint8 command) const;
    QList<quint8> commandsReceived() const;
    // The texts of the four measured-value labels, temperature first.
    QStringList measurements() const;
    // Feeds a pack to the window's decoder as if the link had cut it.
    void decode(const QByteArray &pack);

    SimulatedUnit unit;
    MainWindow window;
    ModalBoxWatcher boxes;
};

#endif // WINDOWHARNESS_H
