#include "app/OfferHangUp.h"

#include <cstring>
#include <string>

#include "common/DialUpApi.h"
#include "common/SharedLibrary.h"
#include "download/DialUpCheck.h"

namespace tyq::app {

void OfferHangUp(Prompter& prompter, const std::filesystem::path& libraryFolder) {
    const SharedLibrary library(libraryFolder / TY_RASAPI_LIBRARY);
    if (!library.loaded()) {
        return;
    }
    const auto enumConnections = library.entryAs<TyRasEnumConnectionsA>("RasEnumConnectionsA");
    const auto hangUp = library.entryAs<TyRasHangUpA>("RasHangUpA");
    if (enumConnections == nullptr || hangUp == nullptr) {
        return;
    }

    // Room for one record: with two or more connections active the
    // enumeration fails and nothing is asked.
    const auto found = download::enumerateOne(enumConnections);
    if (!found || found->count != 1) {
        return;
    }
    const TyRasConnA& connection = found->connection;

    // The library may fill the name to the brim; never read past it.
    const std::string entryName(connection.szEntryName,
                                strnlen(connection.szEntryName, sizeof connection.szEntryName));
    const Prompt question{"Do you want to close connection to " + entryName + "?",
                          PromptButtons::YesNo, PromptIcon::Question, PromptOwner::MainWindow};
    if (prompter.ask(question) == PromptAnswer::Yes) {
        hangUp(connection.hrasconn);
    }
}

}  // namespace tyq::app
