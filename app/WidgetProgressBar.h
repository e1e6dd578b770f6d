#pragma once

#include <QProgressBar>

#include "link/LinkCallbacks.h"

// The engines' progress-bar interface bound to the window's QProgressBar.
class WidgetProgressBar : public IProgressBar {
public:
    explicit WidgetProgressBar(QProgressBar* bar)
        : m_Bar(bar)
    {
    }
    void SetMinimum(int value) override { m_Bar->setMinimum(value); }
    void SetMaximum(int value) override { m_Bar->setMaximum(value); }
    void SetPosition(int value) override { m_Bar->setValue(value); }
    int Minimum() const override { return m_Bar->minimum(); }
    int Maximum() const override { return m_Bar->maximum(); }
    int Position() const override { return m_Bar->value(); }

private:
    QProgressBar* m_Bar;
};
