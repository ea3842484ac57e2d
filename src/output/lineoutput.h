#ifndef LINEOUTPUT_H
#define LINEOUTPUT_H

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QtGlobal>

// Where a command's data lines go: a file appended to, stdout, or stderr. A line is written whole
// or not at all: when a write fails (a full disk, a size limit) a file is cut back to its size
// before it, so that no half line is ever left for the next line to be glued onto. A file that
// does not end with a newline gets one in front of the first line appended.
class LineOutput
{
public:
    enum Stream { StandardOutput = 1, StandardError = 2 };

    LineOutput() = default;
    LineOutput(const LineOutput &) = delete;
    LineOutput &operator=(const LineOutput &) = delete;

    bool openFile(const QString &path);
    bool openStream(Stream stream);
    bool isOpen() const { return file.isOpen(); }
    // Nothing is in it yet: a new or empty file, or a pipe or terminal (which cannot tell).
    bool isEmpty() const { return empty; }
    // The line and its newline.
    bool writeLine(const QByteArray &line);
    // Down to the disk, for a record that must survive a power cut right after the run.
    bool sync();
    // The system's reason for the last failure: "No space left on device".
    QString errorString() const { return error; }

private:
    bool writeAll(const QByteArray &bytes);

    QFile file;
    QString error;
    bool empty = true;
    bool needsNewline = false;
#ifdef Q_OS_WIN
    // A Windows console, written as UTF-16.
    bool console = false;
#endif
};

#endif // LINEOUTPUT_H
