// The main window's Designer form: every widget and layout the form builds, by object name,
// with its place in the tree, its sizes, fonts and initial texts.
#include "ui_mainwindowform.h"

#include <QMenuBar>
#include <QStatusBar>
#include <QToolBar>
#include <QTranslator>
#include <QtTest>

#include <functional>
#include <map>
#include <memory>

namespace {

// Caption: "Agency FB" 14 pt; Value: "楷体" 14 pt; WindowFamily: the window's "楷体" with the
// point size left to the parent (the form never sets a size alongside the window family).
enum FontKind { Caption, Value, WindowFamily };

const QSize kNone(0, 0);
const QSize kUnbounded(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
const QSize kMin(90, 40);
const QSize kMax(110, 50);

// The form looks its texts up in the window's translation context.
const char kContext[] = "MainWindow";

QString textOf(const QWidget *w)
{
    if (w->inherits("QGroupBox"))
        return w->property("title").toString();
    if (w->inherits("QComboBox"))
        return w->property("currentText").toString();
    return w->property("text").toString();
}

// Whether a font sets its point size or family itself rather than taking its parent's: resolving
// against a font that differs there changes only what the font leaves unset.
bool setsPointSize(const QFont &f)
{
    QFont other;
    other.setPointSize(f.pointSize() + 1);
    return f.resolve(other).pointSize() == f.pointSize();
}

bool setsFamily(const QFont &f)
{
    QFont other;
    other.setFamily(f.family() + QLatin1Char('x'));
    return f.resolve(other).family() == f.family();
}

// Default-constructed twins: whatever the form does not set must equal these.
std::unique_ptr<QWidget> pristine(const QByteArray &className)
{
    static const std::map<QByteArray, std::function<QWidget *()>> make = {
        {"QWidget", [] { return new QWidget; }},
        {"QGroupBox", [] { return new QGroupBox; }},
        {"QComboBox", [] { return new QComboBox; }},
        {"QPushButton", [] { return new QPushButton; }},
        {"QLabel", [] { return new QLabel; }},
        {"QLineEdit", [] { return new QLineEdit; }},
    };
    const auto it = make.find(className);
    return std::unique_ptr<QWidget>(it == make.end() ? nullptr : it->second());
}

// Properties the form sets on purpose, or that follow from the place in the tree or the font.
const QSet<QByteArray> kFormProperties = {
    "objectName",
    "minimumSize",
    "maximumSize",
    "minimumWidth",
    "minimumHeight",
    "maximumWidth",
    "maximumHeight",
    "font",
    "text",
    "title",
    "currentText",
    "geometry",
    "frameGeometry",
    "rect",
    "size",
    "width",
    "height",
    "frameSize",
    "frameRect",
    "childrenRect",
    "childrenRegion",
    "sizeHint",
    "minimumSizeHint",
};

// Left out as well: a fresh window's normal geometry is its default geometry from Qt 6 on, where
// Qt 5 leaves it empty; the form's widgets are no windows.
const QSet<QByteArray> kWindowProperties = {"normalGeometry"};

// Icons and pixmaps have no equality operator, and Qt 6 finds no two of them in QVariants equal;
// the form sets none, so both must be null.
bool sameValue(const QVariant &a, const QVariant &b)
{
    switch (a.userType()) {
    case QMetaType::QIcon:
        return a.value<QIcon>().isNull() && b.value<QIcon>().isNull();
    case QMetaType::QPixmap:
        return a.value<QPixmap>().isNull() && b.value<QPixmap>().isNull();
    default:
        return a == b;
    }
}

class TranslationRecorder : public QTranslator
{
public:
    mutable QStringList contexts;
    mutable QStringList sources;

    bool isEmpty() const override { return false; }
    QString translate(const char *context, const char *sourceText, const char * = nullptr,
                      int = -1) const override
    {
        contexts << QString::fromUtf8(context);
        sources << QString::fromUtf8(sourceText);
        return QStringLiteral("<%1>").arg(QString::fromUtf8(sourceText));
    }
};

} // namespace

class TstMainWindowForm : public QObject
{
    Q_OBJECT

    QMainWindow m_window;
    Ui::MainWindowForm m_ui;

private slots:
    void initTestCase() { m_ui.setupUi(&m_window); }

    void widgets_data();
    void widgets();
    void layouts_data();
    void layouts();
    void focusChain();
    void initialState();
    void window();
    void preNamedWindowKeepsName();
    void textsGoThroughTranslation();
    void sizesHoldWhenShownAndEnlarged();
};

void TstMainWindowForm::widgets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("className");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QString>("layout");
    QTest::addColumn<int>("row"); // box layouts: the index
    QTest::addColumn<int>("column"); // box layouts: -1
    QTest::addColumn<QSize>("minimum");
    QTest::addColumn<QSize>("maximum");
    QTest::addColumn<int>("font");
    QTest::addColumn<QString>("text");

    const auto row = [](const char *name, const char *cls, const char *parent, const char *layout,
                        int r, int c, QSize min, QSize max, FontKind font, const QString &text) {
        QTest::newRow(name) << QString::fromLatin1(name) << QByteArray(cls)
                            << QString::fromLatin1(parent) << QString::fromLatin1(layout) << r << c
                            << min << max << int(font) << text;
    };
    const char *central = "centralWidget";

    row("centralWidget", "QWidget", "MainWindow", "", -1, -1, kNone, kUnbounded, WindowFamily, "");
    row("groupBox", "QGroupBox", central, "verticalLayout_5", 0, -1, kNone, kUnbounded, Caption,
        "串口配置");
    row("comboBox", "QComboBox", "groupBox", "gridLayout_4", 0, 0, kMin, kMax, WindowFamily, "");
    row("pushButton_OpenCom", "QPushButton", "groupBox", "gridLayout_4", 1, 0, kMin, kMax, Caption,
        "打开串口");
    row("pushButton_CloseCom", "QPushButton", "groupBox", "gridLayout_4", 2, 0, kMin, kMax, Caption,
        "关闭串口");
    row("pushButton_reFactory", "QPushButton", central, "verticalLayout_5", 1, -1, QSize(120, 40),
        QSize(130, 50), Caption, "恢复出厂设置");

    row("groupBox_2", "QGroupBox", central, "horizontalLayout", 0, -1, kNone, kUnbounded, Caption,
        "测量值");
    row("label", "QLabel", "groupBox_2", "gridLayout", 0, 0, QSize(80, 40), QSize(90, 50), Caption,
        "温度");
    row("label_TemMeasure", "QLabel", "groupBox_2", "gridLayout", 0, 1, kMin, kMax, Value, "");
    row("label_2", "QLabel", "groupBox_2", "gridLayout", 1, 0, QSize(80, 40), QSize(80, 50),
        Caption, "湿度");
    row("label_HumMeasure", "QLabel", "groupBox_2", "gridLayout", 1, 1, kMin, kMax, Value, "");
    row("label_3", "QLabel", "groupBox_2", "gridLayout", 2, 0, QSize(80, 40), QSize(80, 50),
        Caption, "气压");
    row("label_AtmMeasure", "QLabel", "groupBox_2", "gridLayout", 2, 1, kMin, kMax, Value, "");
    // Its minimum width exceeds its maximum width; the minimum wins when laid out.
    row("label_4", "QLabel", "groupBox_2", "gridLayout", 3, 0, QSize(90, 40), QSize(80, 50),
        Caption, "油温");
    row("label_OilMeasure", "QLabel", "groupBox_2", "gridLayout", 3, 1, kMin, kMax, Value, "");

    row("groupBox_3", "QGroupBox", central, "horizontalLayout", 1, -1, kNone, kUnbounded, Caption,
        "标定");
    const char *const calibration[][2] = {{"lineEdit_TempCali", "pushButton_temCali"},
                                          {"lineEdit_HumCalio", "pushButton_HumCali"},
                                          {"lineEdit_AtmCali", "pushButton_AtmCali"},
                                          {"lineEdit_OilCali", "pushButton_OilCali"}};
    for (int r = 0; r < 4; ++r) {
        row(calibration[r][0], "QLineEdit", "groupBox_3", "gridLayout_2", r, 0, kMin, kMax, Value,
            "");
        row(calibration[r][1], "QPushButton", "groupBox_3", "gridLayout_2", r, 1, kMin, kMax,
            Caption, "标定");
    }

    row("groupBox_4", "QGroupBox", central, "horizontalLayout", 2, -1, kNone, kUnbounded, Caption,
        "标定结果");
    const char *const results[] = {"label_TemCali", "label_HumCali", "label_AtmCali",
                                   "label_OilCali"};
    for (int r = 0; r < 4; ++r)
        row(results[r], "QLabel", "groupBox_4", "gridLayout_3", r, 0, kMin, kMax, Caption, "");
}

void TstMainWindowForm::widgets()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, className);
    QFETCH(QString, parent);
    QFETCH(QString, layout);
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(QSize, minimum);
    QFETCH(QSize, maximum);
    QFETCH(int, font);
    QFETCH(QString, text);

    auto *w = m_window.findChild<QWidget *>(name);
    QVERIFY2(w, qPrintable(name));
    QCOMPARE(QByteArray(w->metaObject()->className()), className);
    QVERIFY(w->parentWidget());
    QCOMPARE(w->parentWidget()->objectName(), parent);

    QLayout *holder = nullptr;
    for (QLayout *l : m_window.findChildren<QLayout *>()) {
        if (l != m_window.layout() && l->indexOf(w) >= 0) {
            QVERIFY2(!holder, "widget is in two layouts");
            holder = l;
        }
    }
    QCOMPARE(holder ? holder->objectName() : QString(), layout);
    if (auto *grid = qobject_cast<QGridLayout *>(holder)) {
        int r = -1, c = -1, rowSpan = 0, columnSpan = 0;
        grid->getItemPosition(grid->indexOf(w), &r, &c, &rowSpan, &columnSpan);
        QCOMPARE(QList<int>({r, c, rowSpan, columnSpan}), QList<int>({row, column, 1, 1}));
    } else if (holder) {
        QCOMPARE(QList<int>({holder->indexOf(w), -1}), QList<int>({row, column}));
    }

    QCOMPARE(w->minimumSize(), minimum);
    QCOMPARE(w->maximumSize(), maximum);

    const QFont f = w->font();
    switch (FontKind(font)) {
    case Caption:
    case Value:
        QCOMPARE(f.family(),
                 font == Caption ? QStringLiteral("Agency FB") : QStringLiteral("楷体"));
        QCOMPARE(f.pointSize(), 14);
        QVERIFY(setsPointSize(f));
        break;
    case WindowFamily:
        QCOMPARE(f.family(), m_window.font().family());
        QCOMPARE(f.pointSize(), w->parentWidget()->font().pointSize());
        break;
    }

    QCOMPARE(textOf(w), text);

    // Nothing beyond the above: every other property is as a fresh widget of the class has it.
    const std::unique_ptr<QWidget> fresh = pristine(className);
    QVERIFY(fresh);
    const QMetaObject *meta = w->metaObject();
    for (int i = 0; i < meta->propertyCount(); ++i) {
        const QMetaProperty p = meta->property(i);
        if (kFormProperties.contains(p.name()) || kWindowProperties.contains(p.name())
            || !p.isReadable())
            continue;
        QVERIFY2(sameValue(p.read(w), p.read(fresh.get())), p.name());
    }
}

void TstMainWindowForm::layouts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("className");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<bool>("installed"); // on its parent widget, rather than nested in a layout
    QTest::addColumn<QSize>("spacing"); // horizontal, vertical
    QTest::addColumn<QList<int>>("margins"); // left, top, right, bottom
    QTest::addColumn<QStringList>("items");

    const auto row = [](const char *name, const char *cls, const char *parent, bool installed,
                        QSize spacing, const QList<int> &margins, const QStringList &items) {
        QTest::newRow(name) << QString::fromLatin1(name) << QByteArray(cls)
                            << QString::fromLatin1(parent) << installed << spacing << margins
                            << items;
    };
    const QSize gridSpacing(0, 40);
    const QList<int> zero{0, 0, 0, 0};

    row("horizontalLayout_3", "QHBoxLayout", "centralWidget", true, QSize(6, 6), {10, 10, 10, 10},
        {"horizontalLayout_2"});
    row("horizontalLayout_2", "QHBoxLayout", "horizontalLayout_3", false, QSize(20, 20), zero,
        {"verticalLayout_5", "horizontalLayout"});
    row("verticalLayout_5", "QVBoxLayout", "horizontalLayout_2", false, QSize(6, 6), zero,
        {"groupBox", "pushButton_reFactory"});
    row("verticalLayout_4", "QVBoxLayout", "groupBox", true, QSize(0, 0), zero, {"gridLayout_4"});
    row("gridLayout_4", "QGridLayout", "verticalLayout_4", false, gridSpacing, zero,
        {"comboBox", "pushButton_OpenCom", "pushButton_CloseCom"});
    row("horizontalLayout", "QHBoxLayout", "horizontalLayout_2", false, QSize(20, 20), zero,
        {"groupBox_2", "groupBox_3", "groupBox_4"});
    row("verticalLayout", "QVBoxLayout", "groupBox_2", true, QSize(0, 0), {10, 0, 10, 0},
        {"gridLayout"});
    row("gridLayout", "QGridLayout", "verticalLayout", false, gridSpacing, zero,
        {"label", "label_TemMeasure", "label_2", "label_HumMeasure", "label_3", "label_AtmMeasure",
         "label_4", "label_OilMeasure"});
    row("verticalLayout_2", "QVBoxLayout", "groupBox_3", true, QSize(6, 6), {10, 0, 10, 0},
        {"gridLayout_2"});
    row("gridLayout_2", "QGridLayout", "verticalLayout_2", false, gridSpacing, zero,
        {"lineEdit_TempCali", "pushButton_temCali", "lineEdit_HumCalio", "pushButton_HumCali",
         "lineEdit_AtmCali", "pushButton_AtmCali", "lineEdit_OilCali", "pushButton_OilCali"});
    row("verticalLayout_3", "QVBoxLayout", "groupBox_4", true, QSize(6, 6), zero, {"gridLayout_3"});
    // Only left and right are set; top and bottom resolve to a nested layout's 0.
    row("gridLayout_3", "QGridLayout", "verticalLayout_3", false, gridSpacing, {10, 0, 10, 0},
        {"label_TemCali", "label_HumCali", "label_AtmCali", "label_OilCali"});
}

void TstMainWindowForm::layouts()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, className);
    QFETCH(QString, parent);
    QFETCH(bool, installed);
    QFETCH(QSize, spacing);
    QFETCH(QList<int>, margins);
    QFETCH(QStringList, items);

    auto *layout = m_window.findChild<QLayout *>(name);
    QVERIFY2(layout, qPrintable(name));
    QCOMPARE(QByteArray(layout->metaObject()->className()), className);
    QVERIFY(layout->parent());
    QCOMPARE(layout->parent()->objectName(), parent);
    auto *owner = qobject_cast<QWidget *>(layout->parent());
    QCOMPARE(owner != nullptr, installed);
    if (owner)
        QCOMPARE(owner->layout(), layout);

    auto *grid = qobject_cast<QGridLayout *>(layout);
    QCOMPARE(grid ? QSize(grid->horizontalSpacing(), grid->verticalSpacing())
                  : QSize(layout->spacing(), layout->spacing()),
             spacing);
    const QMargins m = layout->contentsMargins();
    QCOMPARE(QList<int>({m.left(), m.top(), m.right(), m.bottom()}), margins);

    QStringList actual;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem *item = layout->itemAt(i);
        const QObject *o = item->widget() ? static_cast<QObject *>(item->widget()) : item->layout();
        actual << (o ? o->objectName() : QStringLiteral("<spacer>"));
        QCOMPARE(item->alignment(), Qt::Alignment());
        if (auto *box = qobject_cast<QBoxLayout *>(layout))
            QCOMPARE(box->stretch(i), 0);
    }
    QCOMPARE(actual, items);
}

void TstMainWindowForm::focusChain()
{
    QStringList chain;
    for (QWidget *w = m_window.nextInFocusChain(); w != &m_window; w = w->nextInFocusChain()) {
        if (w->focusPolicy() & Qt::TabFocus)
            chain << w->objectName();
    }
    QCOMPARE(chain,
             QStringList({"comboBox", "pushButton_OpenCom", "pushButton_CloseCom",
                          "pushButton_reFactory", "lineEdit_TempCali", "pushButton_temCali",
                          "lineEdit_HumCalio", "pushButton_HumCali", "lineEdit_AtmCali",
                          "pushButton_AtmCali", "lineEdit_OilCali", "pushButton_OilCali"}));
}

void TstMainWindowForm::initialState()
{
    const auto buttons = m_window.findChildren<QPushButton *>();
    QCOMPARE(buttons.size(), 7);
    for (const QPushButton *b : buttons)
        QVERIFY2(b->isEnabled(), qPrintable(b->objectName()));

    auto *combo = m_window.findChild<QComboBox *>("comboBox");
    QVERIFY(combo);
    QCOMPARE(combo->count(), 0);
    QVERIFY(!combo->isEditable());

    const auto edits = m_window.findChildren<QLineEdit *>();
    QCOMPARE(edits.size(), 4);
    for (const QLineEdit *e : edits)
        QVERIFY2(e->text().isEmpty() && !e->isReadOnly(), qPrintable(e->objectName()));

    for (const QWidget *w : m_window.findChildren<QWidget *>())
        QVERIFY2(w->styleSheet().isEmpty(), qPrintable(w->objectName()));
}

void TstMainWindowForm::window()
{
    QMainWindow unnamed;
    Ui::MainWindowForm ui;
    ui.setupUi(&unnamed);
    QCOMPARE(unnamed.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(unnamed.size(), QSize(774, 464));
    QCOMPARE(unnamed.windowTitle(), QStringLiteral("MainWindow"));
    QCOMPARE(unnamed.font().family(), QStringLiteral("楷体"));
    QVERIFY(setsFamily(unnamed.font()));
    QVERIFY(!setsPointSize(unnamed.font()));
    QCOMPARE(unnamed.font().pointSize(), QApplication::font().pointSize());
    QVERIFY(unnamed.styleSheet().isEmpty());
    QCOMPARE(unnamed.centralWidget(), ui.centralWidget);
    QVERIFY(!unnamed.menuWidget());
    QVERIFY(!unnamed.findChild<QMenuBar *>());
    QVERIFY(!unnamed.findChild<QStatusBar *>());
    QVERIFY(!unnamed.findChild<QToolBar *>());
}

void TstMainWindowForm::preNamedWindowKeepsName()
{
    QMainWindow named;
    named.setObjectName("corvaneMain");
    Ui::MainWindowForm ui;
    ui.setupUi(&named);
    QCOMPARE(named.objectName(), QStringLiteral("corvaneMain"));
}

void TstMainWindowForm::textsGoThroughTranslation()
{
    TranslationRecorder recorder;
    QCoreApplication::installTranslator(&recorder);
    // Installing makes Qt look up its own layout direction; only the form's lookups count.
    recorder.contexts.clear();
    recorder.sources.clear();
    QMainWindow translated;
    Ui::MainWindowForm ui;
    ui.setupUi(&translated);
    QCoreApplication::removeTranslator(&recorder);

    // Empty texts are set as empty strings, without a lookup.
    QCOMPARE(recorder.sources,
             QStringList({"MainWindow", "串口配置", "打开串口", "关闭串口", "恢复出厂设置",
                          "测量值", "温度", "湿度", "气压", "油温", "标定", "标定", "标定", "标定",
                          "标定", "标定结果"}));
    QCOMPARE(recorder.contexts.size(), recorder.sources.size());
    for (const QString &context : recorder.contexts)
        QCOMPARE(context, QString::fromLatin1(kContext));
    QCOMPARE(translated.windowTitle(), QStringLiteral("<MainWindow>"));
    QCOMPARE(ui.label_4->text(), QStringLiteral("<油温>"));
    QCOMPARE(ui.groupBox_4->title(), QStringLiteral("<标定结果>"));
    QCOMPARE(ui.label_TemMeasure->text(), QString());
}

void TstMainWindowForm::sizesHoldWhenShownAndEnlarged()
{
    QMainWindow shown;
    Ui::MainWindowForm ui;
    ui.setupUi(&shown);
    shown.show();
    QVERIFY(QTest::qWaitForWindowExposed(&shown));
    QCOMPARE(ui.label_4->width(), 90);

    shown.resize(2000, 1200);
    QTRY_COMPARE(shown.size(), QSize(2000, 1200));
    QTRY_COMPARE(ui.centralWidget->width(), 2000);
    int checked = 0;
    for (const QWidget *w : shown.findChildren<QWidget *>()) {
        if (!w->inherits("QLabel") && !w->inherits("QLineEdit") && !w->inherits("QAbstractButton")
            && !w->inherits("QComboBox"))
            continue;
        const QSize limit = w->maximumSize().expandedTo(w->minimumSize());
        QVERIFY2(w->width() <= limit.width() && w->height() <= limit.height(),
                 qPrintable(w->objectName()));
        ++checked;
    }
    QCOMPARE(checked, 24);
}

QTEST_MAIN(TstMainWindowForm)
#include "tst_mainwindowform.moc"
