#include "alarmlimitsdialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

enum Column { Name, Enabled, Low, High, Hysteresis, Unit, Delay, Reason };

const char *const rowNames[AlarmBoard::RowCount] = {"温度", "湿度", "气压", "油温", "无数据报警"};

QLineEdit *lineEdit(const QString &text, const QString &name)
{
    auto *edit = new QLineEdit(text);
    edit->setObjectName(name);
    return edit;
}

} // namespace

AlarmLimitsDialog::AlarmLimitsDialog(const AlarmLimitsRows &limits, QWidget *parent)
    : QDialog(parent)
    , kept(limits)
{
    setWindowTitle(QStringLiteral("报警限值"));
    auto *grid = new QGridLayout;
    const char *const headers[] = {"", "启用", "下限", "上限", "回差", "", "延时（秒）", ""};
    for (int column = Name; column <= Reason; ++column)
        grid->addWidget(new QLabel(QString::fromUtf8(headers[column])), 0, column);

    for (int index = 0; index < AlarmBoard::RowCount; ++index) {
        const QString key = AlarmLimits::key(index);
        const AlarmLimits::Texts texts = limits[size_t(index)].texts();
        const int line = index + 1;
        Row &row = rows[size_t(index)];
        grid->addWidget(new QLabel(QString::fromUtf8(rowNames[index])), line, Name);
        row.enabled = new QCheckBox;
        row.enabled->setObjectName(QStringLiteral("enabled_") + key);
        row.enabled->setChecked(texts.enabled);
        grid->addWidget(row.enabled, line, Enabled);
        if (index == AlarmChannel::Link) {
            auto *about = new QLabel(
                QStringLiteral("串口打开时超过延时收不到完整读数即报警，设备丢失时立即报警"));
            grid->addWidget(about, line, Low, 1, Unit - Low + 1);
        } else {
            row.low = lineEdit(texts.low, QStringLiteral("low_") + key);
            row.high = lineEdit(texts.high, QStringLiteral("high_") + key);
            row.hysteresis = lineEdit(texts.hysteresis, QStringLiteral("hysteresis_") + key);
            grid->addWidget(row.low, line, Low);
            grid->addWidget(row.high, line, High);
            grid->addWidget(row.hysteresis, line, Hysteresis);
            grid->addWidget(new QLabel(QString::fromUtf8(SensorProtocol::Channels[index].unit)),
                            line, Unit);
        }
        row.delay = lineEdit(texts.delay, QStringLiteral("delay_") + key);
        grid->addWidget(row.delay, line, Delay);
        row.reason = new QLabel;
        row.reason->setObjectName(QStringLiteral("reason_") + key);
        row.reason->setStyleSheet(QStringLiteral("color: red"));
        grid->addWidget(row.reason, line, Reason);
    }
    // The reasons take the room they need; the values keep theirs.
    grid->setColumnStretch(Reason, 1);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("确定"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
    connect(buttons, &QDialogButtonBox::accepted, this, &AlarmLimitsDialog::check);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(buttons);
}

void AlarmLimitsDialog::check()
{
    AlarmLimitsRows typed = kept;
    QLineEdit *first = nullptr;
    for (int index = 0; index < AlarmBoard::RowCount; ++index) {
        const Row &row = rows[size_t(index)];
        const auto text = [](const QLineEdit *edit) { return edit ? edit->text() : QString(); };
        const AlarmLimits::Texts texts{row.enabled->isChecked(), text(row.low), text(row.high),
                                       text(row.hysteresis), row.delay->text()};
        AlarmLimits::Field field = AlarmLimits::Field::Delay;
        const QString reason = AlarmLimits::parse(index, texts, &typed[size_t(index)], &field);
        row.reason->setText(reason);
        if (!reason.isEmpty() && !first)
            first = fieldOf(row, field);
    }
    if (first) {
        // Wide enough for the reasons now shown.
        resize(size().expandedTo(sizeHint()));
        first->setFocus();
        first->selectAll();
        return;
    }
    kept = typed;
    accept();
}

QLineEdit *AlarmLimitsDialog::fieldOf(const Row &row, AlarmLimits::Field field)
{
    switch (field) {
    case AlarmLimits::Field::Low:
        return row.low;
    case AlarmLimits::Field::High:
        return row.high;
    case AlarmLimits::Field::Hysteresis:
        return row.hysteresis;
    case AlarmLimits::Field::Delay:
        break;
    }
    return row.delay;
}
