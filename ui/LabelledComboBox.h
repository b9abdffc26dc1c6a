#pragma once

class QComboBox;

namespace tyq::ui {

// Screen readers name a combo box by its accessible name (the label beside
// it), its value being the choice shown; without this, Qt names it on Linux
// by its choice alone.
void nameComboBoxByLabel(QComboBox& box);

}  // namespace tyq::ui
