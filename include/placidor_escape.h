/*
 * Placidor: the Escape latch of the native (non-Windows) library.
 *
 * Copyright (c) 2026 The Placidor developers. MIT licence, see LICENSE.
 *
 * On Windows the analysis pass stops when the user presses Escape
 * (GetAsyncKeyState). A library elsewhere has no keyboard it may read, so
 * it keeps a latch with the same meaning instead: "Escape was pressed since
 * the previous query". The host presses it, for example from a SIGINT
 * handler, and the running StabilizerCalculate ends before the next frame,
 * keeping and correcting the frames analysed so far.
 *
 * Not part of the Windows DLL.
 */
#ifndef PLACIDOR_ESCAPE_H
#define PLACIDOR_ESCAPE_H

#include "placidor.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sets the latch. Async-signal-safe (one lock-free atomic store), callable
 * from any thread. The pass clears the latch when it reads it, so a press
 * before a pass starts stops that pass before its second frame. */
PLACIDOR_API void PLACIDOR_CALL PlacidorPressEscape(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* PLACIDOR_ESCAPE_H */
