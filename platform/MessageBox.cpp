#include "platform/MessageBox.h"

#include <cstdio>

namespace platform {

MessageAnswer ConsoleMessageBox(
    const std::string& caption, const std::string& text, MessageIcon icon, MessageButtons buttons)
{
    (void)icon;
    std::string line = "\n" + caption + ": " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    return buttons == MessageButtons::YesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
}

} // namespace platform
