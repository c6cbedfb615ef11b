#pragma once

#include <QIcon>

// The program's icon, in three sets of sizes of the same images (16, 24, 32,
// 48, 64, 128 and 256 px). Each image is decoded once, when a size it serves
// is first asked for, and the three share what was decoded: decoding all
// seven up front took a tenth of start-up where nothing shows the icon
// (offscreen, or before the window manager asks).

// Every size, so that a desktop at any scale shrinks an image and never
// enlarges a small one. The tray gets this one.
QIcon programIcon();

// What a window offers the window manager: 16 to 128 px, which Qt renders at
// the screen's density (up to 256 px at a ratio of 2). On X, Qt turns every
// size a window's icon offers into its _NET_WM_ICON, decoding and converting
// each image and sending them all to the X server. Menus and docks take
// larger icons from the installed hicolor ones.
QIcon programWindowIcon();

// The same up to 32 px, the sizes of title bars and taskbars: what a window
// offers when it is first shown, so that the larger sizes cost its first
// paint nothing.
QIcon programFirstShowIcon();
