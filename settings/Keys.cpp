#include "settings/Keys.h"

namespace tyq::settings {

const char* const kDefaultHost = TYQ_DEFAULT_HOST;

}  // namespace tyq::settings
