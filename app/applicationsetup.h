#pragma once

// Names, icon, tray behaviour and Qt's own Chinese texts of the program's QApplication; call
// right after creating it.
void setUpApplication();
