#include "download/DialUpCheck.h"

#include <string>

#include "common/DialUpApi.h"
#include "common/SharedLibrary.h"

namespace tyq::download {

std::optional<OneConnection> enumerateOne(TyRasEnumConnectionsA enumerate) {
    OneConnection found;
    found.connection.dwSize = TY_RAS_CONN_SIZE;
    std::uint32_t bufferSize = TY_RAS_CONN_SIZE;
    if (enumerate(&found.connection, &bufferSize, &found.count) != TY_RAS_SUCCESS) {
        return std::nullopt;
    }
    return found;
}

void EnsureDialUpConnection(std::string_view aol, const std::filesystem::path& libraryFolder) {
    // Only "0" (not on AOL) asks for a dial-up line.
    if (aol.empty() || aol.front() != '0') {
        return;
    }

    const SharedLibrary api(libraryFolder / TY_RASAPI_LIBRARY);
    // The dial entry is required although the check never calls it: a library
    // without it is not one we can rely on.
    const auto dial = api.entryAs<TyRasDialA>("RasDialA");
    const auto enumerate = api.entryAs<TyRasEnumConnectionsA>("RasEnumConnectionsA");
    if (dial == nullptr || enumerate == nullptr) {
        return;
    }

    // One record: two or more active connections fail the enumeration, which
    // counts as a connection being present, like any other failure. So does a
    // machine online through another link: the library reports that too.
    if (const auto found = enumerateOne(enumerate); !found || found->count != 0) {
        return;
    }

    const SharedLibrary dialog(libraryFolder / TY_RASDLG_LIBRARY);
    const auto phonebook = dialog.entryAs<TyRasPhonebookDlgA>("RasPhonebookDlgA");
    if (phonebook == nullptr) {
        return;
    }
    TyRasPbDlgA info{};
    info.dwSize = TY_RAS_PBDLG_SIZE;
    // Whether the user dialled shows only when the transfer connects.
    static_cast<void>(phonebook(nullptr, nullptr, &info));
}

}  // namespace tyq::download
