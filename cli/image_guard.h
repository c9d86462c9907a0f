// What "burn" and "card write" check in an image before a board or a card is
// touched: --sha256 HEX (the whole file) and --check-crc (each component
// against its record's CRC-32), both from one read of the file.
#pragma once

#include "failure.h"

#include <QByteArray>
#include <QString>
#include <string>

class ImageFile;

struct ImageGuard {
    QByteArray sha256;  // 32 bytes; empty: not compared
    bool checkCrc = false;
};

// Takes --sha256 HEX or --check-crc at argv[*i] (moving *i past a value):
// 1 when taken, 0 when it is neither, -1 for a bad or missing value (*error
// says what is wrong).
int kelcli_take_image_guard(int argc, char **argv, int *i, ImageGuard *g, QString *error);

// True for the options that take a value.
bool kelcli_image_guard_takes_value(const char *arg);

// Why the image (header loaded) must not be used, or nothing when it passes
// or nothing was asked.
// *code (if given) says what kind of refusal it is.
QString kelcli_image_guard_refusal(ImageFile &image, const ImageGuard &g,
                                   Failure::Code *code = nullptr);

// The option lines for a command's help, the descriptions from this column on.
std::string kelcli_image_guard_help(int column);
