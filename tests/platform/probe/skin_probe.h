#pragma once
/* What the stand-in skin library saw on its last call, read back by tests
 * through SkinProbeLastCall (looked up with dlsym). */
#ifdef __cplusplus
extern "C" {
#endif

#define SKIN_PROBE_CAPACITY 4096

struct SkinProbeRecord {
    int calls;
    const unsigned char* bytesAddress;
    int length;
    int copied;
    unsigned char bytes[SKIN_PROBE_CAPACITY];
    int textWasNull;
    int textLength;
    int a, b, c;
};

typedef const struct SkinProbeRecord* (*SkinProbeLastCallFn)(void);

#ifdef __cplusplus
}
#endif
