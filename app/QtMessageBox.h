#pragma once

// Makes every message box of the program a Qt message box, except when the
// window is drawn off screen (a headless update station): then the box's
// text goes to the console and its default answer is taken.
void InstallQtMessageBox();
