#include "app/QtMessageBox.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <utility>

bool QtDrawsOffScreen()
{
    const QString name = QGuiApplication::platformName();
    return name == QLatin1String("offscreen") || name == QLatin1String("minimal");
}

platform::MessageAnswer ShowQtMessageBox(const std::string& caption, const std::string& text,
    platform::MessageIcon icon, platform::MessageButtons buttons, const std::string& detail)
{
    if (QtDrawsOffScreen())
        return platform::ConsoleMessageBox(
            caption, detail.empty() ? text : text + "\n" + detail, icon, buttons);
    static constexpr std::pair<platform::MessageIcon, QMessageBox::Icon> kIcons[] = {
        { platform::MessageIcon::Error, QMessageBox::Critical },
        { platform::MessageIcon::Information, QMessageBox::Information },
        { platform::MessageIcon::Warning, QMessageBox::Warning },
        { platform::MessageIcon::Question, QMessageBox::Question },
    };
    QMessageBox::Icon qicon = QMessageBox::NoIcon;
    for (const auto& [ours, qt] : kIcons) {
        if (ours == icon)
            qicon = qt;
    }
    QMessageBox box(qicon, QString::fromStdString(caption), QString::fromStdString(text),
        buttons == platform::MessageButtons::YesNo ? QMessageBox::Yes | QMessageBox::No
                                                   : QMessageBox::Ok,
        QApplication::activeWindow());
    if (!detail.empty())
        box.setInformativeText(QString::fromStdString(detail));
    int answer = box.exec();
    if (buttons == platform::MessageButtons::YesNo)
        return answer == QMessageBox::Yes ? platform::MessageAnswer::Yes
                                          : platform::MessageAnswer::No;
    return platform::MessageAnswer::Ok;
}
