// Placeholder for a network connection to a board; not supported yet, every
// operation answers with the base defaults.
#pragma once

#include "kellinker.h"

class KelLinkerNetwork : public KelLinker {
    Q_OBJECT

public:
    explicit KelLinkerNetwork(QObject *parent = nullptr);
    ~KelLinkerNetwork() override;
};
