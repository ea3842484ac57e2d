#ifndef WINDOWMEMORY_H
#define WINDOWMEMORY_H

#include "samplewriter.h"
#include "trendhistory.h"

#include <QFileDialog>
#include <QObject>
#include <QString>

#include <memory>

class QAction;
class QLabel;
class QMenu;
class QMainWindow;
class SerialCommon;
class TrendPanel;

// What the window keeps beyond the present second, around its form and never inside it: the
// menu bar, the history of the unit's readings with its trend panel below the form, recording
// to a CSV file with a status line under the form, and the window's state between runs.
class WindowMemory : public QObject
{
    Q_OBJECT

public:
    // Takes the window's central widget, the form, into a column with the status line and the
    // trend below it, and listens to the packs the link cuts.
    WindowMemory(QMainWindow *window, SerialCommon *serial);
    ~WindowMemory() override;

    const TrendHistory &readings() const { return history; }
    // The trend panel once it has been asked for, else nullptr; trendMade says when.
    TrendPanel *trend() const { return panel; }
    // A menu of the menu bar's, in front of 帮助.
    QMenu *addMenu(const QString &title);
    // Shows or hides a part in the column below the form, the window growing or shrinking by it
    // so that the form keeps its size.
    void showBelowForm(QWidget *part, bool show, int height);
    // Adds a part to the column, hidden, before the trend.
    void addBelowForm(QWidget *part);

signals:
    void trendMade(TrendPanel *panel);

private:
    void take(const QByteArray &pack);
    void setTrendShown(bool shown);
    void toggleRecording();
    void startRecording(const QString &path);
    void stopRecording();
    void showRecording();
    void exportData();
    void exportPicture();
    void about();
    QString askForFile(const QString &title, const QString &name, const QString &filter,
                       QFileDialog::Options options = {});

    QMainWindow *window;
    QWidget *form;
    QLabel *recordingLine;
    TrendPanel *panel = nullptr;
    QAction *recordAction;
    QAction *trendAction;
    QList<QAction *> exportActions;
    QAction *helpMenu;
    TrendHistory history;
    std::unique_ptr<SampleWriter> writer;
    QString recordingPath;
    int rowsWritten = 0;
    bool recording = false;
    // The form's height as laid out before anything was put below it.
    int formHeight;
};

#endif // WINDOWMEMORY_H
