#include "unzip/UnzipDownloadFiles.h"

namespace tyq::unzip {

void unzipDownloadFiles(MainWindowPort&, const settings::ProfileStore&,
                        const std::filesystem::path&) {}

}  // namespace tyq::unzip
