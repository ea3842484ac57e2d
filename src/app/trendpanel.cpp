#include "trendpanel.h"

#include "readingformat.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <qcustomplot.h>

#include <cmath>
#include <limits>

namespace {

// How each channel is drawn: its name on the form, its unit, the value axis it shares and a
// colour that stays apart from the others for colour-blind viewers too.
struct Curve
{
    const char *name;
    const char *unit;
    int axis;
    QRgb colour;
};
const Curve kCurves[SensorProtocol::ChannelCount] = {
    {"温度", "℃", 0, 0xD55E00},
    {"湿度", "%RH", 1, 0x0072B2},
    {"气压", "kPa", 2, 0x009E73},
    {"油温", "℃", 0, 0xCC79A7},
};
const char *const kAxisUnits[3] = {"℃", "%RH", "kPa"};
// What a 16-bit field can carry, in the axis's unit: temperatures are signed words.
const double kAxisLimits[3][2] = {{-3276.8, 3276.7}, {0, 6553.5}, {0, 6553.5}};

// Readings that leave the curves between two compactions of their storage: ten minutes.
const int kCompactEvery = 600;
// A day of readings, those that leave before a compaction, and an hour of gaps; pages not yet
// written cost no memory.
const int kCurvePoints = TrendHistory::DayOfReadings + kCompactEvery + 3600;

double keyOf(qint64 msecs)
{
    return msecs / 1000.0;
}

QString valueText(double tenths)
{
    // Two decimals as on the form; QString::number ignores the locale's digits.
    return QString::number(tenths / 10.0, 'f', 2);
}

} // namespace

const QList<int> &TrendPanel::spans()
{
    static const QList<int> seconds = {60, 600, 3600, 8 * 3600, 24 * 3600};
    return seconds;
}

TrendPanel::TrendPanel(const TrendHistory &history, QWidget *parent)
    : QWidget(parent)
    , history(history)
    , plot(new QCustomPlot(this))
{
    spanBox = new QComboBox(this);
    for (const QString &text :
         {QStringLiteral("1 分钟"), QStringLiteral("10 分钟"), QStringLiteral("1 小时"),
          QStringLiteral("8 小时"), QStringLiteral("24 小时")})
        spanBox->addItem(text, spans().at(spanBox->count()));
    followButton = new QPushButton(QStringLiteral("跟随最新"), this);
    followButton->setEnabled(false);
    cursorText = new QLabel(this);
    // Long texts are cut rather than widen the window.
    cursorText->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    auto *top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("时间跨度"), this));
    top->addWidget(spanBox);
    top->addWidget(followButton);
    top->addStretch(1);
    top->addWidget(cursorText);

    // Many points make no slower a picture: the graphs sample what each pixel column shows.
    plot->setPlottingHint(QCP::phFastPolylines);
    plot->setMinimumHeight(120);
    auto *ticker = new QCPAxisTickerDateTime;
    ticker->setDateTimeFormat(QStringLiteral("hh:mm:ss"));
    plot->xAxis->setTicker(QSharedPointer<QCPAxisTicker>(ticker));
    valueAxes[0] = plot->yAxis;
    valueAxes[1] = plot->yAxis2;
    valueAxes[2] = plot->axisRect()->addAxis(QCPAxis::atRight);
    for (int axis = 0; axis < 3; ++axis) {
        valueAxes[axis]->setVisible(true);
        valueAxes[axis]->setLabel(QString::fromUtf8(kAxisUnits[axis]));
    }
    plot->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    plot->axisRect()->setRangeDrag(Qt::Horizontal);
    plot->axisRect()->setRangeZoom(Qt::Horizontal);
    for (int channel = 0; channel < SensorProtocol::ChannelCount; ++channel) {
        const Curve &curve = kCurves[channel];
        QCPGraph *graph = plot->addGraph(plot->xAxis, valueAxes[curve.axis]);
        graph->setName(QStringLiteral("%1 (%2)").arg(QString::fromUtf8(curve.name),
                                                     QString::fromUtf8(curve.unit)));
        // Oil temperature shares its axis and a warm hue with the air's; dashes tell them apart.
        graph->setPen(QPen(QColor(curve.colour), 2, channel == 3 ? Qt::DashLine : Qt::SolidLine));
        // Room for a day and the points that leave before the next compaction, taken once, so
        // that a full history does not make the curves' storage grow by doubling.
        QVector<QCPGraphData> room;
        room.reserve(kCurvePoints);
        graph->data()->set(room, true);
        graph->data()->setAutoSqueeze(false);
        graphs[channel] = graph;
    }
    // The legend in a row of its own above the curves, so that it never hides one.
    plot->legend->setVisible(true);
    plot->axisRect()->insetLayout()->take(plot->legend);
    plot->plotLayout()->insertRow(0);
    plot->plotLayout()->addElement(0, 0, plot->legend);
    plot->legend->setFillOrder(QCPLayoutGrid::foColumnsFirst);
    plot->legend->setBorderPen(Qt::NoPen);
    plot->plotLayout()->setRowStretchFactor(0, 0.001);
    // The cursor is on the plot's own buffered top layer, redrawn alone as the mouse moves.
    cursorLine = new QCPItemStraightLine(plot);
    cursorLine->setLayer(QStringLiteral("overlay"));
    cursorLine->setPen(QPen(Qt::gray, 1, Qt::DotLine));
    cursorLine->setVisible(false);
    plot->setMouseTracking(true);
    for (int channel = 0; channel < SensorProtocol::ChannelCount; ++channel) {
        for (QCPItemStraightLine *&line : limitLines[channel]) {
            line = new QCPItemStraightLine(plot);
            line->setPen(QPen(QColor(kCurves[channel].colour), 1, Qt::DashDotLine));
            for (QCPItemPosition *end : {line->point1, line->point2})
                end->setAxes(plot->xAxis, valueAxes[kCurves[channel].axis]);
            line->setVisible(false);
        }
    }

    auto *summaries = new QGridLayout;
    for (int channel = 0; channel < SensorProtocol::ChannelCount; ++channel) {
        summaryText[channel] = new QLabel(this);
        summaryText[channel]->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        summaries->addWidget(summaryText[channel], channel / 2, channel % 2);
    }
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 0, 10, 6);
    layout->addLayout(top);
    layout->addWidget(plot, 1);
    layout->addLayout(summaries);
    layout->addWidget(makeAxisControls());

    for (int i = 0; i < history.size(); ++i)
        addSample(i);
    connect(spanBox, QOverload<int>::of(&QComboBox::activated), this, [this](int index) {
        setSpan(spans().at(index));
        emit spanChosen(span());
    });
    connect(followButton, &QPushButton::clicked, this, &TrendPanel::follow);
    connect(plot->xAxis, QOverload<const QCPRange &>::of(&QCPAxis::rangeChanged), this,
            &TrendPanel::onTimeRangeChanged);
    connect(plot, &QCustomPlot::legendClick, this,
            [this](QCPLegend *, QCPAbstractLegendItem *item, QMouseEvent *) {
                auto *entry = qobject_cast<QCPPlottableLegendItem *>(item);
                for (int channel = 0; entry && channel < SensorProtocol::ChannelCount; ++channel) {
                    if (entry->plottable() != graphs[channel])
                        continue;
                    setChannelShown(channel, !isChannelShown(channel));
                    emit channelShownChanged(channel, isChannelShown(channel));
                }
            });
    connect(plot, &QCustomPlot::mouseMove, this, [this](QMouseEvent *event) {
        if (event->buttons() == Qt::NoButton)
            showCursor(event->pos().x());
    });
    follow();
}

QWidget *TrendPanel::makeAxisControls()
{
    auto *controls = new QWidget(this);
    auto *row = new QHBoxLayout(controls);
    row->setContentsMargins(0, 0, 0, 0);
    for (int axis = 0; axis < 3; ++axis) {
        autoScale[axis] = new QCheckBox(QStringLiteral("%1 自动").arg(kAxisUnits[axis]), controls);
        autoScale[axis]->setChecked(true);
        row->addWidget(autoScale[axis]);
        for (QDoubleSpinBox **box : {&fixedFrom[axis], &fixedTo[axis]}) {
            *box = new QDoubleSpinBox(controls);
            (*box)->setDecimals(1);
            (*box)->setRange(kAxisLimits[axis][0], kAxisLimits[axis][1]);
            (*box)->setEnabled(false);
            // Wide enough for a reading, not for the extremes of a 16-bit field.
            (*box)->setMinimumWidth(64);
            row->addWidget(*box);
            connect(*box, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
                    &TrendPanel::refresh);
        }
        // Fixing an axis starts from the range it shows, so that nothing jumps.
        connect(autoScale[axis], &QCheckBox::toggled, this, [this, axis](bool automatic) {
            const QCPRange shown = valueAxes[axis]->range();
            const QSignalBlocker blockFrom(fixedFrom[axis]);
            const QSignalBlocker blockTo(fixedTo[axis]);
            fixedFrom[axis]->setValue(std::floor(shown.lower * 10) / 10);
            fixedTo[axis]->setValue(std::ceil(shown.upper * 10) / 10);
            fixedFrom[axis]->setEnabled(!automatic);
            fixedTo[axis]->setEnabled(!automatic);
            refresh();
        });
        if (axis < 2)
            row->addSpacing(16);
    }
    row->addStretch(1);
    return controls;
}

void TrendPanel::addSample(int index)
{
    const TrendHistory::Sample &sample = history.at(index);
    const double key = keyOf(sample.msecs);
    const bool gap = history.gapBefore(index);
    for (int channel = 0; channel < SensorProtocol::ChannelCount; ++channel) {
        // A point without a value breaks the line: nothing is drawn where no answer came.
        if (gap)
            graphs[channel]->addData((keyOf(history.at(index - 1).msecs) + key) / 2,
                                     std::numeric_limits<double>::quiet_NaN());
        graphs[channel]->addData(key, sample.tenths(channel) / 10.0);
    }
}

void TrendPanel::takeNewest()
{
    if (history.size() == 0)
        return;
    addSample(history.size() - 1);
    for (QCPItemRect *band : openBand) {
        if (band)
            band->bottomRight->setCoords(keyOf(history.at(history.size() - 1).msecs), 1);
    }
    if (history.isFull()) {
        // The curves keep the space of the points that leave them until compacted.
        const bool compact = ++leftSinceCompaction == kCompactEvery;
        for (QCPGraph *graph : graphs) {
            graph->data()->removeBefore(keyOf(history.at(0).msecs));
            if (compact)
                graph->data()->squeeze(true, false);
        }
        if (compact)
            leftSinceCompaction = 0;
    }
    if (following)
        follow();
    else if (isVisible())
        refresh();
}

int TrendPanel::span() const
{
    return spanBox->currentData().toInt();
}

void TrendPanel::setSpan(int seconds)
{
    const int index = spans().indexOf(seconds);
    if (index < 0)
        return;
    spanBox->setCurrentIndex(index);
    if (following)
        follow();
    else
        setTimeRange(plot->xAxis->range().upper - seconds, plot->xAxis->range().upper);
}

bool TrendPanel::isChannelShown(int channel) const
{
    return graphs[channel]->visible();
}

void TrendPanel::setChannelShown(int channel, bool shown)
{
    graphs[channel]->setVisible(shown);
    for (int side = 0; side < 2; ++side)
        limitLines[channel][side]->setVisible(shown && hasLimit[channel][side]);
    for (QCPItemRect *band : bandItems[channel])
        band->setVisible(shown);
    // A hidden curve keeps its entry in the legend, greyed, so that a click brings it back.
    if (QCPPlottableLegendItem *entry = plot->legend->itemWithPlottable(graphs[channel]))
        entry->setTextColor(shown ? Qt::black : Qt::gray);
    refresh();
}

void TrendPanel::setAlarm(int channel, std::optional<int> low, std::optional<int> high,
                          const QVector<AlarmBand> &bands)
{
    const std::optional<int> limits[2] = {low, high};
    for (int side = 0; side < 2; ++side) {
        QCPItemStraightLine *line = limitLines[channel][side];
        hasLimit[channel][side] = limits[side].has_value();
        line->setVisible(hasLimit[channel][side] && isChannelShown(channel));
        line->point1->setCoords(0, limits[side].value_or(0) / 10.0);
        line->point2->setCoords(1, limits[side].value_or(0) / 10.0);
    }
    for (QCPItemRect *band : bandItems[channel])
        plot->removeItem(band);
    bandItems[channel].clear();
    openBand[channel] = nullptr;
    const qint64 newest = history.size() > 0 ? history.at(history.size() - 1).msecs
                                             : QDateTime::currentMSecsSinceEpoch();
    for (const AlarmBand &alarm : bands) {
        // Across the whole height, under the curves, in the curve's colour but faint.
        auto *band = new QCPItemRect(plot);
        band->setLayer(QStringLiteral("grid"));
        QColor fill(kCurves[channel].colour);
        fill.setAlpha(48);
        band->setBrush(fill);
        band->setPen(Qt::NoPen);
        for (QCPItemPosition *corner : {band->topLeft, band->bottomRight}) {
            corner->setTypeX(QCPItemPosition::ptPlotCoords);
            corner->setTypeY(QCPItemPosition::ptAxisRectRatio);
            corner->setAxes(plot->xAxis, valueAxes[kCurves[channel].axis]);
        }
        band->topLeft->setCoords(keyOf(alarm.from), 0);
        band->bottomRight->setCoords(keyOf(alarm.to < 0 ? std::max(newest, alarm.from) : alarm.to),
                                     1);
        band->setVisible(isChannelShown(channel));
        bandItems[channel] << band;
        if (alarm.to < 0)
            openBand[channel] = band;
    }
    plot->replot(QCustomPlot::rpQueuedReplot);
}

void TrendPanel::follow()
{
    const qint64 newest = history.size() > 0 ? history.at(history.size() - 1).msecs
                                             : QDateTime::currentMSecsSinceEpoch();
    following = true;
    followButton->setEnabled(false);
    setTimeRange(keyOf(newest) - span(), keyOf(newest));
}

qint64 TrendPanel::viewFrom() const
{
    return qint64(std::ceil(plot->xAxis->range().lower * 1000));
}

qint64 TrendPanel::viewTo() const
{
    return qint64(std::floor(plot->xAxis->range().upper * 1000));
}

bool TrendPanel::savePicture(const QString &path)
{
    return plot->savePng(path, 0, 0, plot->devicePixelRatioF());
}

void TrendPanel::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refresh();
}

void TrendPanel::setTimeRange(double from, double to)
{
    adjusting = true;
    plot->xAxis->setRange(from, to);
    adjusting = false;
    refresh();
}

void TrendPanel::onTimeRangeChanged()
{
    // The user's wheel or drag moved the time axis: the view stays where it was put.
    if (!adjusting) {
        following = false;
        followButton->setEnabled(true);
        refresh();
    }
    const double width = plot->xAxis->range().size();
    auto ticker = plot->xAxis->ticker().staticCast<QCPAxisTickerDateTime>();
    ticker->setDateTimeFormat(width <= 15 * 60         ? QStringLiteral("hh:mm:ss")
                                  : width <= 12 * 3600 ? QStringLiteral("hh:mm")
                                                       : QStringLiteral("MM-dd hh:mm"));
}

void TrendPanel::refresh()
{
    if (!isVisible())
        return;
    const TrendHistory::Summaries summaries = history.summarise(viewFrom(), viewTo());
    for (int channel = 0; channel < SensorProtocol::ChannelCount; ++channel) {
        const TrendHistory::Summary &summary = summaries[size_t(channel)];
        const Curve &curve = kCurves[channel];
        summaryText[channel]->setVisible(isChannelShown(channel));
        summaryText[channel]->setText(
            summary.count == 0 ? QStringLiteral("%1：无读数").arg(QString::fromUtf8(curve.name))
                               : QStringLiteral("%1：最小 %2  最大 %3  平均 %4 %5")
                                     .arg(QString::fromUtf8(curve.name), valueText(summary.minimum),
                                          valueText(summary.maximum), valueText(summary.mean),
                                          QString::fromUtf8(curve.unit)));
    }
    fitValueAxes(summaries);
    plot->replot(QCustomPlot::rpQueuedReplot);
}

void TrendPanel::fitValueAxes(const TrendHistory::Summaries &summaries)
{
    for (int axis = 0; axis < 3; ++axis) {
        if (!autoScale[axis]->isChecked()) {
            if (fixedFrom[axis]->value() < fixedTo[axis]->value())
                valueAxes[axis]->setRange(fixedFrom[axis]->value(), fixedTo[axis]->value());
            continue;
        }
        double low = std::numeric_limits<double>::max();
        double high = std::numeric_limits<double>::lowest();
        for (int channel = 0; channel < SensorProtocol::ChannelCount; ++channel) {
            const TrendHistory::Summary &summary = summaries[size_t(channel)];
            if (kCurves[channel].axis != axis || summary.count == 0 || !isChannelShown(channel))
                continue;
            low = std::min(low, summary.minimum / 10.0);
            high = std::max(high, summary.maximum / 10.0);
        }
        if (low > high)
            continue;
        // A tenth of the spread, and at least one unit, keeps a flat line off the edges.
        const double margin = std::max((high - low) / 10, 1.0);
        valueAxes[axis]->setRange(low - margin, high + margin);
    }
}

void TrendPanel::showCursor(int x)
{
    const int index = history.nearest(qint64(plot->xAxis->pixelToCoord(x) * 1000));
    if (index < 0 || history.at(index).msecs < viewFrom() || history.at(index).msecs > viewTo())
        return;
    const TrendHistory::Sample &sample = history.at(index);
    QStringList parts(
        QDateTime::fromMSecsSinceEpoch(sample.msecs).toString(QStringLiteral("HH:mm:ss")));
    for (int channel = 0; channel < SensorProtocol::ChannelCount; ++channel)
        parts << QStringLiteral("%1 %2%3").arg(QString::fromUtf8(kCurves[channel].name),
                                               valueText(sample.tenths(channel)),
                                               QString::fromUtf8(kCurves[channel].unit));
    cursorText->setText(parts.join(QStringLiteral("  ")));
    const double key = keyOf(sample.msecs);
    cursorLine->point1->setCoords(key, 0);
    cursorLine->point2->setCoords(key, 1);
    cursorLine->setVisible(true);
    plot->layer(QStringLiteral("overlay"))->replot();
}
