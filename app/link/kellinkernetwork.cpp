#include "kellinkernetwork.h"

KelLinkerNetwork::KelLinkerNetwork(QObject *parent) : KelLinker(parent) {}

KelLinkerNetwork::~KelLinkerNetwork() = default;
