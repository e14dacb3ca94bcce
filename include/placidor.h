/*
 * Placidor: video stabilisation engine, public C interface.
 *
 * Copyright (c) 2026 The Placidor developers. MIT licence, see LICENSE.
 *
 * A host describes a clip in a StabilizerParams block and supplies a
 * callback that delivers frames one at a time. The engine measures each
 * frame's global translation against a reference frame, smooths the camera
 * path, clamps the corrections to the host's crop limits and returns, for
 * every frame, the clip rectangle that removes the shake. It never writes
 * pixels.
 *
 * The engine keeps one analysis at a time in library-wide state. All
 * functions must be called from one thread, never overlapping. The usual
 * order is:
 *
 *     StabilizerInit(params);          // store and normalise the block
 *     StabilizerCalculate(userData);   // pull every frame, measure, correct
 *     StabilizerGetClipRect(f, &r);    // for every frame wanted
 *     StabilizerChangeParameter(p);    // optional re-tuning, then more rects
 *     StabilizerFree();
 *
 * Every function that needs an earlier step checks the engine state and
 * refuses with a StabilizerErrorCode; a refused call changes nothing unless
 * its description says otherwise. Results share one signed 32-bit integer
 * with ordinary values (a frame number, a clip error), so a host that uses
 * frame numbers 256, 257, 258 or 512 must compare the state by other means,
 * for example by calling StabilizerGetClipRect.
 *
 * Nothing is ever thrown, logged or shown across this interface.
 */
#ifndef PLACIDOR_H
#define PLACIDOR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Calling convention of every function and callback: cdecl on 32-bit
 * Windows, the platform's C convention elsewhere (64-bit Windows has only
 * one, which the 64-bit Placidor.dll and its callbacks use). */
#if defined(_WIN32) && !defined(_WIN64)
#  define PLACIDOR_CALL __cdecl
#else
#  define PLACIDOR_CALL
#endif

#if defined(PLACIDOR_BUILDING_LIBRARY)
#  if defined(_WIN32)
#    define PLACIDOR_API __declspec(dllexport)
#  else
#    define PLACIDOR_API __attribute__((visibility("default")))
#  endif
#elif defined(_WIN32) && !defined(PLACIDOR_STATIC)
#  define PLACIDOR_API __declspec(dllimport)
#else
#  define PLACIDOR_API
#endif

/* Result codes. They share the integer result with ordinary values. */
typedef enum StabilizerErrorCode {
    NoError = 0,          /* success */
    AlreadyFreed = 256,   /* StabilizerFree: the engine is already freed */
    NotInitialised = 257, /* StabilizerCalculate: no StabilizerInit yet */
    NotCalculated = 258,  /* no analysis to correct or read back */
    BadArgument = 512     /* block too small or unusable, frame not analysed */
} StabilizerErrorCode;

/* Engine states, in order; every state test is "at least". Readable only
 * through the behaviour of the functions, listed here for reference. */
typedef enum EngineState {
    Freed = 0,       /* after StabilizerFree */
    Loaded = 1,      /* after the library is loaded */
    Initialised = 2, /* after StabilizerInit */
    Calculated = 3,  /* inside StabilizerCalculate only, never outlasts it */
    Corrected = 4,   /* after StabilizerCalculate / Correct / ChangeParameter */
    ClipQueried = 5  /* after a successful StabilizerGetClipRect */
} EngineState;

/*
 * FetchFrameCallback: fills `buffer` with frame number `frame`.
 *
 * The buffer holds (width + 1) * height * bpp + 40 bytes, bpp being 2 with
 * twoBytePixels set and 3 otherwise. The host writes first an unsigned
 * 16-bit little-endian pixelOffset (bytes from the start of the buffer to
 * the first pixel; 40 for a BITMAPINFOHEADER in front), then, at that
 * offset, `height` packed rows of `width` pixels without row padding:
 * blue, green, red for 3-byte pixels; the sample in byte 0 for 2-byte
 * pixels. Vertical motion is measured in the order the rows are stored:
 * store the picture bottom row first (as a bottom-up DIB) and the clip
 * rectangles come back in ordinary top-left picture coordinates.
 *
 * `prevDx` and `prevDy` are the displacement measured for the previous
 * frame (0.0 for the first two frames of a pass). Every frame is asked for
 * once, in increasing order, starting with firstFrame.
 *
 * Inside the callbacks the host may call only StabilizerGetParameter and
 * StabilizerGetMaxClipRectErr. Other calls are refused while the analysis
 * runs (see StabilizerCalculate).
 */
typedef void(PLACIDOR_CALL *FetchFrameCallback)(int32_t frame, void *buffer, void *userData,
                                                double prevDx, double prevDy);

/* ProgressCallback: told the number of each frame analysed after the
 * first, once its measurement is recorded. May be NULL. */
typedef void(PLACIDOR_CALL *ProgressCallback)(int32_t frame);

/*
 * StabilizerParams: the parameter block, passed by value.
 *
 * On 32-bit targets (the 32-bit Placidor.dll) it is exactly 108 bytes: 27
 * fields of 4 bytes without gaps, offsets as commented. On 64-bit targets
 * (the 64-bit Placidor.dll, libplacidor.so on x86-64) the four pointer-sized
 * fields (fetchFrame, progress, reserved, userData) are 8 bytes wide: they
 * sit at offsets 80, 88, 96 and 104, searchMethod at 112, smoothingMode at
 * 116, channel at 120, and the block is 128 bytes (124 rounded up to the
 * alignment of a pointer). `size` must then be at least 128; in general at
 * least PLACIDOR_PARAMS_SIZE, compared unsigned.
 *
 * Positions are pixels of the frame: columns from 0 within a row, rows from
 * 0 in buffer order. StabilizerInit normalises the fields marked (n):
 *   - crop limits: equal opposite limits become width/2 (height/2); then
 *     cropLimitLeft/Top >= 0, cropLimitRight <= width, cropLimitBottom
 *     <= height;
 *   - measurement window: equal opposite edges become width/4 .. 3*width/4
 *     (height likewise); clipped to the frame; then shrunk by searchRange;
 *   - searchRange: into 1..100, then at most half the window's width and
 *     height (it may end at 0 or below for a window under two pixels, and
 *     at exactly half the frame for a small frame whose window spans it:
 *     every displacement up to +searchRange is still searched);
 *   - smoothTimeY: 0 becomes smoothTimeX.
 * Smoothing half-windows, in frames: frameRate * smoothTimeX * 0.0005
 * (smoothTimeY likewise), truncated toward zero; a NaN rate gives 0,
 * results beyond the 32-bit range saturate.
 */
typedef struct StabilizerParams {
    uint32_t size;                 /*   0: declared size, >= PLACIDOR_PARAMS_SIZE */
    int32_t firstFrame;            /*   4: number of the clip's first frame */
    int32_t lastFrame;             /*   8: number of its last frame, included */
    int32_t width;                 /*  12: frame width in pixels, > 0 */
    int32_t height;                /*  16: frame height in pixels, > 0 */
    float frameRate;               /*  20: frames per second */
    int32_t measureLeft;           /*  24: (n) measurement window, inclusive */
    int32_t measureTop;            /*  28: (n) */
    int32_t measureRight;          /*  32: (n) */
    int32_t measureBottom;         /*  36: (n) */
    int32_t cropLimitLeft;         /*  40: (n) upper bound of correctionX */
    int32_t cropLimitTop;          /*  44: (n) upper bound of correctionY */
    int32_t cropLimitRight;        /*  48: (n) minus width: lower bound of corrX */
    int32_t cropLimitBottom;       /*  52: (n) minus height: lower bound of corrY */
    int32_t searchRange;           /*  56: (n) largest displacement searched */
    int32_t fieldHandling;         /*  60: nonzero: interlaced, see fieldMode */
    int32_t fieldMode;             /*  64: odd rows: 1 black, 2 copy above,
                                           3 skipped by the match score */
    int32_t twoBytePixels;         /*  68: nonzero: 2 bytes a pixel, else 3 */
    int32_t smoothTimeX;           /*  72: horizontal smoothing time, ms */
    int32_t smoothTimeY;           /*  76: (n) vertical, ms; 0: as smoothTimeX */
    FetchFrameCallback fetchFrame; /* 80: required by StabilizerCalculate */
    ProgressCallback progress;     /* 84 (88): optional */
    void *reserved;                /* 88 (96): never read, kept as given */
    void *userData;                /* 92 (104): set by Calculate/Correct */
    int32_t searchMethod;          /*  96 (112): 1 iterative, else exhaustive */
    int32_t smoothingMode;         /* 100 (116): 1 no averaging, else triangular */
    int32_t channel;               /* 104 (120): 3-byte pixels: 1 red, 2 green,
                                           3 blue, other: luma (77R+151G+28B)>>8 */
} StabilizerParams;

#define PLACIDOR_PARAMS_SIZE ((uint32_t)sizeof(StabilizerParams))

#if defined(__cplusplus)
#  define PLACIDOR_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#  define PLACIDOR_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif
#define PLACIDOR_CHECK_OFFSET(field, at)                            \
  PLACIDOR_STATIC_ASSERT(offsetof(StabilizerParams, field) == (at), \
                         "StabilizerParams." #field " offset")
PLACIDOR_CHECK_OFFSET(size, 0);
PLACIDOR_CHECK_OFFSET(firstFrame, 4);
PLACIDOR_CHECK_OFFSET(lastFrame, 8);
PLACIDOR_CHECK_OFFSET(width, 12);
PLACIDOR_CHECK_OFFSET(height, 16);
PLACIDOR_CHECK_OFFSET(frameRate, 20);
PLACIDOR_CHECK_OFFSET(measureLeft, 24);
PLACIDOR_CHECK_OFFSET(measureTop, 28);
PLACIDOR_CHECK_OFFSET(measureRight, 32);
PLACIDOR_CHECK_OFFSET(measureBottom, 36);
PLACIDOR_CHECK_OFFSET(cropLimitLeft, 40);
PLACIDOR_CHECK_OFFSET(cropLimitTop, 44);
PLACIDOR_CHECK_OFFSET(cropLimitRight, 48);
PLACIDOR_CHECK_OFFSET(cropLimitBottom, 52);
PLACIDOR_CHECK_OFFSET(searchRange, 56);
PLACIDOR_CHECK_OFFSET(fieldHandling, 60);
PLACIDOR_CHECK_OFFSET(fieldMode, 64);
PLACIDOR_CHECK_OFFSET(twoBytePixels, 68);
PLACIDOR_CHECK_OFFSET(smoothTimeX, 72);
PLACIDOR_CHECK_OFFSET(smoothTimeY, 76);
PLACIDOR_CHECK_OFFSET(fetchFrame, 80);
#if UINTPTR_MAX == 0xFFFFFFFFu
PLACIDOR_CHECK_OFFSET(progress, 84);
PLACIDOR_CHECK_OFFSET(reserved, 88);
PLACIDOR_CHECK_OFFSET(userData, 92);
PLACIDOR_CHECK_OFFSET(searchMethod, 96);
PLACIDOR_CHECK_OFFSET(smoothingMode, 100);
PLACIDOR_CHECK_OFFSET(channel, 104);
PLACIDOR_STATIC_ASSERT(sizeof(StabilizerParams) == 108, "block size");
#else
PLACIDOR_CHECK_OFFSET(progress, 88);
PLACIDOR_CHECK_OFFSET(reserved, 96);
PLACIDOR_CHECK_OFFSET(userData, 104);
PLACIDOR_CHECK_OFFSET(searchMethod, 112);
PLACIDOR_CHECK_OFFSET(smoothingMode, 116);
PLACIDOR_CHECK_OFFSET(channel, 120);
PLACIDOR_STATIC_ASSERT(sizeof(StabilizerParams) == 128, "block size");
#endif
#undef PLACIDOR_CHECK_OFFSET

/* ClipRect: 32 bytes, four doubles in pixels of the frame. Left/right from
 * the left edge of column 0; top/bottom from the outer edge of the last
 * buffer row (the picture's top for a bottom-up frame). */
typedef struct ClipRect {
    double left;
    double top;
    double right;
    double bottom;
} ClipRect;

PLACIDOR_STATIC_ASSERT(sizeof(ClipRect) == 32, "ClipRect size");

/*
 * StabilizerInit (ordinal 8): stores a copy of `params`, empties the
 * results of any earlier analysis, normalises the block and allocates the
 * working planes and score cache. Works in every state; on success the
 * state becomes Initialised and the result is 0.
 *
 * Refused with BadArgument (512), changing nothing, when `size` is below
 * PLACIDOR_PARAMS_SIZE, when width or height is not positive, when the
 * working memory (about width * height * 10 bytes) cannot be sized or
 * allocated, or while StabilizerCalculate is running.
 */
PLACIDOR_API int32_t PLACIDOR_CALL StabilizerInit(StabilizerParams params);

/*
 * StabilizerGetParameter (ordinal 7): copies the stored, normalised block
 * to `out` (PLACIDOR_PARAMS_SIZE writable bytes) and returns `out`. Works
 * in every state; all zeros before the first StabilizerInit.
 */
PLACIDOR_API StabilizerParams *PLACIDOR_CALL StabilizerGetParameter(StabilizerParams *out);

/*
 * StabilizerCalculate (ordinal 1): the analysis pass. Needs Initialised or
 * later; otherwise returns NotInitialised (257) and does nothing.
 *
 * Stores `userData` in the block, fetches frames firstFrame..lastFrame
 * through fetchFrame, measures each against the reference frame, calls
 * progress after each frame but the first, and finally corrects the path
 * (as StabilizerCorrect). Returns the number of the last analysed frame;
 * the state is then Corrected and every analysed frame has its rectangle.
 *
 * The pass ends early, keeping and correcting the frames before, when the
 * Escape key is pressed (Windows; elsewhere see placidor_escape.h) or when
 * a fetched frame's pixelOffset puts its pixels beyond the buffer; that
 * frame is not recorded. If that happens to the first frame nothing is
 * recorded: every StabilizerGetClipRect then answers BadArgument and the
 * result is firstFrame - 1 (INT32_MIN for firstFrame INT32_MIN).
 *
 * Refused with BadArgument (512), changing nothing, when fetchFrame is
 * NULL or the two frame buffers cannot be allocated. While the pass runs,
 * the other exports that change state refuse re-entrant calls: Init 512,
 * ChangeParameter 258 (storing nothing), Calculate 257, Correct 258,
 * GetClipRect 258, Free 256.
 */
PLACIDOR_API int32_t PLACIDOR_CALL StabilizerCalculate(void *userData);

/*
 * StabilizerCorrect (ordinal 3): smooths the measured path and recomputes
 * the clamped corrections and all clip rectangles. Needs Corrected or
 * ClipQueried (an analysis); otherwise NotCalculated (258). Stores
 * `userData` in the block. Returns the new maxClipError (>= 0), leaving the
 * state at Corrected.
 */
PLACIDOR_API int32_t PLACIDOR_CALL StabilizerCorrect(void *userData);

/*
 * StabilizerChangeParameter (ordinal 2): takes the four crop limits and the
 * two smoothing times from `params` (smoothTimeY 0: as smoothTimeX),
 * stores them as given (the crop limits are not normalised), re-derives the
 * half-windows from the stored frame rate, then runs StabilizerCorrect with
 * the stored userData and returns its result: maxClipError, or 258 before
 * an analysis (the values still take effect at the next correction).
 * BadArgument (512) when `size` is too small, changing nothing.
 */
PLACIDOR_API int32_t PLACIDOR_CALL StabilizerChangeParameter(StabilizerParams params);

/*
 * StabilizerGetClipRect (ordinal 5): writes the clip rectangle of frame
 * `frame` to `rect` and moves to ClipQueried. `rect` is set to zeros first
 * in every case. NotCalculated (258) below Corrected, BadArgument (512) for
 * a frame that was not analysed. A NULL `rect` is answered BadArgument.
 */
PLACIDOR_API int32_t PLACIDOR_CALL StabilizerGetClipRect(int32_t frame, ClipRect *rect);

/*
 * StabilizerGetMaxClipRectErr (ordinal 6): how far, in whole pixels rounded
 * up, the crop limits cut the smoothed corrections short in the latest
 * correction; 0 before the first. Works in every state; survives Init and
 * Free.
 */
PLACIDOR_API int32_t PLACIDOR_CALL StabilizerGetMaxClipRectErr(void);

/*
 * StabilizerFree (ordinal 4): releases the analysis and the working memory
 * and moves to Freed. AlreadyFreed (256) when already freed. The stored
 * block and the last results (StabilizerGetParameter,
 * StabilizerGetMaxClipRectErr) survive.
 */
PLACIDOR_API int32_t PLACIDOR_CALL StabilizerFree(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* PLACIDOR_H */
