// bench_startup_floor: the least a window with Corvane's form can do at start-up, which is the
// floor for the program's start-up. It shows the form on a bare QMainWindow; the quit on the
// first paint comes from firstpaintquit.cpp, as for the program.

#include "ui_mainwindowform.h"

#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    Ui::MainWindowForm form;
    form.setupUi(&window);
    window.show();
    return app.exec();
}
