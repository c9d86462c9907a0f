// The desktop's file manager, reached through its platform's interface.
// Private to the library.
#pragma once

#include <QString>

// Shows the folder of `filePath` with the file selected; false when no file
// manager offers that (the caller then opens the folder).
bool kelShowInFileManager(const QString &filePath);
