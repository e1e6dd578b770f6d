#pragma once

#include <string>
#include <vector>

#include "workflow/PortClaim.h"

class QComboBox;

// The window's port list: the combo box behind the run's port tables (the
// tables and the claim of a port are the run's, in PortClaim).
class ComboPortList : public IPortList {
public:
    explicit ComboPortList(QComboBox* box)
        : m_Box(box)
    {
    }
    void SetItems(const std::vector<std::string>& items) override;
    int SelectedIndex() const override;
    void SetSelectedIndex(int index) override;

private:
    QComboBox* m_Box;
};
