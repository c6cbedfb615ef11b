#include "terminationsignals.h"

// A program without a console gets no console control events, and Windows has
// no signals to send it. Logging off or shutting down reaches it as
// WM_ENDSESSION, which Qt turns into aboutToQuit(): that already stops the
// server, as Exit does.
void quitOnTerminationSignals(QCoreApplication &) {}
