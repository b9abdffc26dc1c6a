#pragma once

#include <QFont>
#include <QRect>

class QWidget;

namespace tyq::ui {

// Dialog templates give positions in dialog units: a quarter of the font's
// average character width across, an eighth of its height down. This maps
// them to pixels for the font a dialog actually uses.
class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font);

    int baseY() const noexcept { return baseY_; }

    int toPixelsX(int units) const noexcept;
    int toPixelsY(int units) const noexcept;
    // Both corners are mapped, so neighbouring controls keep their gaps.
    QRect toPixels(int left, int top, int width, int height) const noexcept;

    // Places a control. A single-line control that needs more height than the
    // template gives grows around its centre line, and a label or check box
    // that needs more width grows to the right, so no text is clipped.
    void place(QWidget& widget, int left, int top, int width, int height,
               bool singleLine = true) const;

  private:
    int baseX_;
    int baseY_;
};

}  // namespace tyq::ui
