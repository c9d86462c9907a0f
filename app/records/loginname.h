// The name of the user the program runs as.
#pragma once

#include <QString>

QString loginName();
