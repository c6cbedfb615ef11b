#pragma once

class QCoreApplication;

// Ends the program as Exit does, with status 0, when it is asked to end
// (SIGTERM), when the terminal it was started from closes (SIGHUP) and on
// Ctrl+C (SIGINT): the event loop ends, so the server of this folder is
// stopped on the way out. The signals reach the event loop through a pipe.
void quitOnTerminationSignals(QCoreApplication &app);
