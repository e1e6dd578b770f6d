#include "app/ComPorts.h"

#include <QComboBox>
#include <QSignalBlocker>

void ComboPortList::SetItems(const std::vector<std::string>& items)
{
    QSignalBlocker block(m_Box);
    m_Box->clear();
    for (const auto& item : items)
        m_Box->addItem(QString::fromStdString(item));
}

int ComboPortList::SelectedIndex() const
{
    return m_Box->currentIndex();
}

void ComboPortList::SetSelectedIndex(int index)
{
    QSignalBlocker block(m_Box);
    m_Box->setCurrentIndex(index);
}
