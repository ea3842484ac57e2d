#ifndef TRENDPANEL_H
#define TRENDPANEL_H

#include "trendhistory.h"

#include <QVector>
#include <QWidget>

#include <optional>

class QCheckBox;
class QComboBox;
class QCPAxis;
class QCPGraph;
class QCPItemRect;
class QCPItemStraightLine;
class QCustomPlot;
class QDoubleSpinBox;
class QLabel;
class QPushButton;

// The four readings over time, drawn from the window's history: air and oil temperature on one
// axis, humidity and air pressure on axes of their own. It follows the newest reading until the
// user zooms or pans the time axis; the value axes fit what is in view unless the user fixes them.
class TrendPanel : public QWidget
{
    Q_OBJECT

public:
    // The time spans to choose from, in seconds: 1 min, 10 min, 1 h, 8 h, 24 h.
    static const QList<int> &spans();

    explicit TrendPanel(const TrendHistory &history, QWidget *parent = nullptr);

    // The history's newest sample is new, and the oldest may have left it.
    void takeNewest();

    int span() const;
    void setSpan(int seconds);
    bool isChannelShown(int channel) const;
    void setChannelShown(int channel, bool shown);
    bool isFollowing() const { return following; }
    // Back to the newest reading, over the chosen span.
    void follow();
    // The time in view, in milliseconds since the epoch.
    qint64 viewFrom() const;
    qint64 viewTo() const;
    // The plot as a PNG of its size on screen times the screen's scale.
    bool savePicture(const QString &path);

    // A time the channel spent in alarm, in milliseconds since the epoch; `to` is negative while
    // the alarm lasts, and the band then reaches the newest reading.
    struct AlarmBand
    {
        qint64 from;
        qint64 to;
    };
    // The channel's alarm limits as lines on its axis, in tenths (none on a side without one),
    // and its times in alarm as shaded bands.
    void setAlarm(int channel, std::optional<int> low, std::optional<int> high,
                  const QVector<AlarmBand> &bands);

signals:
    void spanChosen(int seconds);
    void channelShownChanged(int channel, bool shown);

protected:
    void showEvent(QShowEvent *event) override;

private:
    QWidget *makeAxisControls();
    void addSample(int index);
    void setTimeRange(double from, double to);
    void onTimeRangeChanged();
    void refresh();
    void fitValueAxes(const TrendHistory::Summaries &summaries);
    void showCursor(int x);

    const TrendHistory &history;
    QCustomPlot *plot;
    QCPGraph *graphs[SensorProtocol::ChannelCount];
    QCPAxis *valueAxes[3];
    QCheckBox *autoScale[3];
    QDoubleSpinBox *fixedFrom[3];
    QDoubleSpinBox *fixedTo[3];
    QCPItemStraightLine *cursorLine;
    QCPItemStraightLine *limitLines[SensorProtocol::ChannelCount][2];
    bool hasLimit[SensorProtocol::ChannelCount][2] = {};
    QVector<QCPItemRect *> bandItems[SensorProtocol::ChannelCount];
    QCPItemRect *openBand[SensorProtocol::ChannelCount] = {};
    QComboBox *spanBox;
    QPushButton *followButton;
    QLabel *cursorText;
    QLabel *summaryText[SensorProtocol::ChannelCount];
    int leftSinceCompaction = 0;
    bool following = true;
    bool adjusting = false;
};

#endif // TRENDPANEL_H
