/* Test doubles for the dial-up service's two libraries. Their state lives in
 * the folder named by TYQ_RAS_DOUBLE_STATE:
 *   connections  one active connection per line: "<handle> <entry name>"
 *   calls        every call, appended, one line each
 * Compile definitions leave entries out, to test lookups that fail. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/DialUpApi.h"

#define EXPORT __attribute__((visibility("default")))

__attribute__((unused)) static void statePath(char* out, size_t size, const char* name) {
    const char* dir = getenv("TYQ_RAS_DOUBLE_STATE");
    snprintf(out, size, "%s/%s", dir != NULL ? dir : "/nonexistent", name);
}

__attribute__((unused)) static void logCall(const char* format, unsigned long long a, const char* text) {
    char path[4096];
    statePath(path, sizeof path, "calls");
    FILE* file = fopen(path, "a");
    if (file == NULL) {
        return;
    }
    fprintf(file, format, a, text != NULL ? text : "");
    fputc('\n', file);
    fclose(file);
}

#ifdef TYQ_DOUBLE_API
#ifndef TYQ_DOUBLE_NO_ENUM
EXPORT uint32_t RasEnumConnectionsA(TyRasConnA* buffer, uint32_t* lpcb, uint32_t* lpcConnections) {
    char path[4096];
    statePath(path, sizeof path, "connections");
    logCall("RasEnumConnectionsA cb=%llu count=%s", lpcb != NULL ? *lpcb : 0,
            lpcConnections != NULL && *lpcConnections == 0 ? "0" : "?");
    if (buffer == NULL || lpcb == NULL || lpcConnections == NULL ||
        buffer[0].dwSize != TY_RAS_CONN_SIZE) {
        return TY_RAS_ERROR_INVALID_SIZE;
    }
    const uint32_t room = *lpcb / TY_RAS_CONN_SIZE;
    uint32_t count = 0;
    FILE* file = fopen(path, "r");
    char line[512];
    while (file != NULL && fgets(line, sizeof line, file) != NULL) {
        unsigned long long handle = 0;
        char name[TY_RAS_MAX_ENTRY_NAME + 1] = "";
        if (sscanf(line, "%llu %256[^\n]", &handle, name) < 1) {
            continue;
        }
        if (count < room) {
            TyRasConnA* record = &buffer[count];
            record->dwSize = TY_RAS_CONN_SIZE;
            record->hrasconn = handle;
            snprintf(record->szEntryName, sizeof record->szEntryName, "%s", name);
            snprintf(record->szDeviceType, sizeof record->szDeviceType, "modem");
            snprintf(record->szDeviceName, sizeof record->szDeviceName, "double");
        }
        ++count;
    }
    if (file != NULL) {
        fclose(file);
    }
    *lpcConnections = count;
    if (count > room) {
        *lpcb = count * TY_RAS_CONN_SIZE;
        return TY_RAS_ERROR_BUFFER_TOO_SMALL;
    }
    return TY_RAS_SUCCESS;
}
#endif

#ifndef TYQ_DOUBLE_NO_HANGUP
EXPORT uint32_t RasHangUpA(uint64_t handle) {
    logCall("RasHangUpA %llu%s", handle, NULL);
    return TY_RAS_SUCCESS;
}
#endif

#ifndef TYQ_DOUBLE_NO_DIAL
EXPORT uint32_t RasDialA(const char* entryName, uint64_t* handle) {
    logCall("RasDialA %llu %s", 0, entryName);
    if (handle != NULL) {
        *handle = 0;
    }
    return TY_RAS_ERROR_DIAL_FAILED;
}
#endif
#endif /* TYQ_DOUBLE_API */

#ifdef TYQ_DOUBLE_DLG
#ifndef TYQ_DOUBLE_NO_PHONEBOOK
EXPORT int32_t RasPhonebookDlgA(const char* phonebook, const char* entry, TyRasPbDlgA* info) {
    int zero = info != NULL && info->dwSize == TY_RAS_PBDLG_SIZE;
    if (info != NULL) {
        const unsigned char* bytes = (const unsigned char*)info;
        for (size_t i = sizeof info->dwSize; i < sizeof *info; ++i) {
            zero = zero && bytes[i] == 0;
        }
    }
    logCall("RasPhonebookDlgA record-ok=%llu %s", (unsigned long long)zero,
            phonebook == NULL && entry == NULL ? "default" : "named");
    return 0;
}
#endif
#endif /* TYQ_DOUBLE_DLG */
