#pragma once

#include <QIcon>

// The program's icon, drawn in code (a camera lens on a rounded tile) so the window needs no
// image files at run time; packaging/velmora.svg is the same picture for the desktop.
namespace velmora::ui {

QIcon VelmoraIcon();

}  // namespace velmora::ui
