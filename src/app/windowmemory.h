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

private:
    void take(const QByteArray &pack);
    void setTrendShown(bool shown);
    void showBelowForm(QWidget *part, bool show, int height);
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
    TrendHistory history;
    std::unique_ptr<SampleWriter> writer;
    QString recordingPath;
    int rowsWritten = 0;
    bool recording = false;
    // The form's height as laid out before anything was put below it.
    int formHeight;
};

#endif // WINDOWMEMORY_H
