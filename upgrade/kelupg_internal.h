// Library-private helpers shared by the transport, device and command files.
#pragma once

#include <cstdint>

#include <libusb.h>

uint32_t kelupg_get_le32(const uint8_t *p);
void kelupg_put_le32(uint8_t *p, uint32_t v);
// The context made by libkelupg_init (none before).
libusb_context *kelupg_usb_context(void);
struct upg_device;
// Gives a new device record its transport and a fresh protocol state.
void kelupg_dev_init_state(upg_device *dev, int type);
// Brings a device's protocol state up to date with a library initialisation or
// a process-wide size setting made since its last packet.
void kelupg_dev_sync(upg_device *dev);
void kelupg_dev_set_meta_sent(upg_device *dev, bool sent);
// True when a udev daemon runs on this host: it sets up device nodes (their
// permissions) and broadcasts the devices that come and go.
bool upg_usb_udev_daemon_running(void);
