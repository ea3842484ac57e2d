#include "windowmemory.h"

#include "serialcommon.h"
#include "trendpanel.h"

#include <QAction>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QSaveFile>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>
#include <QVBoxLayout>

namespace {

// The trend's height when there is room for it below the window, and the least it gets.
const int kTrendHeight = 340;
const int kTrendMinimumHeight = 240;

QSettings settings()
{
    return QSettings(QStringLiteral("Corvane"), QStringLiteral("corvane"));
}

} // namespace

WindowMemory::WindowMemory(QMainWindow *window, SerialCommon *serial)
    : QObject(window)
    , window(window)
    , form(window->takeCentralWidget())
    , formHeight(window->height())
{
    recordingLine = new QLabel;
    recordingLine->setContentsMargins(10, 0, 10, 4);
    recordingLine->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    recordingLine->hide();
    auto *column = new QWidget;
    auto *layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(form);
    layout->addWidget(recordingLine);
    window->setCentralWidget(column);

    QMenuBar *bar = window->menuBar();
    QMenu *file = bar->addMenu(QStringLiteral("文件(&F)"));
    recordAction =
        file->addAction(QStringLiteral("开始记录…"), this, &WindowMemory::toggleRecording);
    recordAction->setShortcut(QKeySequence(QStringLiteral("Ctrl+R")));
    exportActions << file->addAction(QStringLiteral("导出趋势数据…"), this,
                                     &WindowMemory::exportData)
                  << file->addAction(QStringLiteral("导出趋势图…"), this,
                                     &WindowMemory::exportPicture);
    file->addSeparator();
    QAction *quit = file->addAction(QStringLiteral("退出"), window, &QMainWindow::close);
    quit->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    QMenu *view = bar->addMenu(QStringLiteral("视图(&V)"));
    trendAction = view->addAction(QStringLiteral("趋势图"));
    trendAction->setCheckable(true);
    trendAction->setShortcut(QKeySequence(QStringLiteral("Ctrl+T")));
    connect(trendAction, &QAction::toggled, this, &WindowMemory::setTrendShown);
    QMenu *help = bar->addMenu(QStringLiteral("帮助(&H)"));
    help->addAction(QStringLiteral("关于 Corvane"), this, &WindowMemory::about);
    helpMenu = help->menuAction();
    for (QAction *action : exportActions)
        action->setEnabled(false);
    // The form keeps its size: the window grows by the menu bar.
    window->resize(window->width(), formHeight + bar->sizeHint().height());

    connect(serial, &SerialCommon::sendParsePack, this, &WindowMemory::take);
    trendAction->setChecked(settings().value(QStringLiteral("trend/shown"), false).toBool());
}

WindowMemory::~WindowMemory()
{
    // The window is closing: a recording ends with the lines it has.
    stopRecording();
}

void WindowMemory::take(const QByteArray &pack)
{
    SensorProtocol::Reading reading;
    if (!SensorProtocol::readingOf(pack, QDateTime::currentDateTime(), &reading))
        return;
    history.append(reading);
    if (panel)
        panel->takeNewest();
    if (!recording)
        return;
    if (writer->write(reading)) {
        ++rowsWritten;
        showRecording();
        return;
    }
    // The file keeps its whole lines; polling goes on. The box waits for the link's signal to
    // return, so that no reading waits behind it.
    const QString path = recordingPath;
    const QString reason = writer->errorString();
    stopRecording();
    QTimer::singleShot(0, this, [this, path, reason] {
        QMessageBox::warning(
            window, QStringLiteral("记录已停止"),
            QStringLiteral("无法写入 %1：%2\n记录已停止，文件中已写入的行完整保留。")
                .arg(QDir::toNativeSeparators(path), reason));
    });
}

void WindowMemory::setTrendShown(bool shown)
{
    if (shown && !panel) {
        // Made when first asked for, so that a window without a trend starts as fast as ever.
        QSettings stored = settings();
        panel = new TrendPanel(history);
        panel->hide();
        panel->setSpan(stored.value(QStringLiteral("trend/span"), 600).toInt());
        const QStringList hidden = stored.value(QStringLiteral("trend/hidden")).toStringList();
        for (int channel = 0; channel < SensorProtocol::ChannelCount; ++channel)
            panel->setChannelShown(
                channel,
                !hidden.contains(QString::fromLatin1(SensorProtocol::Channels[channel].name)));
        connect(panel, &TrendPanel::spanChosen, this,
                [](int seconds) { settings().setValue(QStringLiteral("trend/span"), seconds); });
        connect(panel, &TrendPanel::channelShownChanged, this, [this] {
            QStringList hidden;
            for (int channel = 0; channel < SensorProtocol::ChannelCount; ++channel) {
                if (!panel->isChannelShown(channel))
                    hidden << QString::fromLatin1(SensorProtocol::Channels[channel].name);
            }
            settings().setValue(QStringLiteral("trend/hidden"), hidden);
        });
        qobject_cast<QVBoxLayout *>(window->centralWidget()->layout())->addWidget(panel, 1);
        emit trendMade(panel);
    }
    if (panel) {
        const QRect room = window->screen()->availableGeometry();
        const int below = room.bottom() - window->frameGeometry().bottom();
        showBelowForm(panel, shown, qBound(kTrendMinimumHeight, below, kTrendHeight));
    }
    for (QAction *action : exportActions)
        action->setEnabled(shown);
    settings().setValue(QStringLiteral("trend/shown"), shown);
}

QMenu *WindowMemory::addMenu(const QString &title)
{
    auto *menu = new QMenu(title, window->menuBar());
    window->menuBar()->insertMenu(helpMenu, menu);
    return menu;
}

void WindowMemory::addBelowForm(QWidget *part)
{
    part->hide();
    auto *column = qobject_cast<QVBoxLayout *>(window->centralWidget()->layout());
    // After the form and the status lines, before the trend and its stretch.
    column->insertWidget(panel ? column->indexOf(panel) : column->count(), part);
}

void WindowMemory::showBelowForm(QWidget *part, bool show, int height)
{
    if (part->isHidden() != show)
        return;
    if (show) {
        // What grows below the form takes the window's new height; the form keeps its own.
        form->setMinimumHeight(window->isVisible() ? form->height() : formHeight);
        // Showing the part may already grow the window to its least size.
        const int before = window->height();
        part->show();
        window->resize(window->width(), before + height);
        return;
    }
    const int shrink = part->height();
    part->hide();
    // The window's least size still counts the part until its layout hears of the change.
    window->centralWidget()->layout()->activate();
    window->layout()->activate();
    window->resize(window->width(), window->height() - shrink);
    QLayout *column = window->centralWidget()->layout();
    for (int i = 0; i < column->count(); ++i) {
        QWidget *below = column->itemAt(i)->widget();
        if (below != form && !below->isHidden())
            return;
    }
    form->setMinimumHeight(0);
}

void WindowMemory::toggleRecording()
{
    if (recording) {
        stopRecording();
        return;
    }
    const QString name =
        QDateTime::currentDateTime().toString(QStringLiteral("'corvane-'yyyyMMdd-HHmmss'.csv'"));
    // Recording appends to a file that exists, so choosing one is no reason to ask about
    // replacing it.
    const QString path =
        askForFile(QStringLiteral("开始记录"), name, QStringLiteral("CSV 文件 (*.csv)"),
                   QFileDialog::DontConfirmOverwrite);
    if (!path.isEmpty())
        startRecording(path);
}

void WindowMemory::startRecording(const QString &path)
{
    writer = std::make_unique<SampleWriter>();
    if (!writer->open(path, ReadingFormat::Csv)) {
        QMessageBox::warning(window, QStringLiteral("开始记录"),
                             QStringLiteral("无法写入 %1：%2")
                                 .arg(QDir::toNativeSeparators(path), writer->errorString()));
        writer.reset();
        return;
    }
    recording = true;
    recordingPath = path;
    rowsWritten = 0;
    recordAction->setText(QStringLiteral("停止记录"));
    showRecording();
    showBelowForm(recordingLine, true, recordingLine->sizeHint().height());
}

void WindowMemory::stopRecording()
{
    if (!recording)
        return;
    recording = false;
    writer.reset();
    recordAction->setText(QStringLiteral("开始记录…"));
    showBelowForm(recordingLine, false, 0);
}

void WindowMemory::showRecording()
{
    recordingLine->setText(QStringLiteral("正在记录：%1，已写入 %2 行")
                               .arg(QFileInfo(recordingPath).fileName())
                               .arg(rowsWritten));
    recordingLine->setToolTip(QDir::toNativeSeparators(recordingPath));
}

void WindowMemory::exportData()
{
    const QString path = askForFile(QStringLiteral("导出趋势数据"),
                                    QDateTime::currentDateTime().toString(
                                        QStringLiteral("'corvane-trend-'yyyyMMdd-HHmmss'.csv'")),
                                    QStringLiteral("CSV 文件 (*.csv)"));
    if (path.isEmpty())
        return;
    // Written aside and put in place whole, so that a failed export leaves no half file.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)
        || file.write(history.csv(panel->viewFrom(), panel->viewTo())) < 0 || !file.commit())
        QMessageBox::warning(window, QStringLiteral("导出趋势数据"),
                             QStringLiteral("无法写入 %1：%2")
                                 .arg(QDir::toNativeSeparators(path), file.errorString()));
}

void WindowMemory::exportPicture()
{
    const QString path = askForFile(QStringLiteral("导出趋势图"),
                                    QDateTime::currentDateTime().toString(
                                        QStringLiteral("'corvane-trend-'yyyyMMdd-HHmmss'.png'")),
                                    QStringLiteral("PNG 图片 (*.png)"));
    if (!path.isEmpty() && !panel->savePicture(path))
        QMessageBox::warning(window, QStringLiteral("导出趋势图"),
                             QStringLiteral("无法写入 %1").arg(QDir::toNativeSeparators(path)));
}

QString WindowMemory::askForFile(const QString &title, const QString &name, const QString &filter,
                                 QFileDialog::Options options)
{
    QSettings stored = settings();
    const QString folder =
        stored
            .value(QStringLiteral("files/folder"),
                   QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
            .toString();
    const QString path = QFileDialog::getSaveFileName(window, title, QDir(folder).filePath(name),
                                                      filter, nullptr, options);
    if (!path.isEmpty())
        stored.setValue(QStringLiteral("files/folder"), QFileInfo(path).absolutePath());
    return path;
}

void WindowMemory::about()
{
    QMessageBox::about(
        window, QStringLiteral("关于 Corvane"),
        QStringLiteral(
            "<p><b>Corvane %1</b></p><p>基于 Qt %2</p>"
            "<p>本程序是自由软件，依据 GNU 通用公共许可证第 3 版或（由你选择）任何更高版本"
            "（GPL-3.0-or-later）发布。</p>"
            "<p>This program is distributed in the hope that it will be useful, but "
            "WITHOUT ANY WARRANTY; without even the implied warranty of MERCHANTABILITY "
            "or FITNESS FOR A PARTICULAR PURPOSE.</p>"
            "<p>项目主页：%3</p>")
            .arg(QStringLiteral(CORVANE_VERSION), QString::fromLatin1(qVersion()),
                 QStringLiteral(CORVANE_HOMEPAGE)));
}
