#include "app/QtMessageBox.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>

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
    QMessageBox::Icon qicon = QMessageBox::NoIcon;
    switch (icon) {
    case platform::MessageIcon::Error:
        qicon = QMessageBox::Critical;
        break;
    case platform::MessageIcon::Information:
        qicon = QMessageBox::Information;
        break;
    case platform::MessageIcon::Warning:
        qicon = QMessageBox::Warning;
        break;
    case platform::MessageIcon::Question:
        qicon = QMessageBox::Question;
        break;
    case platform::MessageIcon::None:
        break;
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
