/* The public headers compile alone as C11. */
#include "placidor.h"
#include "placidor_escape.h"

int placidor_header_test_c(void) { return (int)sizeof(StabilizerParams); }
