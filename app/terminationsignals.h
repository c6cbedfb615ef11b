#pragma once

class QCoreApplication;

// Ends the program as Exit does, with status 0, when it is asked to from
// outside, so that the server of this folder is stopped on the way out. On
// Linux (posix/): SIGTERM, SIGHUP (the terminal it was started from closed)
// and Ctrl+C's SIGINT, which reach the event loop through a pipe. On Windows
// (windows/) there is nothing to set up.
void quitOnTerminationSignals(QCoreApplication &app);
