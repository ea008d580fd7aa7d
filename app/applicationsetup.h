#pragma once

// Names, icon and tray behaviour of the program's QApplication; call right after creating it.
void setUpApplication();
