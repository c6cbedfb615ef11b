#pragma once

#include <memory>

class Form1;
class QApplication;
class ServerControl;

// Everything the program does between creating the application and entering
// its event loop: the program's name and icon, the main window with the last
// settings restored, centred and shown. Without a control, the platform's own
// is used. The window lives as long as the returned pointer.
std::unique_ptr<Form1> startMainWindow(QApplication &app, std::unique_ptr<ServerControl> control = nullptr);
