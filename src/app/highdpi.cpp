#include "highdpi.h"

#include <QGuiApplication>

void enableHighDpiScaling()
{
    // The form has fixed pixel sizes and 14-pt texts. Qt 5 left alone grows the texts on a
    // dense screen (150 % on most laptops) but not the form, and the buttons clip their labels;
    // scaled as a whole by the screen's own factor (1.5, not rounded to 2), the window looks as
    // at 100 %, as under Qt 6, where this is the default. QT_SCALE_FACTOR,
    // QT_SCREEN_SCALE_FACTORS and QT_ENABLE_HIGHDPI_SCALING=0 still take precedence.
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QGuiApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QGuiApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#endif
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
}
