#pragma once

#include <string>

namespace tyq::desktop {

// The folder as a file URI with every byte but the unreserved ones and "/"
// percent-encoded: "file:///home/ann/ORV%20Data".
std::string folderUri(const std::string& folder);

// Shows the folder given by its file URI in the file manager: its
// FileManager1 service on the session bus, else the desktop's handler for
// folders (xdg-open). The activation token, when there is one, lets the
// desktop bring the file manager to the front. False when neither could be
// asked.
bool showFolderUri(const std::string& uri, const std::string& activationToken = {});

}  // namespace tyq::desktop
