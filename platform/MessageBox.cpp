#include "platform/MessageBox.h"

#include <cstdio>
#include <utility>

namespace platform {

namespace {

MessageBoxHandler& Handler()
{
    static MessageBoxHandler handler;
    return handler;
}

} // namespace

MessageAnswer ConsoleMessageBox(
    const std::string& caption, const std::string& text, MessageIcon icon, MessageButtons buttons)
{
    (void)icon;
    std::string line = "\n" + caption + ": " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    return buttons == MessageButtons::YesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
}

MessageAnswer ShowMessageBox(
    const std::string& caption, const std::string& text, MessageIcon icon, MessageButtons buttons)
{
    if (Handler())
        return Handler()(caption, text, icon, buttons);
    return ConsoleMessageBox(caption, text, icon, buttons);
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler)
{
    return std::exchange(Handler(), std::move(handler));
}

} // namespace platform
