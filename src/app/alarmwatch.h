#ifndef ALARMWATCH_H
#define ALARMWATCH_H

#include "alarmboard.h"
#include "alarmlog.h"
#include "trendpanel.h"

#include <QObject>
#include <QVector>

class AlarmLogPanel;
class QAction;
class QLabel;
class QMainWindow;
class QTimer;
class SerialCommon;
class WindowMemory;

// The window's alarms, around its form: the 报警 menu, the board fed with what the polling sees,
// the value labels' colour, a status line under the form, the limits and times in alarm on the
// trend, and the log of every event, in a panel and in alarms.jsonl.
class AlarmWatch : public QObject
{
    Q_OBJECT

public:
    AlarmWatch(QMainWindow *window, SerialCommon *serial, WindowMemory *memory,
               const QString &logPath = AlarmLog::defaultPath());

    const AlarmBoard &board() const { return alarms; }
    void editLimits();
    void acknowledgeAll();

private:
    void take(const QByteArray &pack);
    void tick();
    void deviceLost();
    void setLimits(int row, const AlarmLimits &limits);
    void publish();
    void showState();
    void drawOn(TrendPanel *panel) const;
    QString describe(int row) const;

    QMainWindow *window;
    SerialCommon *serial;
    WindowMemory *memory;
    AlarmBoard alarms;
    AlarmLog log;
    AlarmLogPanel *logPanel;
    QLabel *statusLine;
    QLabel *valueLabels[SensorProtocol::ChannelCount];
    QAction *acknowledgeAction;
    QTimer *clock;
    // The last raised event of each row, from this run or the log, for the status line.
    std::optional<AlarmBoard::Event> raisedLast[AlarmBoard::RowCount];
    QVector<TrendPanel::AlarmBand> bands[SensorProtocol::ChannelCount];
    qint64 lastReading = 0;
    bool portWasOpen = false;
    // One box for a log that cannot be written, until a line is written again.
    bool logFailing = false;
};

#endif // ALARMWATCH_H
