#ifndef ALARMLIMITSDIALOG_H
#define ALARMLIMITSDIALOG_H

#include "alarmboard.h"

#include <QDialog>

#include <array>

class QCheckBox;
class QLabel;
class QLineEdit;

using AlarmLimitsRows = std::array<AlarmLimits, AlarmBoard::RowCount>;

// The limits of the four channels' alarms and the delay of "no data", one row each. 确定 takes
// them only when every row, switched on or not, is one the alarms can keep.
class AlarmLimitsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit AlarmLimitsDialog(const AlarmLimitsRows &limits, QWidget *parent = nullptr);

    // What 确定 accepted; the limits given while the dialog was not accepted.
    const AlarmLimitsRows &limits() const { return kept; }

private:
    struct Row
    {
        QCheckBox *enabled;
        // None on the link row.
        QLineEdit *low = nullptr;
        QLineEdit *high = nullptr;
        QLineEdit *hysteresis = nullptr;
        QLineEdit *delay;
        QLabel *reason;
    };

    void check();
    static QLineEdit *fieldOf(const Row &row, AlarmLimits::Field field);

    std::array<Row, AlarmBoard::RowCount> rows;
    AlarmLimitsRows kept;
};

#endif // ALARMLIMITSDIALOG_H
