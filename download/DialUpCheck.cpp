#include "download/DialUpCheck.h"

namespace tyq::download {

void EnsureDialUpConnection(const settings::ProfileStore&, const std::filesystem::path&) {}

}  // namespace tyq::download
