#ifndef FORMTRANSLATION_H
#define FORMTRANSLATION_H

#include <QCoreApplication>
#include <QString>

// uic would name the translation context after the holder class; the form's texts belong to
// the window, so they are looked up in the context "MainWindow".
inline QString formTr(const char *sourceText, const char *disambiguation)
{
    return QCoreApplication::translate("MainWindow", sourceText, disambiguation);
}

#endif // FORMTRANSLATION_H
