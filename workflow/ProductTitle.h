#pragma once

#include <string>

// The title shown everywhere: the window's caption, the caption of the
// program's message boxes, the About box and the console's title.
inline constexpr const char* kProductTitle = "Corvel Code Updater";

// The window's caption: the title, and during an update the port it runs on
// without a blank ("Corvel Code Updater [COM3]"); port 0 means no update.
inline std::string WindowCaption(int port = 0)
{
    std::string caption = kProductTitle;
    if (port != 0)
        caption += " [COM" + std::to_string(port) + "]";
    return caption;
}
