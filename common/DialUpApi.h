#pragma once

/* The dial-up service's C interface: the entries of the two libraries in the
 * roles of the system's remote-access library ("RASAPI32") and its dialog
 * library ("RASDLG"). The program loads them by absolute path at each use and
 * looks the entries up by name; test doubles implement the same entries. */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TY_RAS_MAX_ENTRY_NAME 256
#define TY_RAS_MAX_DEVICE_TYPE 16
#define TY_RAS_MAX_DEVICE_NAME 128

/* One active connection. The handle identifies the connection for a hang-up;
 * the libraries load anew at each use, so it carries everything they need. */
typedef struct TyRasConnA {
    uint32_t dwSize;
    uint32_t reserved;
    uint64_t hrasconn;
    char szEntryName[TY_RAS_MAX_ENTRY_NAME + 1];
    char szDeviceType[TY_RAS_MAX_DEVICE_TYPE + 1];
    char szDeviceName[TY_RAS_MAX_DEVICE_NAME + 1];
} TyRasConnA;

/* The phonebook dialog's record: the size set, every other field zero. */
typedef struct TyRasPbDlgA {
    uint32_t dwSize;
    uint32_t reserved0;
    uint64_t hwndOwner;
    uint32_t dwFlags;
    int32_t xDlg;
    int32_t yDlg;
    uint32_t reserved1;
    uint64_t dwCallbackId;
    uint64_t pCallback;
    uint32_t dwError;
    uint32_t reserved2;
    uint64_t reserved;
    uint64_t reserved3;
} TyRasPbDlgA;

#define TY_RAS_CONN_SIZE ((uint32_t)sizeof(TyRasConnA))
#define TY_RAS_PBDLG_SIZE ((uint32_t)sizeof(TyRasPbDlgA))

/* Result codes of the entries. */
#define TY_RAS_SUCCESS 0u
#define TY_RAS_ERROR_BUFFER_TOO_SMALL 603u
#define TY_RAS_ERROR_INVALID_SIZE 632u
#define TY_RAS_ERROR_INVALID_HANDLE 6u
#define TY_RAS_ERROR_CANNOT_FIND_PHONEBOOK_ENTRY 623u
#define TY_RAS_ERROR_SERVICE_MISSING 711u
#define TY_RAS_ERROR_DIAL_FAILED 718u
/* The service refused the request or did not answer in time. */
#define TY_RAS_ERROR_SERVICE_FAILED 719u

/* "RasEnumConnectionsA": fills the buffer with the active dial-up connections.
 * *lpcb holds the buffer's size in bytes and buffer[0].dwSize the record size;
 * on success *lpcConnections holds the number of records filled. More active
 * connections than the buffer holds: TY_RAS_ERROR_BUFFER_TOO_SMALL, with *lpcb
 * set to the size needed. */
typedef uint32_t (*TyRasEnumConnectionsA)(TyRasConnA* buffer, uint32_t* lpcb,
                                          uint32_t* lpcConnections);
/* "RasHangUpA": hangs up the connection with that handle. */
typedef uint32_t (*TyRasHangUpA)(uint64_t hrasconn);
/* "RasDialA": dials the profile with that entry name and waits until it is up
 * or has failed; on success *lphRasConn is its handle. */
typedef uint32_t (*TyRasDialA)(const char* entryName, uint64_t* lphRasConn);
/* "RasPhonebookDlgA": the modal phonebook dialog. phonebook and entry may be
 * NULL (the default phonebook, no entry selected). Returns non-zero when the
 * user dialled a connection. */
typedef int32_t (*TyRasPhonebookDlgA)(const char* phonebook, const char* entry, TyRasPbDlgA* info);

/* File names of the two libraries, looked for in the program's own folder. */
#define TY_RASAPI_LIBRARY "libtyrasapi.so"
#define TY_RASDLG_LIBRARY "libtyrasdlg.so"

#ifdef __cplusplus
}
#endif
