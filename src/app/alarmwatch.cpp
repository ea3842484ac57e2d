#include "alarmwatch.h"

#include "alarmlimitsdialog.h"
#include "alarmlogpanel.h"
#include "readingformat.h"
#include "serialcommon.h"
#include "windowmemory.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QLabel>
#include <QLocale>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>

namespace {

const char *const kNames[AlarmBoard::RowCount] = {"温度", "湿度", "气压", "油温", "无数据"};
// As the form writes them after its values.
const char *const kUnits[SensorProtocol::ChannelCount] = {"℃", "%RH", "kPa", "℃"};
const char *const kValueLabels[SensorProtocol::ChannelCount] = {
    "label_TemMeasure", "label_HumMeasure", "label_AtmMeasure", "label_OilMeasure"};
const QColor kActive(0xC0, 0x00, 0x00);
const QColor kCleared(0xD0, 0x68, 0x00);
// The log panel's height below the form.
const int kLogHeight = 200;
// Seconds without an intact reading before the link's row hears of it: polling asks once a
// second, and an answer may come late within it.
const qint64 kUnansweredAfter = 1500;

bool sameLimits(const AlarmLimits &a, const AlarmLimits &b)
{
    return a.enabled == b.enabled && a.low == b.low && a.high == b.high
        && a.hysteresis == b.hysteresis && a.delaySeconds == b.delaySeconds;
}

} // namespace

AlarmWatch::AlarmWatch(QMainWindow *window, SerialCommon *serial, WindowMemory *memory,
                       const QString &logPath)
    : QObject(window)
    , window(window)
    , serial(serial)
    , memory(memory)
    , log(logPath)
    , logPanel(new AlarmLogPanel)
    , statusLine(new QLabel)
    , clock(new QTimer(this))
{
    for (int channel = 0; channel < SensorProtocol::ChannelCount; ++channel)
        valueLabels[channel] = window->findChild<QLabel *>(QLatin1String(kValueLabels[channel]));
    statusLine->setObjectName(QStringLiteral("alarmStatusLine"));
    statusLine->setContentsMargins(10, 0, 10, 4);
    statusLine->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    memory->addBelowForm(statusLine);
    memory->addBelowForm(logPanel);

    QMenu *menu = memory->addMenu(QStringLiteral("报警(&A)"));
    menu->addAction(QStringLiteral("报警限值…"), this, &AlarmWatch::editLimits);
    acknowledgeAction =
        menu->addAction(QStringLiteral("确认报警"), this, &AlarmWatch::acknowledgeAll);
    acknowledgeAction->setShortcut(QKeySequence(QStringLiteral("Ctrl+K")));
    QAction *logAction = menu->addAction(QStringLiteral("报警记录"));
    logAction->setCheckable(true);
    connect(logAction, &QAction::toggled, this,
            [this](bool shown) { this->memory->showBelowForm(logPanel, shown, kLogHeight); });

    for (int row = 0; row < AlarmBoard::RowCount; ++row)
        alarms.setLimits(row, AlarmLimits::load(row));
    // An alarm nobody acknowledged before the last exit is still owed an acknowledgement.
    const std::vector<AlarmLog::Entry> entries = log.readBack();
    logPanel->setEntries(entries);
    for (int row : AlarmLog::unacknowledged(entries)) {
        for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
            if (entry->row == row && entry->kind == AlarmChannel::Kind::Raised) {
                raisedLast[row] = AlarmBoard::Event{entry->time.toMSecsSinceEpoch(), row,
                                                    entry->kind, entry->value, entry->limit};
                break;
            }
        }
        alarms.restoreUnacknowledged(row, raisedLast[row] ? raisedLast[row]->limit : std::nullopt);
    }

    connect(serial, &SerialCommon::sendParsePack, this, &AlarmWatch::take);
    // Queued, so that the link's alarm rises while the window's box about the lost port is open.
    connect(serial, &SerialCommon::serialPortLost, this, &AlarmWatch::deviceLost,
            Qt::QueuedConnection);
    connect(memory, &WindowMemory::trendMade, this, &AlarmWatch::drawOn);
    connect(clock, &QTimer::timeout, this, &AlarmWatch::tick);
    clock->start(1000);
    showState();
}

void AlarmWatch::editLimits()
{
    AlarmLimitsRows rows;
    for (int row = 0; row < AlarmBoard::RowCount; ++row)
        rows[size_t(row)] = alarms.row(row).limits();
    AlarmLimitsDialog dialog(rows, window);
    if (dialog.exec() != QDialog::Accepted)
        return;
    for (int row = 0; row < AlarmBoard::RowCount; ++row) {
        const AlarmLimits &limits = dialog.limits()[size_t(row)];
        if (sameLimits(limits, alarms.row(row).limits()))
            continue;
        limits.save(row);
        setLimits(row, limits);
    }
    if (memory->trend())
        drawOn(memory->trend());
    showState();
}

void AlarmWatch::acknowledgeAll()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (int row = 0; row < AlarmBoard::RowCount; ++row)
        alarms.acknowledge(row, now);
    publish();
}

void AlarmWatch::take(const QByteArray &pack)
{
    SensorProtocol::Reading reading;
    if (!SensorProtocol::readingOf(pack, QDateTime::currentDateTime(), &reading))
        return;
    lastReading = reading.time.toMSecsSinceEpoch();
    alarms.reading(reading);
    publish();
}

void AlarmWatch::tick()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const bool open = serial->isPortOpen();
    if (open && !portWasOpen) {
        alarms.portOpened(now);
        lastReading = now;
    } else if (!open && portWasOpen) {
        alarms.portClosed();
    }
    portWasOpen = open;
    if (open && now - lastReading >= kUnansweredAfter)
        alarms.unanswered(now);
    publish();
}

void AlarmWatch::deviceLost()
{
    alarms.deviceLost(QDateTime::currentMSecsSinceEpoch());
    publish();
}

void AlarmWatch::setLimits(int row, const AlarmLimits &limits)
{
    alarms.setLimits(row, limits);
    // Switched off, the row forgets its alarm, and its time in alarm ends here.
    if (row < SensorProtocol::ChannelCount && !limits.enabled && !bands[row].isEmpty()
        && bands[row].last().to < 0)
        bands[row].last().to = QDateTime::currentMSecsSinceEpoch();
}

void AlarmWatch::publish()
{
    const std::vector<AlarmBoard::Event> events = alarms.takeEvents();
    bool bandsChanged = false;
    for (const AlarmBoard::Event &event : events) {
        const int row = event.channel;
        const AlarmLimits &limits = alarms.row(row).limits();
        AlarmLog::Entry entry{QDateTime::fromMSecsSinceEpoch(event.msecs),
                              row,
                              event.kind,
                              event.value,
                              event.limit,
                              row == AlarmChannel::Link ? 0 : limits.hysteresis,
                              limits.delaySeconds,
                              QString()};
        if (event.kind == AlarmChannel::Kind::Raised) {
            raisedLast[row] = event;
            QApplication::beep();
        } else if (event.kind == AlarmChannel::Kind::Acknowledged) {
            entry.user = AlarmLog::userName();
        }
        if (row < SensorProtocol::ChannelCount && event.kind != AlarmChannel::Kind::Acknowledged) {
            if (event.kind == AlarmChannel::Kind::Raised)
                bands[row] << TrendPanel::AlarmBand{event.msecs, -1};
            else if (!bands[row].isEmpty() && bands[row].last().to < 0)
                bands[row].last().to = event.msecs;
            // A day of the trend holds few alarms; an alarm that chatters past this many loses
            // its oldest bands, never the log's lines.
            if (bands[row].size() > 1000)
                bands[row].removeFirst();
            bandsChanged = true;
        }
        logPanel->add(entry);
        if (log.append(entry)) {
            logFailing = false;
            continue;
        }
        if (logFailing)
            continue;
        logFailing = true;
        // The alarm stands in the window whatever the file does; the box waits for the caller to
        // return, so that no reading waits behind it.
        const QString reason = log.errorString();
        QTimer::singleShot(0, this, [this, reason] {
            QMessageBox::warning(window, QStringLiteral("报警记录"),
                                 QStringLiteral("无法写入 %1：%2\n报警仍显示在窗口中。")
                                     .arg(QDir::toNativeSeparators(log.path()), reason));
        });
    }
    if (bandsChanged && memory->trend())
        drawOn(memory->trend());
    if (!events.empty())
        showState();
}

void AlarmWatch::showState()
{
    int worst = -1;
    int standing = 0;
    bool owed = false;
    for (int row = 0; row < AlarmBoard::RowCount; ++row) {
        const AlarmChannel &alarm = alarms.row(row);
        const AlarmChannel::State state = alarm.state();
        const bool shown =
            state == AlarmChannel::State::Active || state == AlarmChannel::State::Cleared;
        owed = owed || state == AlarmChannel::State::Cleared
            || (state == AlarmChannel::State::Active && !alarm.isSilenced());
        if (row < SensorProtocol::ChannelCount && valueLabels[row]) {
            // Only the colour of the value's text, and an empty palette gives the label back
            // what it inherits.
            QPalette palette;
            if (shown)
                palette.setColor(QPalette::WindowText,
                                 state == AlarmChannel::State::Active ? kActive : kCleared);
            valueLabels[row]->setPalette(palette);
        }
        if (!shown)
            continue;
        ++standing;
        if (worst < 0 || state > alarms.row(worst).state())
            worst = row;
    }
    acknowledgeAction->setEnabled(owed);
    if (worst >= 0) {
        QString text = describe(worst);
        if (standing > 1)
            text += QStringLiteral("（另有 %1 项）").arg(standing - 1);
        statusLine->setText(text);
        QPalette palette;
        palette.setColor(QPalette::WindowText,
                         alarms.row(worst).state() == AlarmChannel::State::Active ? kActive
                                                                                  : kCleared);
        statusLine->setPalette(palette);
    }
    memory->showBelowForm(statusLine, worst >= 0, statusLine->sizeHint().height());
}

QString AlarmWatch::describe(int row) const
{
    const AlarmChannel &alarm = alarms.row(row);
    QString text = alarm.state() == AlarmChannel::State::Cleared
        ? QStringLiteral("已恢复，待确认：")
        : alarm.isSilenced() ? QStringLiteral("报警（已确认）：")
                             : QStringLiteral("报警：");
    text += QString::fromUtf8(kNames[row]);
    const std::optional<AlarmBoard::Event> &raised = raisedLast[row];
    if (!raised)
        return text;
    const QString time = QLocale::c().toString(QDateTime::fromMSecsSinceEpoch(raised->msecs),
                                               QStringLiteral("HH:mm:ss"));
    if (row == AlarmChannel::Link || !raised->value || !raised->limit)
        return text + QLatin1Char(' ') + time;
    // 油温 高于 60.0 ℃（61.3 ℃）14:02:11
    return text
        + QStringLiteral(" %1 %2 %3（%4 %3）%5")
              .arg(*raised->value > *raised->limit ? QStringLiteral("高于")
                                                   : QStringLiteral("低于"),
                   ReadingFormat::tenthsText(*raised->limit), QString::fromUtf8(kUnits[row]),
                   ReadingFormat::tenthsText(*raised->value), time);
}

void AlarmWatch::drawOn(TrendPanel *panel) const
{
    for (int channel = 0; channel < SensorProtocol::ChannelCount; ++channel) {
        const AlarmLimits &limits = alarms.row(channel).limits();
        panel->setAlarm(channel, limits.enabled ? limits.low : std::nullopt,
                        limits.enabled ? limits.high : std::nullopt, bands[channel]);
    }
}
