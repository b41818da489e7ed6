#include "ui/controls/radiobutton_ex.h"

#include <QPainter>

namespace velmora::ui {

CRadiobuttonEx::CRadiobuttonEx(const QString& text, QWidget* parent) : QPushButton(text, parent) {
    setCheckable(true);
    setChecked(false);
    // Inside a dialog a push button would otherwise become the default on focus and take Enter.
    setAutoDefault(false);
}

void CRadiobuttonEx::Toggle() {
    setChecked(!isChecked());
    update();
}

void CRadiobuttonEx::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect tile = rect();
    const bool lit = Lit();
    painter.fillRect(tile, lit ? kLitFill : kUnlitFill);
    // A flat frame: the same grey on every side, exactly one pixel on the tile's edge.
    painter.setPen(QPen(kBorder, 0));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(tile.adjusted(0, 0, -1, -1));
    // One line, centred both ways; drawText clips to the rectangle without Qt::TextDontClip.
    painter.setPen(lit ? kLitText : kUnlitText);
    painter.drawText(tile, Qt::AlignCenter | Qt::TextSingleLine, text());
}

}  // namespace velmora::ui
