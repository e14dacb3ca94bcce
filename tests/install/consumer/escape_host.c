/*
 * escape_host: presses the native library's Escape latch
 * (placidor_escape.h) from the progress callback and checks that the
 * analysis stops there, keeping the frames analysed so far, and that the
 * next analysis, the latch consumed, runs to the end.
 *
 * Exit status: the number of failed checks.
 */
#include <stdio.h>
#include <string.h>

#include "placidor.h"
#include "placidor_escape.h"

enum { W = 64, H = 48, LAST = 9, STOP_AT = 3 };

static int failures = 0;
static int fetches = 0;
static int pressAt = -1;

#define CHECK(cond)                                             \
  do {                                                          \
    if (!(cond)) {                                              \
      ++failures;                                               \
      fprintf(stderr, "FAILED line %d: %s\n", __LINE__, #cond); \
    }                                                           \
  } while (0)

/* A fixed texture (a hashed pattern), moved one pixel right per frame. */
static unsigned char texel(int x, int y) {
    unsigned v = (unsigned)x * 73856093u ^ (unsigned)y * 19349663u;
    v ^= v >> 13;
    v *= 0x5bd1e995u;
    return (unsigned char)(v >> 24);
}

static void PLACIDOR_CALL fetch(int32_t frame, void *buffer, void *user, double dx, double dy) {
    unsigned char *b = buffer;
    int x, y;
    (void)user;
    (void)dx;
    (void)dy;
    ++fetches;
    b[0] = 40;
    b[1] = 0;
    for (y = 0; y < H; ++y)
        for (x = 0; x < W; ++x) {
            unsigned char v = texel(x - frame, y);
            unsigned char *p = b + 40 + ((size_t)y * W + (size_t)x) * 3;
            p[0] = p[1] = p[2] = v;
        }
}

static void PLACIDOR_CALL progress(int32_t frame) {
    if (frame == pressAt) PlacidorPressEscape();
}

static int32_t analyse(int press) {
    StabilizerParams p;
    memset(&p, 0, sizeof p);
    p.size = PLACIDOR_PARAMS_SIZE;
    p.firstFrame = 0;
    p.lastFrame = LAST;
    p.width = W;
    p.height = H;
    p.frameRate = 25.0f;
    p.searchRange = 4;
    p.smoothTimeX = 200;
    p.fetchFrame = fetch;
    p.progress = progress;
    pressAt = press;
    fetches = 0;
    CHECK(StabilizerInit(p) == NoError);
    return StabilizerCalculate(NULL);
}

int main(void) {
    ClipRect r;
    int32_t last = analyse(STOP_AT);
    CHECK(last == STOP_AT);
    CHECK(fetches == STOP_AT + 1);
    CHECK(StabilizerGetClipRect(STOP_AT, &r) == NoError);
    CHECK(StabilizerGetClipRect(STOP_AT + 1, &r) == BadArgument);

    last = analyse(-1);
    CHECK(last == LAST);
    CHECK(fetches == LAST + 1);
    CHECK(StabilizerGetClipRect(LAST, &r) == NoError);
    CHECK(StabilizerFree() == NoError);
    if (failures == 0) printf("escape_host: all checks passed\n");
    return failures;
}
