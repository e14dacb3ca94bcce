// placidor --version: the command line's version and those of the engine
// and the media libraries it runs with.
#pragma once

#include <cstdio>

namespace placidor::host {

// Writes the report to `out`: the versions are read from the libraries
// loaded into this process, not from the headers it was built with.
void printVersions(std::FILE *out);

}  // namespace placidor::host
