#ifndef ALARMLOGPANEL_H
#define ALARMLOGPANEL_H

#include "alarmlog.h"

#include <QWidget>

#include <vector>

class QTableWidget;

// The alarm log as the operator reads it: one row an event, the newest at the top, in the units
// and names of the form. The window puts it below the form, as it does the trend.
class AlarmLogPanel : public QWidget
{
    Q_OBJECT

public:
    // The rows kept; the oldest go first.
    static constexpr int MaxRows = 1000;

    explicit AlarmLogPanel(QWidget *parent = nullptr);

    // At the top.
    void add(const AlarmLog::Entry &entry);
    // Oldest first, as AlarmLog::readBack gives them; they replace what is shown.
    void setEntries(const std::vector<AlarmLog::Entry> &entries);

private:
    void fillRow(int row, const AlarmLog::Entry &entry);

    QTableWidget *table;
};

#endif // ALARMLOGPANEL_H
