/* A stand-in skin library for the installer tests: it records how its entry
 * was called instead of painting anything. Built twice, once without the
 * entry (SKIN_PROBE_NO_ENTRY) to stand for a library that lacks it. */
#include <string.h>

#include "skin_probe.h"

static struct SkinProbeRecord record;

const struct SkinProbeRecord* SkinProbeLastCall(void) { return &record; }

#ifndef SKIN_PROBE_NO_ENTRY
int SkinAttachRes(const unsigned char* bytes, int length, const char* emptyText, int a, int b,
                  int c) {
    record.calls++;
    record.bytesAddress = bytes;
    record.length = length;
    record.copied = 0;
    if (bytes != 0 && length > 0) {
        int n = length < SKIN_PROBE_CAPACITY ? length : SKIN_PROBE_CAPACITY;
        memcpy(record.bytes, bytes, (size_t)n);
        record.copied = n;
    }
    record.textWasNull = emptyText == 0;
    record.textLength = emptyText == 0 ? -1 : (int)strlen(emptyText);
    record.a = a;
    record.b = b;
    record.c = c;
    return 7;
}
#endif
