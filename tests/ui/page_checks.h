#pragma once

#include <cstdio>
#include <initializer_list>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <gtest/gtest.h>

#include "ui/params/param_page.h"

// Checks shared by the page tests: the page's names, and for every row the accessible names,
// the label as buddy, the control's id as object name, and nothing clipped or out of order.
namespace velmora::ui::test {

inline void ExpectPageLooksRight(ParamPage& page) {
    EXPECT_EQ(page.accessibleName(), QString::fromUtf8(page.Table().title));
    EXPECT_LE(page.TitleLabel()->sizeHint().width(), page.TitleLabel()->width());
    for (const PageRow& row : page.Table().rows) {
        const QString name = QString::fromUtf8(row.label).remove(':').trimmed();
        QLabel* label = page.Label(row.controlId);
        QWidget* control = page.Combo(row.controlId);
        if (!control) control = page.Slider(row.controlId);
        ASSERT_TRUE(label && control) << row.controlId;
        QWidget* last = page.Edit(row.controlId) ? page.Edit(row.controlId) : control;  // rightmost
        EXPECT_EQ(label->buddy(), control);
        EXPECT_EQ(control->accessibleName(), name);
        EXPECT_EQ(last->accessibleName(), name);
        EXPECT_EQ(control->objectName(), QString::number(row.controlId));
        EXPECT_LE(label->sizeHint().width(), label->width()) << row.controlId;
        EXPECT_LE(label->geometry().right(), control->geometry().left()) << row.controlId;
        if (last != control) {
            EXPECT_LE(control->geometry().right(), last->geometry().left());
        }
        EXPECT_LE(page.TitleLabel()->geometry().bottom(), control->geometry().top());
        EXPECT_TRUE(page.rect().contains(last->geometry())) << row.controlId;
    }
}

// An ability item with `key`, `display` and option labels.
inline protocol::AbilityItem MakeAbility(const char* key, uint8_t display,
                               std::initializer_list<const char*> labels = {}) {
    protocol::AbilityItem item;
    std::snprintf(item.key, sizeof item.key, "%s", key);
    item.display = display;
    for (const char* label : labels) {
        protocol::AbilityOption option;
        std::snprintf(option.label, sizeof option.label, "%s", label);
        item.options.push_back(option);
    }
    return item;
}

// A user's choice in a combo box: the selection moves and the box reports the activation.
inline void Choose(QComboBox* combo, int index) {
    combo->setCurrentIndex(index);
    emit combo->activated(index);
}

}  // namespace velmora::ui::test
