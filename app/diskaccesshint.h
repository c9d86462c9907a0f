// What an operator can do when a card cannot be opened for writing for lack of
// rights. The platform's answer lives in diskaccesshint_<platform>.cpp.
#pragma once

#include <QString>

// One line in the program's language; empty when the program already runs
// with every right, so that there is nothing to advise.
QString diskAccessHint();
