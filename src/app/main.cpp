#include "highdpi.h"
#include "mainwindow.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    enableHighDpiScaling();
    QApplication app(argc, argv);
#ifndef Q_OS_WIN
    // Windows takes the icon from the executable's resources; elsewhere the window needs it set.
    app.setWindowIcon(QIcon(QStringLiteral(":/logo.ico")));
#endif
    MainWindow window;
    window.show();
    return app.exec();
}
