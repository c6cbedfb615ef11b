#pragma once

struct StartFolder;

// The folder picker of the menu's "Open a server folder...": shows the
// start's notice first if it has one, then works in the folder chosen and
// remembers it for the next start. False when the operator cancelled.
bool chooseServerFolder(const StartFolder &start);
