#pragma once

#include <curl/curl.h>

namespace tyq::download::ftp {

// Whether an accepted data connection comes from the server the control
// connection of easy talks to. In active mode anyone who reaches the
// announced port first would otherwise have their bytes taken for the file.
bool fromServer(CURL* easy, int socket);

}  // namespace tyq::download::ftp
