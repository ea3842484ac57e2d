#include "alarmlogpanel.h"

#include "readingformat.h"

#include <QHeaderView>
#include <QLocale>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// The rows' names and units as on the form; the link's row counts seconds without data.
const char *const kRowNames[AlarmChannel::Link + 1] = {"温度", "湿度", "气压", "油温", "无数据"};
const char *const kUnits[SensorProtocol::ChannelCount] = {"℃", "%RH", "kPa", "℃"};
const char *const kEvents[] = {"报警", "恢复", "确认"};

QString amountText(const std::optional<int> &value, int row)
{
    if (!value)
        return QStringLiteral("—");
    if (row == AlarmChannel::Link)
        return QString::number(*value) + QStringLiteral(" 秒");
    return ReadingFormat::tenthsText(*value) + QLatin1Char(' ') + QString::fromUtf8(kUnits[row]);
}

} // namespace

AlarmLogPanel::AlarmLogPanel(QWidget *parent)
    : QWidget(parent)
    , table(new QTableWidget(0, 5, this))
{
    setObjectName(QStringLiteral("alarmLogPanel"));
    table->setHorizontalHeaderLabels({QStringLiteral("时间"), QStringLiteral("通道"),
                                      QStringLiteral("事件"), QStringLiteral("数值"),
                                      QStringLiteral("限值")});
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    table->horizontalHeader()->setStretchLastSection(true);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(table);
}

void AlarmLogPanel::add(const AlarmLog::Entry &entry)
{
    table->insertRow(0);
    fillRow(0, entry);
    if (table->rowCount() > MaxRows)
        table->removeRow(MaxRows);
}

void AlarmLogPanel::setEntries(const std::vector<AlarmLog::Entry> &entries)
{
    const int shown = int(std::min<size_t>(entries.size(), MaxRows));
    table->setRowCount(0);
    table->setRowCount(shown);
    for (int row = 0; row < shown; ++row)
        fillRow(row, entries[entries.size() - 1 - size_t(row)]);
}

void AlarmLogPanel::fillRow(int row, const AlarmLog::Entry &entry)
{
    QString event = QString::fromUtf8(kEvents[int(entry.kind)]);
    if (entry.kind == AlarmChannel::Kind::Acknowledged && !entry.user.isEmpty())
        event += QStringLiteral("（%1）").arg(entry.user);
    // The time as the operator's clock shows it, in ASCII digits like the form's values.
    const QStringList texts = {
        QLocale::c().toString(entry.time.toLocalTime(), QStringLiteral("yyyy-MM-dd HH:mm:ss")),
        QString::fromUtf8(kRowNames[entry.row]),
        event,
        amountText(entry.value, entry.row),
        amountText(entry.limit, entry.row),
    };
    for (int column = 0; column < texts.size(); ++column)
        table->setItem(row, column, new QTableWidgetItem(texts[column]));
}
