/* Test doubles of the unzip library, built under its real file name:
 *   scripted  "dunzip" keeps a copy of the record and of the texts it
 *             addresses, asks the callback once with code 8, and returns the
 *             number after the last '#' of the archive name (0 without one)
 *   no-entry  a library without "dunzip"
 * Tests keep the library loaded themselves to read what a call left. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

#ifdef TYQ_DOUBLE_NO_ENTRY

EXPORT int tyq_double_unrelated(void) {
    return 0;
}

#else

typedef int32_t (*Callback)(uint32_t, uint32_t, int32_t, int32_t, const char*, char*, void*);

EXPORT unsigned char tyq_double_record[162];
EXPORT char tyq_double_archive[4096];
EXPORT char tyq_double_destination[4096];
EXPORT char tyq_double_mask[64];
EXPORT char tyq_double_password[256];
EXPORT char tyq_double_reply[256];
EXPORT int tyq_double_calls;

static const char* pointerAt(const unsigned char* record, size_t offset) {
    const char* p;
    memcpy(&p, record + offset, sizeof p);
    return p;
}

static void copyText(char* out, size_t size, const char* text) {
    out[0] = '\0';
    if (text != NULL) {
        strncpy(out, text, size - 1);
        out[size - 1] = '\0';
    }
}

EXPORT int32_t dunzip(void* command) {
    const unsigned char* record = (const unsigned char*)command;
    ++tyq_double_calls;
    memcpy(tyq_double_record, record, sizeof tyq_double_record);
    copyText(tyq_double_archive, sizeof tyq_double_archive, pointerAt(record, 8));
    copyText(tyq_double_mask, sizeof tyq_double_mask, pointerAt(record, 20));
    copyText(tyq_double_destination, sizeof tyq_double_destination, pointerAt(record, 32));
    copyText(tyq_double_password, sizeof tyq_double_password, pointerAt(record, 108));

    Callback callback;
    memcpy(&callback, record + 116, sizeof callback);
    memset(tyq_double_reply, 'x', sizeof tyq_double_reply);
    if (callback != NULL) {
        callback(8, 0, 0, 0, "warning", tyq_double_reply, NULL);
    }

    const char* hash = strrchr(tyq_double_archive, '#');
    return hash != NULL ? (int32_t)atoi(hash + 1) : 0;
}

#endif
