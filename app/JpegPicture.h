#pragma once

#include <QImage>
#include <QString>

#include <cstddef>
#include <cstdint>

// Decodes a JPEG held in memory with libjpeg. A damaged or truncated picture
// gives a null image, never a crash.
QImage DecodeJpeg(const uint8_t* data, size_t size);

// Decodes one of the pictures compiled into the program (":/pictures/...").
QImage LoadPicture(const QString& resourcePath);

// Registers the pictures compiled into the program (the window calls it
// before it loads one).
void InitPictureResources();
