#pragma once

#include <QIcon>

namespace tyq::ui {

// The application icon (a letter with a download arrow), drawn at the usual
// sizes so no image plugin is needed.
QIcon applicationIcon();

}  // namespace tyq::ui
