// Library-private helpers shared by the transport, device and command files.
#pragma once

#include <cstdint>

#include <libusb.h>

uint32_t kelupg_get_le32(const uint8_t *p);
void kelupg_put_le32(uint8_t *p, uint32_t v);
// The context made by libkelupg_init (none before).
libusb_context *kelupg_usb_context(void);
// Clears the component-meta-sent flag (initialisation and shut-down).
void kelupg_cmd_reset_state(void);
// True when a udev daemon runs on this host: it sets up device nodes (their
// permissions) and broadcasts the devices that come and go.
bool upg_usb_udev_daemon_running(void);
