// The public headers compile alone as C++.
#include "placidor.h"
#include "placidor_escape.h"

int placidorHeaderTestCxx() { return static_cast<int>(sizeof(StabilizerParams)); }
