// The dial-up service's connection library: enumerate, hang up and dial
// dial-up connections of NetworkManager. Loaded by the program at each use.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>

#include "common/DialUpApi.h"
#include "download/dialup/NetworkManager.h"

#define TY_RAS_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using tyq::dialup::Listing;
using tyq::dialup::NetworkManager;
using tyq::dialup::Status;

// Long enough for a modem to register and negotiate, short enough that a
// stuck attempt ends.
constexpr std::chrono::seconds kDialLimit{90};

uint32_t failureCode(Status status) {
    return status == Status::Missing ? TY_RAS_ERROR_SERVICE_MISSING : TY_RAS_ERROR_SERVICE_FAILED;
}

// Copies as much as fits, never cutting a UTF-8 character in half: the name
// is shown to the user.
void copyText(char* target, size_t size, const std::string& text) {
    size_t length = std::min(text.size(), size - 1);
    if (length < text.size()) {
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    std::memcpy(target, text.data(), length);
    target[length] = '\0';
}

uint32_t enumerate(TyRasConnA* buffer, uint32_t* lpcb, uint32_t* lpcConnections) {
    if (buffer == nullptr || lpcb == nullptr || lpcConnections == nullptr ||
        buffer[0].dwSize != TY_RAS_CONN_SIZE || *lpcb < TY_RAS_CONN_SIZE) {
        return TY_RAS_ERROR_INVALID_SIZE;
    }
    NetworkManager manager;
    const Listing listing = manager.list();
    if (listing.status != Status::Ok) {
        return failureCode(listing.status);
    }
    // No dial-up line, but NetworkManager sees the internet through another
    // (Ethernet, Wi-Fi): no dial-up service is wanted, and the callers count
    // that like any failure, as connected. Answered here, behind the C
    // interface, so the program and its test doubles stay free of D-Bus; a
    // dial-up line that is up is still listed, so hanging it up still works.
    if (listing.active.empty() && manager.connectivity() == tyq::dialup::kConnectivityFull) {
        return TY_RAS_ERROR_SERVICE_MISSING;
    }
    const size_t room = *lpcb / TY_RAS_CONN_SIZE;
    const size_t count = listing.active.size();
    *lpcConnections = static_cast<uint32_t>(count);
    if (count > room) {
        *lpcb = static_cast<uint32_t>(count * TY_RAS_CONN_SIZE);
        return TY_RAS_ERROR_BUFFER_TOO_SMALL;
    }
    for (size_t i = 0; i < count; ++i) {
        const tyq::dialup::Active& active = listing.active[i];
        TyRasConnA& record = buffer[i];
        record = TyRasConnA{};
        record.dwSize = TY_RAS_CONN_SIZE;
        record.hrasconn = tyq::dialup::handleOf(active.path);
        copyText(record.szEntryName, sizeof record.szEntryName, active.id);
        copyText(record.szDeviceType, sizeof record.szDeviceType, active.type);
        copyText(record.szDeviceName, sizeof record.szDeviceName, active.device);
    }
    return TY_RAS_SUCCESS;
}

uint32_t hangUp(uint64_t handle) {
    const std::string path = tyq::dialup::activePathOf(handle);
    if (path.empty()) {
        return TY_RAS_ERROR_INVALID_HANDLE;
    }
    NetworkManager manager;
    const Listing listing = manager.list();
    if (listing.status != Status::Ok) {
        return failureCode(listing.status);
    }
    // Only a dial-up connection that is still there: a stale or made-up handle
    // must never take down another connection.
    const bool known = std::any_of(listing.active.begin(), listing.active.end(),
                                   [&](const auto& active) { return active.path == path; });
    if (!known) {
        return TY_RAS_ERROR_INVALID_HANDLE;
    }
    return manager.deactivate(path) ? TY_RAS_SUCCESS : TY_RAS_ERROR_SERVICE_FAILED;
}

uint32_t dial(const char* entryName, uint64_t* lphRasConn) {
    if (entryName == nullptr || lphRasConn == nullptr) {
        return TY_RAS_ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    }
    *lphRasConn = 0;
    NetworkManager manager;
    const Listing listing = manager.list();
    if (listing.status != Status::Ok) {
        return failureCode(listing.status);
    }
    const auto profile = std::find_if(listing.profiles.begin(), listing.profiles.end(),
                                      [&](const auto& p) { return p.id == entryName; });
    if (profile == listing.profiles.end()) {
        return TY_RAS_ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    }
    // Already up or coming up: activating again would drop the line first.
    std::string activePath;
    for (const auto& active : listing.active) {
        if (active.profilePath == profile->path) {
            activePath = active.path;
        }
    }
    const bool up =
        activePath.empty()
            ? manager.activateAndWait(profile->path, kDialLimit, activePath)
            : manager.waitUntilUp(activePath, std::chrono::steady_clock::now() + kDialLimit);
    if (!up) {
        return TY_RAS_ERROR_DIAL_FAILED;
    }
    *lphRasConn = tyq::dialup::handleOf(activePath);
    return TY_RAS_SUCCESS;
}

}  // namespace

// No exception may cross into the C caller.
TY_RAS_EXPORT uint32_t RasEnumConnectionsA(TyRasConnA* buffer, uint32_t* lpcb,
                                           uint32_t* lpcConnections) {
    try {
        return enumerate(buffer, lpcb, lpcConnections);
    } catch (const std::exception&) {
        return TY_RAS_ERROR_SERVICE_FAILED;
    }
}

TY_RAS_EXPORT uint32_t RasHangUpA(uint64_t hrasconn) {
    try {
        return hangUp(hrasconn);
    } catch (const std::exception&) {
        return TY_RAS_ERROR_SERVICE_FAILED;
    }
}

TY_RAS_EXPORT uint32_t RasDialA(const char* entryName, uint64_t* lphRasConn) {
    try {
        return dial(entryName, lphRasConn);
    } catch (const std::exception&) {
        return TY_RAS_ERROR_DIAL_FAILED;
    }
}
