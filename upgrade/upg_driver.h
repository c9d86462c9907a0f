// Upgrade driver helpers that sit on top of the command set: the storage-media
// query that survives the device re-enumerating while it answers.
#pragma once

#include <cstdint>

#include "libkelupg.h"

// Asks the device for its storage-media list. When the command fails on a USB
// device, the bus is rescanned for the device at the same bus and port path
// (it may have re-enumerated after a mode switch) and the question is asked
// again there. On success *out holds a malloc'ed buffer the caller frees and
// the byte count is returned; -1 otherwise, with the reason kept as the
// device's last failure (upg_dev_last_error; UPG_ERR_UNAVAILABLE when the
// device did not come back). port_path (7 bytes, may be null) receives the
// device's port path.
int get_storage_media(upg_device *dev, uint8_t **out, uint8_t *port_path);

// Rescan policy of get_storage_media: how many opens are tried and how long
// to wait after each failed one. Defaults: 10 attempts, 2000 ms. The
// process-wide policy (the default context's) applies to every device without
// one of its own; a device of another context takes that context's. Attempts
// below 1 count as 1, a negative interval as 0.
void upg_driver_set_rescan(int attempts, int interval_ms);
void upg_driver_get_rescan(int *attempts, int *interval_ms);
void upg_driver_set_rescan_ctx(upg_context *ctx, int attempts, int interval_ms);
void upg_driver_get_rescan_ctx(upg_context *ctx, int *attempts, int *interval_ms);
// One device's own policy (attempts 0 returns it to the process-wide one).
void upg_driver_set_dev_rescan(upg_device *dev, int attempts, int interval_ms);
void upg_driver_get_dev_rescan(const upg_device *dev, int *attempts, int *interval_ms);
