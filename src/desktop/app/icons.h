#pragma once
// The program's pictures, drawn with QPainter so the program carries no image files: the
// toolbar buttons (32 x 32), the tab icons (16 x 16) and the program icon.
#include <QIcon>
#include <QImage>

namespace kalvo {

enum class PageIcon { kDevice, kScenario, kLive, kStoredDay };

// The button picture of a toolbar command; a null icon for an unknown command.
QIcon CommandIcon(int command);
QIcon TabIcon(PageIcon page);
// Thermometer on a bus line; also the notification-area icon.
QIcon ProgramIcon();
// The program icon as one image of size x size pixels (packaging).
QImage ProgramImage(int size);

}  // namespace kalvo
