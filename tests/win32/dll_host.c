/*
 * dll_host: a host program that drives the Placidor library as a video
 * editor does, through nothing but the public header.
 *
 *   dll_host [--library PATH] [--dump FILE] [--compare FILE] [--report-only]
 *
 * On Windows it loads Placidor.dll with LoadLibrary (PATH, by default
 * "Placidor.dll" next to the program), resolves the eight entry points by
 * name and by ordinal, and calls them through those pointers. Built with
 * DLL_HOST_LINKED, or on other systems, it is linked with the library (on
 * Windows through its import library) and calls the functions directly.
 *
 * It serves generated clips with known camera motion through its own
 * callbacks, passes the parameter block by value, and checks the state
 * table, the normalised block, the motion the engine measured and the clip
 * rectangles against values worked out here. Every result (return values,
 * callback arguments, rectangles as raw IEEE bits) goes into a text dump
 * that does not depend on the platform: --dump writes it, --compare checks
 * it byte for byte against a dump written on another platform, so that the
 * 32-bit DLL and the native library are shown to agree bit for bit.
 *
 * The exit status is the number of failed checks (0: all passed), or 0
 * whatever happened with --report-only (used to produce a reference dump at
 * build time; the failures are still printed).
 */
#include <inttypes.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#  include <windows.h>
#endif

#include "placidor.h"

/* ------------------------------------------------------------------------
 * Checks and the dump
 */

static int failures = 0;
static const char *scenarioName = "setup";

#define CHECK(cond, ...) check((cond) != 0, __LINE__, #cond, __VA_ARGS__)

static void check(int ok, int line, const char *expr, const char *format, ...) {
    va_list args;
    if (ok) return;
    ++failures;
    fprintf(stderr, "FAILED [%s] line %d: %s: ", scenarioName, line, expr);
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
}

static char *dump = NULL;
static size_t dumpLength = 0, dumpCapacity = 0;

static void dumpf(const char *format, ...) {
    char line[512];
    va_list args;
    int n;
    va_start(args, format);
    n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0 || (size_t)n >= sizeof line) {
        fprintf(stderr, "dump line too long\n");
        exit(100);
    }
    if (dumpLength + (size_t)n + 1 > dumpCapacity) {
        dumpCapacity = (dumpCapacity + (size_t)n + 1) * 2;
        dump = realloc(dump, dumpCapacity);
        if (!dump) exit(101);
    }
    memcpy(dump + dumpLength, line, (size_t)n + 1);
    dumpLength += (size_t)n;
}

/* The exact bits of a double: the comparison across platforms must not
 * depend on how each C runtime formats floating-point numbers. */
static uint64_t bits(double v) {
    uint64_t b;
    memcpy(&b, &v, sizeof b);
    return b;
}

/* ------------------------------------------------------------------------
 * The library's entry points
 */

typedef int32_t(PLACIDOR_CALL *CalculateFn)(void *);
typedef int32_t(PLACIDOR_CALL *ChangeParameterFn)(StabilizerParams);
typedef int32_t(PLACIDOR_CALL *CorrectFn)(void *);
typedef int32_t(PLACIDOR_CALL *FreeFn)(void);
typedef int32_t(PLACIDOR_CALL *GetClipRectFn)(int32_t, ClipRect *);
typedef int32_t(PLACIDOR_CALL *GetMaxClipRectErrFn)(void);
typedef StabilizerParams *(PLACIDOR_CALL *GetParameterFn)(StabilizerParams *);
typedef int32_t(PLACIDOR_CALL *InitFn)(StabilizerParams);

typedef struct Api {
    CalculateFn calculate;
    ChangeParameterFn changeParameter;
    CorrectFn correct;
    FreeFn free;
    GetClipRectFn getClipRect;
    GetMaxClipRectErrFn getMaxClipRectErr;
    GetParameterFn getParameter;
    InitFn init;
} Api;

static Api api;

#if defined(_WIN32) && !defined(DLL_HOST_LINKED)
#  define DLL_HOST_LOADS 1

/* In ordinal order: ordinal n is entry n - 1. */
static const char *const exportNames[8] = {
    "StabilizerCalculate",    "StabilizerChangeParameter",
    "StabilizerCorrect",      "StabilizerFree",
    "StabilizerGetClipRect",  "StabilizerGetMaxClipRectErr",
    "StabilizerGetParameter", "StabilizerInit",
};

typedef void (*AnyFunction)(void);

static HMODULE library = NULL;

/* Loads the DLL and fills `api`; every name must resolve to the same
 * address as its ordinal, and nothing else may resolve. */
static int loadLibrary(const char *path) {
    AnyFunction entries[8];
    int i;
    static const char *const absent[] = {"PlacidorPressEscape", "DllMain", "_StabilizerInit",
                                         "StabilizerInit@108", "stabilizerinit"};

    library = LoadLibraryA(path);
    CHECK(library != NULL, "LoadLibrary(%s) failed with error %lu", path,
          (unsigned long)GetLastError());
    if (!library) return 0;

    for (i = 0; i < 8; ++i) {
        FARPROC byName = GetProcAddress(library, exportNames[i]);
        FARPROC byOrdinal = GetProcAddress(library, MAKEINTRESOURCEA(i + 1));
        CHECK(byName != NULL, "%s is not exported by name", exportNames[i]);
        CHECK(byOrdinal != NULL, "ordinal %d is not exported", i + 1);
        CHECK(byName == byOrdinal, "%s and ordinal %d resolve to different functions",
              exportNames[i], i + 1);
        entries[i] = (AnyFunction)byName;
    }
    CHECK(GetProcAddress(library, MAKEINTRESOURCEA(9)) == NULL, "ordinal 9 is exported");
    for (i = 0; i < (int)(sizeof absent / sizeof absent[0]); ++i) {
        CHECK(GetProcAddress(library, absent[i]) == NULL, "%s is exported", absent[i]);
    }
    if (failures) return 0;

    api.calculate = (CalculateFn)entries[0];
    api.changeParameter = (ChangeParameterFn)entries[1];
    api.correct = (CorrectFn)entries[2];
    api.free = (FreeFn)entries[3];
    api.getClipRect = (GetClipRectFn)entries[4];
    api.getMaxClipRectErr = (GetMaxClipRectErrFn)entries[5];
    api.getParameter = (GetParameterFn)entries[6];
    api.init = (InitFn)entries[7];
    return 1;
}

static void unloadLibrary(void) {
    CHECK(FreeLibrary(library), "FreeLibrary failed with error %lu", (unsigned long)GetLastError());
    library = NULL;
    memset(&api, 0, sizeof api);
}

#else /* linked with the library, through its import library on Windows */

static int loadLibrary(const char *path) {
    (void)path;
    api.calculate = StabilizerCalculate;
    api.changeParameter = StabilizerChangeParameter;
    api.correct = StabilizerCorrect;
    api.free = StabilizerFree;
    api.getClipRect = StabilizerGetClipRect;
    api.getMaxClipRectErr = StabilizerGetMaxClipRectErr;
    api.getParameter = StabilizerGetParameter;
    api.init = StabilizerInit;
    return 1;
}

#endif

#if defined(_WIN32) && defined(__i386__)
/* Calls fn(arg), a cdecl function of one pointer-sized argument, with the
 * stack pointer 4 bytes past a 16-byte boundary at the call: a 32-bit
 * Windows host only guarantees 4-byte alignment, and the library must
 * realign before it uses SSE on its stack. */
int32_t callWithMisalignedStack(int32_t(PLACIDOR_CALL *fn)(void *), void *arg);
__asm__(
    ".text\n"
    ".globl _callWithMisalignedStack\n"
    "_callWithMisalignedStack:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    andl $-16, %esp\n"
    "    subl $8, %esp\n"
    "    pushl 12(%ebp)\n"
    "    call *8(%ebp)\n"
    "    leave\n"
    "    ret\n");
#endif

/* ------------------------------------------------------------------------
 * A generated clip: a seeded scene seen through a camera that moves by
 * whole pixels
 */

enum { kMargin = 24, kMaxFrames = 64 };

typedef struct Camera {
    int32_t x; /* scene column shown at frame column 0 */
    int32_t y; /* scene row shown at buffer row 0 */
} Camera;

static uint32_t nextRandom(uint32_t *state) {
    /* xorshift32: the same sequence on every platform */
    uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return *state = x;
}

typedef struct Scene {
    int32_t width, height; /* of the frames */
    int32_t sceneWidth, sceneHeight;
    uint8_t *samples;
} Scene;

/* Value noise on an 8-pixel grid, interpolated in integers, plus grain:
 * smooth enough for the iterative search, distinct enough for a unique
 * best match. */
static void makeScene(Scene *scene, int32_t width, int32_t height, uint32_t seed) {
    enum { cell = 8 };
    int32_t gw, gh, x, y;
    uint8_t *grid;
    uint32_t rng = seed;

    scene->width = width;
    scene->height = height;
    scene->sceneWidth = width + 2 * kMargin;
    scene->sceneHeight = height + 2 * kMargin;
    gw = scene->sceneWidth / cell + 2;
    gh = scene->sceneHeight / cell + 2;
    grid = malloc((size_t)gw * (size_t)gh);
    scene->samples = malloc((size_t)scene->sceneWidth * (size_t)scene->sceneHeight);
    if (!grid || !scene->samples) exit(102);
    for (x = 0; x < gw * gh; ++x) grid[x] = (uint8_t)(nextRandom(&rng) >> 24);
    for (y = 0; y < scene->sceneHeight; ++y) {
        for (x = 0; x < scene->sceneWidth; ++x) {
            const int32_t ix = x / cell, iy = y / cell, tx = x % cell, ty = y % cell;
            const int32_t g00 = grid[iy * gw + ix], g10 = grid[iy * gw + ix + 1];
            const int32_t g01 = grid[(iy + 1) * gw + ix], g11 = grid[(iy + 1) * gw + ix + 1];
            const int32_t smooth = (g00 * (cell - tx) * (cell - ty) + g10 * tx * (cell - ty) +
                                    g01 * (cell - tx) * ty + g11 * tx * ty) /
                                   (cell * cell);
            int32_t v = 30 + smooth * 190 / 255 + (int32_t)(nextRandom(&rng) % 25) - 12;
            if (v < 0) v = 0;
            if (v > 255) v = 255;
            scene->samples[y * scene->sceneWidth + x] = (uint8_t)v;
        }
    }
    free(grid);
}

static uint8_t sceneSample(const Scene *scene, Camera cam, int32_t row, int32_t column) {
    return scene->samples[(row + cam.y + kMargin) * scene->sceneWidth + column + cam.x + kMargin];
}

/* A pan of one pixel every three frames to the right and one every five
 * upward, with seeded jitter of up to +-3 pixels on each axis. */
static void makePath(Camera *path, int32_t frames, uint32_t seed) {
    uint32_t rng = seed;
    int32_t f;
    for (f = 0; f < frames; ++f) {
        const int32_t jx = f ? (int32_t)(nextRandom(&rng) % 7) - 3 : 0;
        const int32_t jy = f ? (int32_t)(nextRandom(&rng) % 7) - 3 : 0;
        path[f].x = f / 3 + jx;
        path[f].y = jy - f / 5;
    }
}

/* ------------------------------------------------------------------------
 * The host's side of the callbacks
 */

typedef struct Host {
    const Scene *scene;
    const Camera *path; /* one position per frame from firstFrame */
    int32_t firstFrame;
    int32_t twoBytePixels;
    int32_t channel;      /* 3-byte pixels: which of B, G, R carries the scene */
    int32_t badOffsetAt;  /* frame whose pixelOffset lies beyond the buffer, or INT32_MIN */
    int32_t probeReentry; /* frame at which the callback calls back into the library */
    uint32_t noise;       /* fills the channels that carry no picture */
    int32_t fetched, progressed;
    int32_t misalignedCalls; /* callbacks entered with a misaligned stack */
    int32_t fetchFrames[kMaxFrames];
    double prevDx[kMaxFrames], prevDy[kMaxFrames];
    int32_t progressFrames[kMaxFrames];
} Host;

static Host *progressHost = NULL; /* progress gets no userData */

/* The library realigns its stack at every entry point, so its calls back
 * into the host are aligned as the 32-bit ABI wants however the host called
 * it: at a callback's entry the return address lies 4 bytes below a 16-byte
 * boundary, and the saved frame pointer 8 bytes below. */
#if defined(_WIN32) && defined(__i386__)
#  define NOTE_STACK_ALIGNMENT(host) \
    ((host)->misalignedCalls += ((uintptr_t)__builtin_frame_address(0) & 15) != 8)
#else
#  define NOTE_STACK_ALIGNMENT(host) ((void)0)
#endif

static void PLACIDOR_CALL fetchFrame(int32_t frame, void *buffer, void *userData, double prevDx,
                                     double prevDy) {
    Host *host = userData;
    uint8_t *bytes = buffer, *p;
    const int32_t bpp = host->twoBytePixels ? 2 : 3;
    const int32_t index = frame - host->firstFrame;
    int32_t r, c;
    uint16_t pixelOffset = 40;

    NOTE_STACK_ALIGNMENT(host);
    CHECK(host->fetched < kMaxFrames, "more fetches than frames");
    if (host->fetched >= kMaxFrames) return;
    host->fetchFrames[host->fetched] = frame;
    host->prevDx[host->fetched] = prevDx;
    host->prevDy[host->fetched] = prevDy;
    ++host->fetched;

    if (frame == host->probeReentry) {
        /* Only the read-only calls may be made from here; the others are
         * refused while the analysis runs. */
        StabilizerParams stored;
        ClipRect rect;
        CHECK(api.getParameter(&stored) == &stored, "GetParameter result");
        CHECK(stored.userData == userData, "userData not stored before the first fetch");
        CHECK(api.init(stored) == BadArgument, "re-entrant Init accepted");
        CHECK(api.calculate(userData) == NotInitialised, "re-entrant Calculate accepted");
        CHECK(api.correct(userData) == NotCalculated, "re-entrant Correct accepted");
        CHECK(api.getClipRect(host->firstFrame, &rect) == NotCalculated,
              "re-entrant GetClipRect accepted");
        CHECK(api.free() == AlreadyFreed, "re-entrant Free accepted");
    }

    if (frame == host->badOffsetAt) pixelOffset = 0xffff;
    bytes[0] = (uint8_t)(pixelOffset & 0xff);
    bytes[1] = (uint8_t)(pixelOffset >> 8);
    if (frame == host->badOffsetAt) return;

    p = bytes + pixelOffset;
    for (r = 0; r < host->scene->height; ++r) {
        for (c = 0; c < host->scene->width; ++c) {
            const uint8_t v = sceneSample(host->scene, host->path[index], r, c);
            if (bpp == 2) {
                p[0] = v;
                p[1] = (uint8_t)nextRandom(&host->noise);
            } else if (host->channel >= 1 && host->channel <= 3) {
                /* blue, green, red: channel 1 red, 2 green, 3 blue; the
                 * other two carry noise */
                p[0] = (uint8_t)nextRandom(&host->noise);
                p[1] = (uint8_t)nextRandom(&host->noise);
                p[2] = (uint8_t)nextRandom(&host->noise);
                p[3 - host->channel] = v;
            } else {
                /* luma: a grey picture, whose luma is its value */
                p[0] = p[1] = p[2] = v;
            }
            p += bpp;
        }
    }
}

static void PLACIDOR_CALL progress(int32_t frame) {
    Host *host = progressHost;
    CHECK(host && host->progressed < kMaxFrames, "unexpected progress call");
    if (host) NOTE_STACK_ALIGNMENT(host);
    if (host && host->progressed < kMaxFrames) host->progressFrames[host->progressed++] = frame;
}

/* ------------------------------------------------------------------------
 * What the engine must answer, worked out from the camera path
 */

/* The displacement of each frame against its reference, the latest
 * earlier frame that moved (or the first frame). */
static void expectedMotion(const Camera *path, int32_t frames, int32_t *dx, int32_t *dy) {
    Camera reference = path[0];
    int32_t f;
    dx[0] = dy[0] = 0;
    for (f = 1; f < frames; ++f) {
        dx[f] = reference.x - path[f].x;
        dy[f] = path[f].y - reference.y;
        if (dx[f] != 0 || dy[f] != 0) reference = path[f];
    }
}

typedef struct Correction {
    int32_t width, height;
    int32_t cropLimitLeft, cropLimitTop, cropLimitRight, cropLimitBottom;
    int32_t halfWindowX, halfWindowY;
    int32_t smoothingMode;
} Correction;

static double windowAverage(const int32_t *d, int32_t frames, int32_t i, int32_t halfWindow) {
    double sum = 0.0, total = 0.0;
    int32_t j;
    for (j = -halfWindow; j <= halfWindow; ++j) {
        const int32_t weight = halfWindow - (j < 0 ? -j : j);
        if (i + j < 0 || i + j >= frames) continue;
        sum += (double)(d[i + j] * weight);
        total += (double)weight;
    }
    return sum / total;
}

static double clampInto(double value, double lower, double upper, double *largest) {
    const double before = value;
    if (value < lower) {
        value = lower;
    } else if (value > upper) {
        value = upper;
    }
    if (fabs(before - value) >= *largest) *largest = fabs(before - value);
    return value;
}

/* The clip rectangles of a one-segment clip: smoothed path minus measured
 * path, clamped into the crop limits, then the region every corrected
 * frame covers, trimmed to the frame's aspect ratio. Every expression is
 * evaluated left to right in double precision, as the engine does. */
static int32_t expectedRects(const int32_t *dx, const int32_t *dy, int32_t frames,
                             const Correction *c, ClipRect *rects) {
    double corrX[kMaxFrames], corrY[kMaxFrames];
    double previousX = 0.0, previousY = 0.0, largest = 0.0;
    double maxX = 0.0, minX = 0.0, maxY = 0.0, minY = 0.0;
    double fractionX, fractionY, common, marginX, marginY, truncated;
    const double lowerX = (double)(c->cropLimitRight - c->width);
    const double lowerY = (double)(c->cropLimitBottom - c->height);
    int32_t i;

    for (i = 0; i < frames; ++i) {
        if (c->smoothingMode == 1) {
            corrX[i] = previousX - dx[i];
            corrY[i] = previousY - dy[i];
        } else {
            corrX[i] = windowAverage(dx, frames, i, c->halfWindowX) + previousX - dx[i];
            corrY[i] = windowAverage(dy, frames, i, c->halfWindowY) + previousY - dy[i];
        }
        previousX = corrX[i];
        previousY = corrY[i];
    }
    for (i = 0; i < frames; ++i) {
        corrX[i] = clampInto(corrX[i], lowerX, c->cropLimitLeft, &largest);
        corrY[i] = clampInto(corrY[i], lowerY, c->cropLimitTop, &largest);
    }
    for (i = 0; i < frames; ++i) {
        if (corrX[i] >= maxX) maxX = corrX[i];
        if (corrX[i] <= minX) minX = corrX[i];
        if (corrY[i] >= maxY) maxY = corrY[i];
        if (corrY[i] <= minY) minY = corrY[i];
    }
    fractionX = (c->width - maxX + minX) / c->width;
    fractionY = (c->height - maxY + minY) / c->height;
    common = fractionX < fractionY ? fractionX : fractionY;
    marginX = c->width * fabs(fractionX - common) * 0.5;
    marginY = c->height * fabs(fractionY - common) * 0.5;
    for (i = 0; i < frames; ++i) {
        rects[i].left = maxX - corrX[i] + marginX;
        rects[i].right = minX - corrX[i] + c->width - marginX;
        rects[i].top = maxY - corrY[i] + marginY;
        rects[i].bottom = minY - corrY[i] + c->height - marginY;
    }
    truncated = trunc(largest);
    return (int32_t)truncated + (largest > truncated ? 1 : 0);
}

/* ------------------------------------------------------------------------
 * Scenarios
 */

static int sameRect(const ClipRect *a, const ClipRect *b) {
    return bits(a->left) == bits(b->left) && bits(a->top) == bits(b->top) &&
           bits(a->right) == bits(b->right) && bits(a->bottom) == bits(b->bottom);
}

static void dumpBlock(const StabilizerParams *p) {
    uint32_t rate;
    memcpy(&rate, &p->frameRate, sizeof rate);
    /* Not the size (108 or 128 bytes) nor the pointers: they differ
     * between 32-bit and 64-bit builds. */
    dumpf("block frames %" PRId32 "..%" PRId32 " %" PRId32 "x%" PRId32 " rate %08" PRIx32 "\n",
          p->firstFrame, p->lastFrame, p->width, p->height, rate);
    dumpf("block window %" PRId32 " %" PRId32 " %" PRId32 " %" PRId32 " crop %" PRId32 " %" PRId32
          " %" PRId32 " %" PRId32 " range %" PRId32 "\n",
          p->measureLeft, p->measureTop, p->measureRight, p->measureBottom, p->cropLimitLeft,
          p->cropLimitTop, p->cropLimitRight, p->cropLimitBottom, p->searchRange);
    dumpf("block fields %" PRId32 " %" PRId32 " twoByte %" PRId32 " smooth %" PRId32 " %" PRId32
          " method %" PRId32 " mode %" PRId32 " channel %" PRId32 "\n",
          p->fieldHandling, p->fieldMode, p->twoBytePixels, p->smoothTimeX, p->smoothTimeY,
          p->searchMethod, p->smoothingMode, p->channel);
}

/* Reads back and dumps every rectangle from firstFrame - 1 to lastFrame + 1
 * and compares those of the analysed frames with `expected`. */
static void readRects(const char *label, int32_t firstFrame, int32_t lastFrame, int32_t analysed,
                      const ClipRect *expected) {
    int32_t f;
    for (f = firstFrame - 1; f <= lastFrame + 1; ++f) {
        ClipRect rect = {-1.0, -1.0, -1.0, -1.0};
        const int32_t result = api.getClipRect(f, &rect);
        const int inside = f >= firstFrame && f < firstFrame + analysed;
        dumpf("%s %" PRId32 " %" PRId32 " %016" PRIx64 " %016" PRIx64 " %016" PRIx64 " %016" PRIx64
              "\n",
              label, f, result, bits(rect.left), bits(rect.top), bits(rect.right),
              bits(rect.bottom));
        if (inside) {
            const ClipRect *want = &expected[f - firstFrame];
            CHECK(result == NoError, "%s: frame %" PRId32 " answered %" PRId32, label, f, result);
            CHECK(sameRect(&rect, want),
                  "%s: frame %" PRId32
                  " rect {%.17g %.17g %.17g %.17g}, expected "
                  "{%.17g %.17g %.17g %.17g}",
                  label, f, rect.left, rect.top, rect.right, rect.bottom, want->left, want->top,
                  want->right, want->bottom);
        } else {
            const ClipRect zero = {0.0, 0.0, 0.0, 0.0};
            CHECK(result == BadArgument, "%s: frame %" PRId32 " outside the clip answered %" PRId32,
                  label, f, result);
            CHECK(sameRect(&rect, &zero), "%s: frame %" PRId32 " rect not zeroed", label, f);
        }
    }
}

typedef struct Clip {
    const char *name;
    int32_t width, height, frames, firstFrame;
    uint32_t seed;
    int32_t twoBytePixels, channel, searchMethod, smoothingMode;
    float frameRate;
    int32_t smoothTimeX;
    int32_t badOffsetAt; /* frame number, or INT32_MIN */
    int misalignedStack; /* run StabilizerCalculate with a misaligned stack */
} Clip;

static int reservedMarker; /* its address goes into the reserved field */

static StabilizerParams blockFor(const Clip *clip) {
    StabilizerParams p;
    memset(&p, 0, sizeof p);
    p.size = PLACIDOR_PARAMS_SIZE;
    p.firstFrame = clip->firstFrame;
    p.lastFrame = clip->firstFrame + clip->frames - 1;
    p.width = clip->width;
    p.height = clip->height;
    p.frameRate = clip->frameRate;
    /* A window reaching past the frame, to be clipped and shrunk. */
    p.measureLeft = 2;
    p.measureTop = -5;
    p.measureRight = clip->width - 2;
    p.measureBottom = clip->height + 28;
    p.searchRange = 8;
    p.twoBytePixels = clip->twoBytePixels;
    p.smoothTimeX = clip->smoothTimeX;
    p.smoothTimeY = 0;
    p.fetchFrame = fetchFrame;
    p.progress = progress;
    p.reserved = &reservedMarker;
    p.userData = NULL;
    p.searchMethod = clip->searchMethod;
    p.smoothingMode = clip->smoothingMode;
    p.channel = clip->channel;
    return p;
}

static void runClip(const Clip *clip) {
    Scene scene;
    Camera path[kMaxFrames];
    int32_t dx[kMaxFrames], dy[kMaxFrames];
    ClipRect expected[kMaxFrames];
    Host host;
    StabilizerParams block, stored, tight;
    Correction correction;
    int32_t result, analysed, i, want;
    const int32_t lastFrame = clip->firstFrame + clip->frames - 1;

    scenarioName = clip->name;
    dumpf("clip %s\n", clip->name);
    makeScene(&scene, clip->width, clip->height, clip->seed);
    makePath(path, clip->frames, clip->seed * 7u + 1u);
    expectedMotion(path, clip->frames, dx, dy);

    memset(&host, 0, sizeof host);
    host.scene = &scene;
    host.path = path;
    host.firstFrame = clip->firstFrame;
    host.twoBytePixels = clip->twoBytePixels;
    host.channel = clip->channel;
    host.badOffsetAt = clip->badOffsetAt;
    host.probeReentry = clip->firstFrame + 2;
    host.noise = clip->seed ^ 0x9e3779b9u;
    progressHost = &host;

    /* The block, passed by value; normalised as documented. */
    block = blockFor(clip);
    result = api.init(block);
    dumpf("init %" PRId32 "\n", result);
    CHECK(result == NoError, "Init answered %" PRId32, result);
    CHECK(api.getParameter(&stored) == &stored, "GetParameter result");
    dumpBlock(&stored);
    CHECK(stored.cropLimitLeft == clip->width / 2 && stored.cropLimitRight == clip->width / 2,
          "horizontal crop limits %" PRId32 " %" PRId32, stored.cropLimitLeft,
          stored.cropLimitRight);
    CHECK(stored.cropLimitTop == clip->height / 2 && stored.cropLimitBottom == clip->height / 2,
          "vertical crop limits %" PRId32 " %" PRId32, stored.cropLimitTop, stored.cropLimitBottom);
    CHECK(stored.searchRange == 8, "searchRange %" PRId32, stored.searchRange);
    CHECK(stored.measureLeft == 8 && stored.measureRight == clip->width - 8 &&
              stored.measureTop == 8 && stored.measureBottom == clip->height - 8,
          "window %" PRId32 " %" PRId32 " %" PRId32 " %" PRId32, stored.measureLeft,
          stored.measureTop, stored.measureRight, stored.measureBottom);
    CHECK(stored.smoothTimeY == clip->smoothTimeX, "smoothTimeY %" PRId32, stored.smoothTimeY);
    CHECK(stored.fetchFrame == fetchFrame && stored.progress == progress &&
              stored.reserved == block.reserved && stored.userData == NULL,
          "pointer fields not kept as given");
    CHECK(stored.size == block.size && stored.firstFrame == block.firstFrame &&
              stored.lastFrame == lastFrame && stored.frameRate == block.frameRate &&
              stored.searchMethod == block.searchMethod &&
              stored.smoothingMode == block.smoothingMode && stored.channel == block.channel &&
              stored.twoBytePixels == block.twoBytePixels,
          "plain fields changed");

    /* Initialised: nothing to correct or read yet. */
    {
        ClipRect rect = {1.0, 2.0, 3.0, 4.0};
        const ClipRect zero = {0.0, 0.0, 0.0, 0.0};
        CHECK(api.correct(&host) == NotCalculated, "Correct before Calculate");
        CHECK(api.getClipRect(clip->firstFrame, &rect) == NotCalculated,
              "GetClipRect before Calculate");
        CHECK(sameRect(&rect, &zero), "rect not zeroed by a refused GetClipRect");
    }

    /* The analysis. */
#if defined(_WIN32) && defined(__i386__)
    if (clip->misalignedStack) {
        result = callWithMisalignedStack(api.calculate, &host);
    } else
#endif
    {
        result = api.calculate(&host);
    }
    analysed = clip->frames;
    if (clip->badOffsetAt != INT32_MIN) analysed = clip->badOffsetAt - clip->firstFrame;
    dumpf("calculate %" PRId32 "\n", result);
    CHECK(result == clip->firstFrame + analysed - 1, "Calculate answered %" PRId32, result);
    CHECK(host.misalignedCalls == 0, "%" PRId32 " callbacks entered with a misaligned stack",
          host.misalignedCalls);

    /* The callbacks: every frame once, in order; the previous frame's
     * displacement handed to each fetch; progress for all but the first. */
    want = analysed + (clip->badOffsetAt != INT32_MIN ? 1 : 0);
    CHECK(host.fetched == want, "%" PRId32 " fetches, expected %" PRId32, host.fetched, want);
    for (i = 0; i < host.fetched && i < want; ++i) {
        const double wantDx = i >= 2 ? (double)dx[i - 1] : 0.0;
        const double wantDy = i >= 2 ? (double)dy[i - 1] : 0.0;
        dumpf("fetch %" PRId32 " %016" PRIx64 " %016" PRIx64 "\n", host.fetchFrames[i],
              bits(host.prevDx[i]), bits(host.prevDy[i]));
        CHECK(host.fetchFrames[i] == clip->firstFrame + i,
              "fetch %" PRId32 " asked for frame %" PRId32, i, host.fetchFrames[i]);
        CHECK(host.prevDx[i] == wantDx && host.prevDy[i] == wantDy,
              "frame %" PRId32 " was handed motion (%g, %g), the previous frame moved (%g, %g)",
              clip->firstFrame + i, host.prevDx[i], host.prevDy[i], wantDx, wantDy);
    }
    CHECK(host.progressed == analysed - 1, "%" PRId32 " progress calls, expected %" PRId32,
          host.progressed, analysed - 1);
    for (i = 0; i < host.progressed; ++i) {
        dumpf("progress %" PRId32 "\n", host.progressFrames[i]);
        CHECK(host.progressFrames[i] == clip->firstFrame + 1 + i, "progress for %" PRId32,
              host.progressFrames[i]);
    }
    /* The last frame's motion is seen by no fetch: it shows in the
     * rectangles, checked below. */

    correction.width = clip->width;
    correction.height = clip->height;
    correction.cropLimitLeft = stored.cropLimitLeft;
    correction.cropLimitTop = stored.cropLimitTop;
    correction.cropLimitRight = stored.cropLimitRight;
    correction.cropLimitBottom = stored.cropLimitBottom;
    correction.halfWindowX = (int32_t)((double)clip->frameRate * clip->smoothTimeX * 0.0005);
    correction.halfWindowY = correction.halfWindowX;
    correction.smoothingMode = clip->smoothingMode;
    want = expectedRects(dx, dy, analysed, &correction, expected);
    result = api.getMaxClipRectErr();
    dumpf("maxClipError %" PRId32 "\n", result);
    CHECK(result == want, "maxClipError %" PRId32 ", expected %" PRId32, result, want);
    readRects("rect", clip->firstFrame, lastFrame, analysed, expected);

    if (clip->smoothingMode == 1 && want == 0) {
        /* Locked to the first frame: every rectangle shows the same part of
         * the scene. Scene column = camera x + frame column; the top edge
         * lies on buffer row height - top, which shows scene row
         * camera y + height - top. */
        for (i = 1; i < analysed; ++i) {
            CHECK(expected[i].left + path[i].x == expected[0].left + path[0].x &&
                      expected[i].top - path[i].y == expected[0].top - path[0].y,
                  "frame %" PRId32 " not locked to the scene", clip->firstFrame + i);
        }
    }

    result = api.getParameter(&stored)->userData == &host;
    CHECK(result, "userData of Calculate not stored");

    /* Re-tuning: tight crop limits, so that the clamp cuts the path short. */
    tight = block;
    tight.cropLimitLeft = 1;
    tight.cropLimitRight = clip->width - 2;
    tight.cropLimitTop = 2;
    tight.cropLimitBottom = clip->height - 1;
    tight.smoothTimeX = clip->smoothTimeX * 2;
    tight.smoothTimeY = 0;
    tight.frameRate = 1000.0f; /* ignored: the stored rate counts */
    result = api.changeParameter(tight);
    correction.cropLimitLeft = tight.cropLimitLeft;
    correction.cropLimitRight = tight.cropLimitRight;
    correction.cropLimitTop = tight.cropLimitTop;
    correction.cropLimitBottom = tight.cropLimitBottom;
    correction.halfWindowX = (int32_t)((double)clip->frameRate * tight.smoothTimeX * 0.0005);
    correction.halfWindowY = correction.halfWindowX;
    want = expectedRects(dx, dy, analysed, &correction, expected);
    dumpf("changeParameter %" PRId32 "\n", result);
    CHECK(result == want, "ChangeParameter answered %" PRId32 ", expected %" PRId32, result, want);
    CHECK(api.getMaxClipRectErr() == want, "maxClipError after ChangeParameter");
    readRects("tight", clip->firstFrame, lastFrame, analysed, expected);

    /* Correct again: the same answers. */
    result = api.correct(&host);
    dumpf("correct %" PRId32 "\n", result);
    CHECK(result == want, "Correct answered %" PRId32 ", expected %" PRId32, result, want);
    readRects("again", clip->firstFrame, lastFrame, analysed, expected);

    /* A block too small changes nothing. */
    tight.size = PLACIDOR_PARAMS_SIZE - 1;
    tight.cropLimitLeft = 0;
    CHECK(api.changeParameter(tight) == BadArgument, "ChangeParameter took a short block");
    CHECK(api.init(tight) == BadArgument, "Init took a short block");
    CHECK(api.getParameter(&stored)->cropLimitLeft == 1, "a short block changed the limits");
    readRects("short", clip->firstFrame, lastFrame, analysed, expected);

    result = api.free();
    dumpf("free %" PRId32 "\n", result);
    CHECK(result == NoError, "Free answered %" PRId32, result);
    CHECK(api.getMaxClipRectErr() == want, "maxClipError lost by Free");
    CHECK(api.getParameter(&stored)->width == clip->width, "block lost by Free");
    progressHost = NULL;
    free(scene.samples);
}

/* The state table from load: every call in every state before an analysis. */
static void checkFreshLibrary(void) {
    unsigned char raw[sizeof(StabilizerParams) + 16];
    StabilizerParams block, *out;
    ClipRect rect = {5.0, 6.0, 7.0, 8.0};
    const ClipRect zero = {0.0, 0.0, 0.0, 0.0};
    size_t i;
    int clean = 1;

    scenarioName = "load";
    /* GetParameter writes exactly the block: zeros before any Init. */
    memset(raw, 0xA5, sizeof raw);
    out = api.getParameter((StabilizerParams *)(void *)raw);
    CHECK(out == (StabilizerParams *)(void *)raw, "GetParameter did not return its argument");
    for (i = 0; i < sizeof(StabilizerParams); ++i) clean &= raw[i] == 0;
    CHECK(clean, "block not all zeros before Init");
    clean = 1;
    for (i = sizeof(StabilizerParams); i < sizeof raw; ++i) clean &= raw[i] == 0xA5;
    CHECK(clean, "GetParameter wrote past the block");

    memset(&block, 0, sizeof block);
    block.size = PLACIDOR_PARAMS_SIZE;
    block.width = 64;
    block.height = 48;
    CHECK(api.getMaxClipRectErr() == 0, "maxClipError at load");
    CHECK(api.calculate(NULL) == NotInitialised, "Calculate at load");
    CHECK(api.correct(NULL) == NotCalculated, "Correct at load");
    CHECK(api.getClipRect(0, &rect) == NotCalculated, "GetClipRect at load");
    CHECK(sameRect(&rect, &zero), "rect not zeroed at load");
    CHECK(api.getClipRect(0, NULL) == BadArgument, "GetClipRect with no rect");
    CHECK(api.changeParameter(block) == NotCalculated, "ChangeParameter at load");
    CHECK(api.free() == NoError, "Free at load");
    CHECK(api.free() == AlreadyFreed, "Free twice");
    CHECK(api.calculate(NULL) == NotInitialised, "Calculate after Free");
    CHECK(api.correct(NULL) == NotCalculated, "Correct after Free");
    block.size = PLACIDOR_PARAMS_SIZE - 1;
    CHECK(api.init(block) == BadArgument, "Init with 107 bytes");
    CHECK(api.free() == AlreadyFreed, "a refused Init changed the state");
    block.size = 0xFFFFFFFFu;
    CHECK(api.init(block) == NoError, "Init with a large size");
    CHECK(api.calculate(NULL) == BadArgument, "Calculate without fetchFrame");
    CHECK(api.free() == NoError, "Free after Init");
    dumpf("load checked\n");
}

/* ------------------------------------------------------------------------ */

static int compareDumps(const char *path) {
    FILE *file = fopen(path, "rb");
    char *other;
    long length;
    size_t offset, line = 1, start = 0;

    if (!file) {
        fprintf(stderr,
                "FAILED: the native dump %s cannot be read: build the native debug preset "
                "first (its build writes the dump)\n",
                path);
        return 1;
    }
    fseek(file, 0, SEEK_END);
    length = ftell(file);
    fseek(file, 0, SEEK_SET);
    other = malloc((size_t)length + 1);
    if (!other || fread(other, 1, (size_t)length, file) != (size_t)length) exit(103);
    other[length] = '\0';
    fclose(file);

    for (offset = 0; offset < dumpLength && offset < (size_t)length; ++offset) {
        if (dump[offset] != other[offset]) break;
        if (dump[offset] == '\n') {
            ++line;
            start = offset + 1;
        }
    }
    if (offset == dumpLength && offset == (size_t)length) {
        printf("results identical to %s (%zu bytes)\n", path, dumpLength);
        free(other);
        return 0;
    }
    {
        const char *mine = dump + start, *theirs = other + start;
        fprintf(stderr,
                "FAILED: results differ from %s at line %zu:\n  here:   %.*s\n  there:  %.*s\n",
                path, line, (int)strcspn(mine, "\n"), mine, (int)strcspn(theirs, "\n"), theirs);
    }
    free(other);
    return 1;
}

int main(int argc, char **argv) {
    const char *libraryPath = "Placidor.dll";
    const char *dumpPath = NULL, *comparePath = NULL;
    int reportOnly = 0, i;
    size_t firstClip = 0, firstClipLength = 0;

    static const Clip clips[] = {
        /* 3-byte pixels, the scene in green only; exhaustive search; no
         * averaging, so every frame is locked to the first. */
        {"bgr-exhaustive-locked", 96, 72, 40, 100, 11u, 0, 2, 0, 1, 25.0f, 1000, INT32_MIN, 0},
        /* 2-byte pixels; iterative search; triangular averaging. */
        {"two-byte-iterative-smoothed", 80, 64, 36, -7, 23u, 1, 0, 1, 0, 25.0f, 400, INT32_MIN, 0},
        /* Luma of 3-byte pixels; a frame whose pixels lie beyond the buffer
         * ends the pass early. */
        {"luma-stopped-early", 64, 48, 20, 0, 37u, 0, 0, 0, 0, 30.0f, 300, 12, 0},
#if defined(_WIN32) && defined(__i386__)
        /* The first clip again, analysed from a stack aligned to 4 bytes
         * only. Its results must not change, so its dump lines are those of
         * the first clip and only the name tells it apart. */
        {"bgr-exhaustive-locked", 96, 72, 40, 100, 11u, 0, 2, 0, 1, 25.0f, 1000, INT32_MIN, 1},
#endif
    };

    for (i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--library") && i + 1 < argc) {
            libraryPath = argv[++i];
        } else if (!strcmp(argv[i], "--dump") && i + 1 < argc) {
            dumpPath = argv[++i];
        } else if (!strcmp(argv[i], "--compare") && i + 1 < argc) {
            comparePath = argv[++i];
        } else if (!strcmp(argv[i], "--report-only")) {
            reportOnly = 1;
        } else {
            fprintf(stderr,
                    "usage: %s [--library PATH] [--dump FILE] [--compare FILE] "
                    "[--report-only]\n",
                    argv[0]);
            return 2;
        }
    }

    if (!loadLibrary(libraryPath)) return failures ? failures : 1;
    checkFreshLibrary();
    for (i = 0; i < (int)(sizeof clips / sizeof clips[0]); ++i) {
        const size_t mark = dumpLength;
        runClip(&clips[i]);
        if (clips[i].misalignedStack) {
            /* Must repeat the first clip's results exactly; kept out of the
             * dump, which the native build cannot produce. */
            const size_t length = dumpLength - mark;
            scenarioName = "misaligned stack";
            CHECK(length == firstClipLength && !memcmp(dump + mark, dump + firstClip, length),
                  "results differ from those of the aligned call");
            dumpLength = mark;
            dump[mark] = '\0';
        } else if (i == 0) {
            firstClip = mark;
            firstClipLength = dumpLength - mark;
        }
    }

#ifdef DLL_HOST_LOADS
    /* Unloading and loading again starts from a fresh library. */
    scenarioName = "reload";
    unloadLibrary();
    if (loadLibrary(libraryPath)) {
        StabilizerParams block;
        CHECK(api.getParameter(&block)->width == 0, "block survived the reload");
        CHECK(api.getMaxClipRectErr() == 0, "maxClipError survived the reload");
        CHECK(api.free() == NoError, "state after reload is not Loaded");
        unloadLibrary();
    }
#endif

    if (dumpPath) {
        FILE *file = fopen(dumpPath, "wb");
        CHECK(file != NULL, "cannot write %s", dumpPath);
        if (file) {
            CHECK(fwrite(dump, 1, dumpLength, file) == dumpLength && fclose(file) == 0,
                  "cannot write %s", dumpPath);
        }
    }
    if (comparePath) failures += compareDumps(comparePath);

    printf("%d failed checks, %zu bytes of results\n", failures, dumpLength);
    free(dump);
    return reportOnly ? 0 : failures;
}
