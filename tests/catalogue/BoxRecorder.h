#pragma once

// Records every message box shown while it lives (each answered Ok).

#include "platform/MessageBox.h"

#include <string>
#include <vector>

namespace testsupport {

struct ShownBox {
    std::string caption, text;
    platform::MessageIcon icon;
};

class BoxRecorder {
public:
    BoxRecorder()
        : m_Previous(platform::SetMessageBoxHandler(
            [this](const std::string& caption, const std::string& text, platform::MessageIcon icon,
                platform::MessageButtons) {
                boxes.push_back({ caption, text, icon });
                return platform::MessageAnswer::Ok;
            }))
    {
    }
    ~BoxRecorder() { platform::SetMessageBoxHandler(m_Previous); }
    BoxRecorder(const BoxRecorder&) = delete;
    BoxRecorder& operator=(const BoxRecorder&) = delete;
    std::vector<ShownBox> boxes;

private:
    platform::MessageBoxHandler m_Previous;
};

} // namespace testsupport
