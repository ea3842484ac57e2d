#include "alarmlimitsdialog.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QtTest>

// "on -10.0/35.5 1.0 0": switched on, low/high ("-" for none), hysteresis, delay.
static QString limitsText(const AlarmLimits &limits)
{
    const AlarmLimits::Texts texts = limits.texts();
    const auto limit = [](const QString &text) {
        return text.isEmpty() ? QStringLiteral("-") : text;
    };
    return QStringLiteral("%1 %2/%3 %4 %5")
        .arg(limits.enabled ? "on" : "off", limit(texts.low), limit(texts.high), texts.hysteresis,
             texts.delay);
}

static int rowOf(const QString &key)
{
    for (int row = 0; row < AlarmBoard::RowCount; ++row)
        if (AlarmLimits::key(row) == key)
            return row;
    return -1;
}

static QSettings settings()
{
    return QSettings(QStringLiteral("Corvane"), QStringLiteral("corvane"));
}

class TestAlarmLimitsDialog : public QObject
{
    Q_OBJECT

private slots:
    void init() { settings().remove(QStringLiteral("alarms")); }
    void takesTypedLimits_data();
    void takesTypedLimits();
    void keepsLimitsBetweenRuns_data();
    void keepsLimitsBetweenRuns();
};

void TestAlarmLimitsDialog::takesTypedLimits_data()
{
    QTest::addColumn<QString>("typed"); // "objectName=text", separated by "; "; on/off for a box
    QTest::addColumn<QString>("close"); // 确定, 取消 or Escape
    QTest::addColumn<QString>("row"); // the key of the row looked at
    // "accepted LIMITS", "rejected LIMITS" or "open FOCUSED REASON"
    QTest::addColumn<QString>("outcome");

    QTest::newRow("taken as typed")
        << "low_temperature= -10 ; high_temperature=35.55; hysteresis_temperature=1; "
           "delay_temperature=0"
        << "确定"
        << "temperature"
        << "accepted on -10.0/35.5 1.0 0";
    QTest::newRow("a row switched off keeps its values")
        << "enabled_temperature=off; low_temperature=5"
        << "确定"
        << "temperature"
        << "accepted off 5.0/30.0 0.5 10";
    QTest::newRow("not a number, in a row switched off") << "high_pressure=1,5"
                                                         << "确定"
                                                         << "pressure"
                                                         << "open high_pressure 不是有效的数值";
    QTest::newRow("a delay in parts of a second") << "delay_link=1.5"
                                                  << "确定"
                                                  << "link"
                                                  << "open delay_link 延时须为 0 至 86400 的整数秒";
    QTest::newRow("the link switched off for a day") << "enabled_link=off; delay_link=86400"
                                                     << "确定"
                                                     << "link"
                                                     << "accepted off -/- 0.5 86400";
    QTest::newRow("取消 leaves them as given") << "low_temperature=-10"
                                               << "取消"
                                               << "temperature"
                                               << "rejected on -/30.0 0.5 10";
    QTest::newRow("Escape leaves them as given") << "enabled_temperature=off"
                                                 << "Escape"
                                                 << "temperature"
                                                 << "rejected on -/30.0 0.5 10";
}

void TestAlarmLimitsDialog::takesTypedLimits()
{
    QFETCH(QString, typed);
    QFETCH(QString, close);
    QFETCH(QString, row);
    QFETCH(QString, outcome);

    AlarmLimitsRows given;
    given.back() = AlarmLimits::link();
    given.front().enabled = true;
    given.front().high = 300;
    AlarmLimitsDialog dialog(given);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    for (const QString &edit : typed.split(QStringLiteral("; "))) {
        const QString name = edit.section('=', 0, 0);
        const QString text = edit.section('=', 1);
        if (auto *box = dialog.findChild<QCheckBox *>(name)) {
            box->setChecked(text == "on");
        } else {
            auto *field = dialog.findChild<QLineEdit *>(name);
            QVERIFY2(field, qPrintable(name));
            field->clear();
            QTest::keyClicks(field, text);
        }
    }
    if (close == "Escape") {
        QTest::keyClick(&dialog, Qt::Key_Escape);
    } else {
        const QList<QPushButton *> buttons = dialog.findChildren<QPushButton *>();
        const auto button = std::find_if(buttons.begin(), buttons.end(),
                                         [&close](QPushButton *b) { return b->text() == close; });
        QVERIFY(button != buttons.end());
        (*button)->click();
    }

    const int index = rowOf(row);
    QString happened;
    if (dialog.isVisible()) {
        happened = QStringLiteral("open %1 %2")
                       .arg(QApplication::focusWidget()->objectName(),
                            dialog.findChild<QLabel *>("reason_" + row)->text());
    } else {
        happened = (dialog.result() == QDialog::Accepted ? "accepted " : "rejected ")
            + limitsText(dialog.limits()[size_t(index)]);
    }
    QCOMPARE(happened, outcome);
    // Nothing else changed, and a refused dialog took nothing at all.
    for (int other = 0; other < AlarmBoard::RowCount; ++other)
        if (other != index || dialog.isVisible())
            QCOMPARE(limitsText(dialog.limits()[size_t(other)]), limitsText(given[size_t(other)]));
}

void TestAlarmLimitsDialog::keepsLimitsBetweenRuns_data()
{
    QTest::addColumn<int>("row");
    // "enabled|low|high|hysteresis|delay": typed and saved, or written as they stand
    QTest::addColumn<QString>("texts");
    QTest::addColumn<bool>("saved");
    // what the settings hold, then what a later run loads
    QTest::addColumn<QString>("kept");

    const int link = AlarmChannel::Link;
    QTest::newRow("saved and loaded")
        << 0 << "true|-10|35.55|1|0" << true << "true|-10.0|35.5|1.0|0 => on -10.0/35.5 1.0 0";
    QTest::newRow("the link saved and loaded")
        << link << "false||||30" << true << "false||||30 => off -/- 0.5 30";
    QTest::newRow("a refused row loads switched off")
        << 0 << "true|30|20|0.5|10" << false << "true|30|20|0.5|10 => off -/- 0.5 10";
    QTest::newRow("a missing link row is switched on")
        << link << "" << false << "|||| => on -/- 0.5 10";
}

void TestAlarmLimitsDialog::keepsLimitsBetweenRuns()
{
    QFETCH(int, row);
    QFETCH(QString, texts);
    QFETCH(bool, saved);
    QFETCH(QString, kept);

    static const char *const keys[] = {"enabled", "low", "high", "hysteresis", "delay"};
    const QString group = "alarms/" + AlarmLimits::key(row) + '/';
    const QStringList values = texts.split('|');
    if (saved) {
        AlarmLimits limits;
        const AlarmLimits::Texts typed{values[0] == "true", values[1], values[2], values[3],
                                       values[4]};
        QCOMPARE(AlarmLimits::parse(row, typed, &limits), QString());
        limits.save(row);
    } else if (!texts.isEmpty()) {
        for (int value = 0; value < values.size(); ++value)
            settings().setValue(group + keys[value], values[value]);
    }
    QStringList stored;
    for (const char *key : keys)
        stored << settings().value(group + key).toString();
    QCOMPARE(stored.join('|') + " => " + limitsText(AlarmLimits::load(row)), kept);
}

QTEST_MAIN(TestAlarmLimitsDialog)
#include "tst_alarmlimitsdialog.moc"
