#pragma once

// Records every message box shown to it (each answered Ok).

#include "platform/MessageBox.h"

#include <string>
#include <vector>

namespace testsupport {

struct ShownBox {
    std::string caption, text;
    platform::MessageIcon icon;
};

class BoxRecorder : public platform::IMessageBoxes {
public:
    platform::MessageAnswer ShowMessage(const std::string& caption, const std::string& text,
        platform::MessageIcon icon, platform::MessageButtons) override
    {
        boxes.push_back({ caption, text, icon });
        return platform::MessageAnswer::Ok;
    }
    std::vector<ShownBox> boxes;
};

} // namespace testsupport
