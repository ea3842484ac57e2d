#ifndef HIGHDPI_H
#define HIGHDPI_H

// Scales the whole window by the screen's own factor on a dense screen. Call it before the
// application object exists.
void enableHighDpiScaling();

#endif // HIGHDPI_H
