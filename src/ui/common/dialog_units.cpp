#include "ui/common/dialog_units.h"

#include <QFontMetrics>
#include <QStringList>

namespace velmora::ui {

DialogBaseUnits BaseUnitsOf(const QFont& font) {
    const QFontMetrics metrics(font);
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const int total = metrics.horizontalAdvance(letters);
    return DialogBaseUnits{(total / 26 + 1) / 2, metrics.height()};
}

int DuToPixelsX(int du, const DialogBaseUnits& base) { return (du * base.x + 2) / 4; }
int DuToPixelsY(int du, const DialogBaseUnits& base) { return (du * base.y + 4) / 8; }

QRect ToPixels(const DuRect& rect, const DialogBaseUnits& base) {
    const int left = DuToPixelsX(rect.x, base);
    const int top = DuToPixelsY(rect.y, base);
    const int right = DuToPixelsX(rect.x + rect.width, base);
    const int bottom = DuToPixelsY(rect.y + rect.height, base);
    return QRect(left, top, right - left, bottom - top);
}

QFont HeiTiFont(int pointSize) {
    QFont font;
    font.setFamilies(QStringList{QStringLiteral("黑体"), QStringLiteral("SimHei"),
                                 QStringLiteral("Noto Sans CJK SC"),
                                 QStringLiteral("WenQuanYi Micro Hei")});
    font.setPointSize(pointSize);
    return font;
}

QFont PageTitleFont() { return HeiTiFont(18); }

}  // namespace velmora::ui
