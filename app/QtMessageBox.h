#pragma once

#include <string>

#include "platform/MessageBox.h"

// A message box of the program as a Qt message box, except when the window
// is drawn off screen (a headless update station): then the box's text goes
// to the console and its default answer is taken. A `detail` is shown below
// the text (on the console: on the next line).
platform::MessageAnswer ShowQtMessageBox(const std::string& caption, const std::string& text,
    platform::MessageIcon icon, platform::MessageButtons buttons = platform::MessageButtons::Ok,
    const std::string& detail = std::string());

// True when Qt draws off screen (no display): boxes and prompts then use the
// console.
bool QtDrawsOffScreen();
