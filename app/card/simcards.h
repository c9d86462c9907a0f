// Cards for trying the card page and "card list" without a card reader: card
// image files and loop devices named, as paths separated by blanks or commas,
// by the environment variable KELFLASH_SIM_CARDS ("kelsim card -- COMMAND" sets
// it). They are listed as removable cards. Anything else a path names (a disk,
// a partition, a directory, a character device) is refused, so the variable
// can never make a real disk a card.
#pragma once

#include <QString>

class DiskRegistry;

// "KELFLASH_SIM_CARDS"
extern const char kSimCardsVariable[];

enum class SimCardKind { None, ImageFile, LoopDevice };

// What `path` is, following links: a regular file, a whole loop device with a
// backing file, or neither.
SimCardKind simCardKind(const QString &path);

// Declares the named cards to the registry. Runs before each card scan, so a
// loop device attached meanwhile is taken up; a refused or missing path is
// warned about once per process.
void declareSimulatedCards(DiskRegistry &registry);
