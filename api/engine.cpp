// The library's one engine, and the hooks through which tests replace what
// it takes from the platform.
#include "api/engine.h"

namespace placidor::api {

namespace {

// Constructed with the library: state Loaded, both lists empty.
Engine theEngine;

}  // namespace

Engine &engine() { return theEngine; }
void setEscapeKey(platform::EscapeKey *key) { theEngine.escapeKey = key; }
void setKernelLimit(motion::CpuLevel limit) { theEngine.kernelLimit = limit; }

}  // namespace placidor::api
