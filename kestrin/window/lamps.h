#pragma once

#include <QPixmap>

// The two 28 x 28 lamp pictures of the front panel, drawn by the program.
QPixmap lampPixmap(bool lit);
