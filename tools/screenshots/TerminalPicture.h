#pragma once

#include <string>

// Draws a captured terminal screen (text with its SGR colour and attribute
// sequences, as `tmux capture-pane -e -p` writes it) into a PNG: a monospace
// font on a dark background. Needs a Qt application. False when the capture
// cannot be read or the picture not written.
bool SaveTerminalPicture(const std::string& capturePath, const std::string& pngPath);
