#pragma once

#include <QIcon>

// The program's icon: one image per size from 16 to 256 px, so that a desktop
// at any scale shrinks an image and never enlarges a small one. The images are
// decoded only when a size is first asked for: decoding all seven up front
// took a tenth of start-up where nothing shows the icon (offscreen, or before
// the window manager asks).
QIcon programIcon();
