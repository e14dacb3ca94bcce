// What the command line leaves behind when it stops: files are written
// under a temporary name beside their final one and renamed when complete;
// an error, Ctrl-C or SIGTERM removes them. Ctrl-C during the analysis is
// Escape for the engine (the analysed part is rendered); a second one, or
// one outside the analysis, aborts.
#pragma once

#include <string>
#include <vector>

namespace placidor::host {

// Installs the handlers of SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE,
// except for a signal the shell started us with ignored (a background
// job, nohup), which stays ignored. Each removes the temporary files and
// exits with 128 + the signal's number.
void installInterruptHandlers();

// Whether Ctrl-C now means "stop analysing" rather than "abort".
void setAnalysing(bool analysing);

// The files written under a temporary name.
enum TempSlot { TempOutput, TempCompare, TempRects, TempPlot, TempInput, kTempSlotCount };

// Claims a temporary file beside `finalPath` in `slot` for the duration of
// the run. Throws HostError when `finalPath` exists and `overwrite` is
// false, is a directory, or cannot be written (with the reason).
std::string claimTemp(int slot, const std::string &finalPath, bool overwrite);
// Moves the slot's finished temporary file to `finalPath`. Without
// `overwrite` a file that appeared there meanwhile (another run) is never
// replaced: the move fails and this result is discarded.
void commitTemp(int slot, const std::string &finalPath, bool overwrite);

// Throws HostError (ExitUsage) when two of the named files, as far as they
// exist, are the same file (device and inode, following symlinks): the
// output would destroy the input.
void checkDistinctFiles(const std::string &input, const std::vector<std::string> &outputs);

// A pipe or other non-seekable input ("-", "pipe:N", a named pipe), which
// the two passes cannot both read, is copied to a temporary file beside
// `besidePath` first; returns the path to read. Other inputs are returned
// as they are.
std::string spoolIfPipe(const std::string &input, const std::string &besidePath);
// Removes every temporary file still claimed.
void removeTemps();

}  // namespace placidor::host
