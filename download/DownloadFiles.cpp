#include "download/DownloadFiles.h"

namespace tyq::download {

void downloadFiles(MainWindowPort&, const settings::ProfileStore&, Prompter&,
                   const std::filesystem::path&) {}

}  // namespace tyq::download
