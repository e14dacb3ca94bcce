// What the command line leaves behind when it stops: files are written
// under a temporary name beside their final one and renamed when complete;
// an error, Ctrl-C or SIGTERM removes them. Ctrl-C during the analysis is
// Escape for the engine (the analysed part is rendered); a second one, or
// one outside the analysis, aborts.
#pragma once

#include <string>

namespace placidor::host {

// Installs the SIGINT and SIGTERM handlers, except for a signal the shell
// started us with ignored (a background job, nohup), which stays ignored.
void installInterruptHandlers();

// Whether Ctrl-C now means "stop analysing" rather than "abort".
void setAnalysing(bool analysing);

// Claims a temporary file beside `finalPath` in slot `slot` (0 or 1) for
// the duration of the run. Throws HostError when `finalPath` exists and
// `overwrite` is false, is a directory, has no known container extension,
// or cannot be written.
std::string claimTemp(int slot, const std::string &finalPath, bool overwrite);
// Renames slot `slot`'s finished temporary file to `finalPath`.
void commitTemp(int slot, const std::string &finalPath);
// Removes every temporary file still claimed.
void removeTemps();

}  // namespace placidor::host
