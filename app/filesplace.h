// Where the program keeps its files (settings, image history, statistics,
// logs): they are all named relative to the current directory. Stations start
// the program from a folder of their own and keep their files there; a program
// started from the desktop's menu, or from a folder it cannot write, keeps them
// in the user's data directory instead.
#pragma once

#include <QString>

// Makes the folder for the files the current directory. `userData` asks for the
// user's data directory whatever the current directory is (the menu entry's
// choice). Returns a line for the log when the files are not kept in the
// folder the program was started from, and an empty text otherwise.
QString chooseFilesPlace(bool userData);
