#include "app/TAboutDialog.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include "app/DialogPanel.h"
#include "app/JpegPicture.h"
#include "workflow/ProductTitle.h"

TAboutDialog::TAboutDialog(QWidget* parent)
    : QDialog(parent)
{
    QFrame* panel
        = FixedDialogPanel(this, QStringLiteral("About"), QSize(307, 220), QRect(8, 8, 291, 164));
    Image1 = new QLabel(panel);
    Image1->setGeometry(49, 10, 192, 52);
    Image1->setScaledContents(true);
    Image1->setPixmap(QPixmap::fromImage(LoadPicture(QStringLiteral(":/pictures/Logo.jpg"))));
    NameLabel = new QLabel(panel);
    NameLabel->setGeometry(10, 72, 270, 20);
    NameLabel->setAlignment(Qt::AlignHCenter);
    VersionLabel = new QLabel(panel);
    VersionLabel->setGeometry(10, 98, 270, 20);
    VersionLabel->setAlignment(Qt::AlignHCenter);
    CopyrightLabel = new QLabel(panel);
    CopyrightLabel->setGeometry(10, 124, 270, 32);
    CopyrightLabel->setAlignment(Qt::AlignHCenter);
    CopyrightLabel->setWordWrap(true);
    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setGeometry(113, 182, 80, 27);
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

    NameLabel->setText(QString::fromLatin1(kProductTitle));
    VersionLabel->setText(QStringLiteral("Version ") + QStringLiteral("1.4.2"));
    CopyrightLabel->setText(QStringLiteral("Copyright (c) Corvel Radio. All rights reserved."));
}
