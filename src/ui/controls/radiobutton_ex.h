#pragma once

#include <QColor>
#include <QPushButton>

// A push button drawn as a flat coloured tile with a two-state light: lit (green, white text) or
// unlit (light grey, black text), always framed by a one-pixel grey border. The light is the
// button's checked state; every click switches it over, and the owner may switch it over too
// (the PTZ pane turns its previous preset choice off that way). Only the light shows: pressed,
// focused, hovered and disabled looks are not drawn. The text is centred on one line and clipped
// to the tile, never wrapped.
// Thread-bound: the user-interface thread.
namespace velmora::ui {

class CRadiobuttonEx : public QPushButton {
    Q_OBJECT

public:
    static constexpr QColor kLitFill{33, 177, 75};
    static constexpr QColor kUnlitFill{241, 241, 241};
    static constexpr QColor kBorder{112, 112, 112};
    static constexpr QColor kLitText{255, 255, 255};
    static constexpr QColor kUnlitText{0, 0, 0};

    explicit CRadiobuttonEx(const QString& text = QString(), QWidget* parent = nullptr);

    bool Lit() const { return isChecked(); }
    // Switches the light over and draws the tile again (what a click does).
    void Toggle();

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace velmora::ui
