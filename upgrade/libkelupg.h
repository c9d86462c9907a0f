// The upgrade library: packet transport over USB bulk endpoints or a UART
// line, the USB device layer and the kelupg command set spoken by the board's
// upgrade service in its boot ROM and U-Boot stages.
//
// Plain procedural API: 0 or a byte count on success, -1 failure, -2 out of
// memory, -3 invalid argument, -4 component meta record not sent. Each open
// device keeps its own protocol state (tag counter, maximum transfer size,
// meta-sent flag, rescan policy), so several boards can be driven at once, each
// device by one thread at a time. What the library keeps beyond one device
// (the libusb context, the transfer time-out, the device table, the rescan
// policy; the log sink, which all contexts share, is the default context's)
// lives in a context, struct upg_context; every device
// belongs to the context it was opened in. The process-wide functions work on
// the default context, which is all a program needs unless parts of it must not
// share that state (a test, a second library user in the same process): those
// make a context of their own and use the _ctx variants. The getters and
// setters without a device are for callers that drive one board: they read the
// device used last and set every open device of the context.
#pragma once

#include <cstddef>
#include <cstdint>

#include <libusb.h>

#include "libuart.h"

// ---------------------------------------------------------------------------
// Identity of the upgrade function on the bus.
#define UPG_USB_VID 0x33C3
#define UPG_USB_PID 0x6677

#define UPG_DEV_TYPE_USB 0
#define UPG_DEV_TYPE_UART 1

#define UPG_PORT_PATH_LEN 7
#define UPG_DEV_TABLE_SIZE 16
// Bus number that stands for "the first upgrade device found".
#define UPG_BUS_ANY 255

// Packet sizes: the boot ROM takes 2048-byte data phases, U-Boot 64 KiB.
#define UPG_PKT_SIZE_SMALL 2048
#define UPG_PKT_SIZE_LARGE 65536

#define UPG_CBW_SIZE 31
#define UPG_CSW_SIZE 13
#define UPG_CMD_HDR_SIZE 16
#define UPG_RESP_HDR_SIZE 16

#define UPG_DEFAULT_TRANSFER_TIMEOUT_MS 10000

struct upg_device;
struct upg_context;

// Why the last failed operation on a device failed (upg_dev_last_error). The
// codes are stable: callers map them to their own failure kinds.
enum upg_dev_error_code {
    UPG_ERR_NONE = 0,
    // The device cannot be found or opened (absent, held by another program,
    // no permission).
    UPG_ERR_UNAVAILABLE = 1,
    // A transfer failed or the device left the bus or the line in the middle.
    UPG_ERR_TRANSFER = 2,
    // The device did not answer in time.
    UPG_ERR_TIMEOUT = 3,
    // The device answered a command with a failure status.
    UPG_ERR_REFUSED = 4,
    // The device answered out of protocol (wrong signature, tag or length).
    UPG_ERR_BAD_REPLY = 5,
};

#define UPG_DEV_ERROR_TEXT_SIZE 160

// How packets reach the device: bulk endpoints or UART framing, picked once when
// the device is opened.
struct upg_trans_ops {
    int (*send_pkt)(upg_device *dev, const void *data, int length);
    int (*recv_pkt)(upg_device *dev, void *buf, int length);
};

// One open upgrade device (heap record: made by an open function, released by
// the matching close function).
struct upg_device {
    int32_t type;  // UPG_DEV_TYPE_USB or UPG_DEV_TYPE_UART
    uint8_t bus;
    uint8_t port[UPG_PORT_PATH_LEN];  // root hub down, unused places 0
    uint8_t addr;
    uint8_t dev_class;
    uint16_t vid;
    uint16_t pid;
    libusb_device_handle *handle;
    // The libusb context the handle came from when the device was found through
    // a libusb context of its own (see upg_usb_dev_open); closed with the
    // device. None when the handle belongs to the library context's.
    libusb_context *own_usb;
    // The context the device was opened in; none stands for the default one.
    upg_context *context;
    uint8_t ep_out;
    uint8_t ep_in;
    // libusb code of the most recent transfer (0 = success). Over UART a line
    // that dropped out of the connected state reads as LIBUSB_ERROR_NO_DEVICE,
    // any other failed exchange as LIBUSB_ERROR_IO.
    int last_error;
    uart_conn *uart;

    // Protocol state of this device alone (a zero-filled record is valid: it
    // takes the library's defaults on first use).
    const upg_trans_ops *ops;
    uint32_t tag;         // tag of the next CBW
    int max_transfer;     // largest data phase; 0 = the library's default
    bool fwc_meta_sent;   // a component meta record was accepted
    int rescan_attempts;  // storage-media rescan; 0 = the library's default
    int rescan_interval_ms;
    // Library initialisation and size setting this record last caught up with.
    uint32_t state_generation;
    uint32_t size_generation;
    // Why the last failed operation failed (UPG_ERR_*) and in words, set where
    // the failure happens, cleared when the next packet starts.
    int error_code;
    char error_text[UPG_DEV_ERROR_TEXT_SIZE];
};

// One entry of the device table (10 bytes).
#pragma pack(push, 1)
struct upg_dev_info {
    uint8_t bus;
    uint8_t port[UPG_PORT_PATH_LEN];
    uint8_t addr;
    uint8_t dev_class;
};
#pragma pack(pop)
static_assert(sizeof(upg_dev_info) == 10, "device table entry is 10 bytes");

// ---------------------------------------------------------------------------
// Contexts

// The context the process-wide functions use. Always there; never freed.
upg_context *upg_context_default(void);
// A new context with the library's defaults (time-out, packet size, rescan
// policy), not initialised yet: the first open or listing initialises it.
// None when memory runs out.
upg_context *upg_context_new(void);
// Ends a context made by upg_context_new (libkelupg_exit_ctx first if needed).
// Every device opened in it must be closed before. Null and the default
// context are ignored.
void upg_context_free(upg_context *ctx);

// ---------------------------------------------------------------------------
// Library state (of the default context; the _ctx variants of ctx)

// Makes the libusb context. A second initialisation keeps it (devices opened
// on it stay valid) and starts every device's tag and meta flag over.
// 0 or the libusb error code.
int libkelupg_init(void);
int libkelupg_init_ctx(upg_context *ctx);
// Initialises only when the library is not initialised yet (used by the opens).
int libkelupg_init_once(void);
int libkelupg_init_once_ctx(upg_context *ctx);
void libkelupg_exit(void);
void libkelupg_exit_ctx(upg_context *ctx);
int libkelupg_initialized(void);
int libkelupg_initialized_ctx(upg_context *ctx);

// Time-out of every bulk transfer and UART packet phase; tests shorten it.
// A value of 0 or less restores the default (10000 ms).
void kelupg_set_transfer_timeout(int ms);
int kelupg_get_transfer_timeout(void);
void kelupg_set_transfer_timeout_ctx(upg_context *ctx, int ms);
int kelupg_get_transfer_timeout_ctx(upg_context *ctx);

// Largest data phase of one packet (2048 at start; the packet-size probe sets
// 2048 or 65536).
int kelupg_get_max_transfer_size(void);
void kelupg_set_max_transfer_size(int size);

// Tag of the next CBW.
uint32_t kelupg_trans_get_tag(void);

// The same state for one device.
uint32_t upg_dev_get_tag(upg_device *dev);
int upg_dev_get_max_transfer_size(upg_device *dev);
void upg_dev_set_max_transfer_size(upg_device *dev, int size);
bool upg_dev_fwc_meta_sent(upg_device *dev);

// ---------------------------------------------------------------------------
// Packet transport: CBW, one data phase, CSW. Return length, or 0 on any
// failure (never a partial count).

int kelupg_trans_send_pkt(upg_device *dev, const void *data, int length);
int kelupg_trans_recv_pkt(upg_device *dev, void *buf, int length);

// Wire helpers (also used by the tests).
void kelupg_trans_build_cbw(uint8_t cbw[UPG_CBW_SIZE], uint32_t tag, uint32_t length,
                            bool host_receives);
// 0 when the CSW carries "USBS" and the expected tag, else -1.
int kelupg_trans_check_csw(const uint8_t csw[UPG_CSW_SIZE], uint32_t expected_tag,
                           uint32_t *sig_out, uint32_t *tag_out);

// ---------------------------------------------------------------------------
// USB device layer

// bus UPG_BUS_ANY opens the first upgrade device on any bus. A device that the
// library's libusb context does not know (it learns of arrivals only from the
// udev daemon's broadcasts) is looked for again through a new context, which
// the device then keeps until it is closed.
upg_device *upg_usb_dev_open(uint8_t bus, const uint8_t port[UPG_PORT_PATH_LEN]);
// The same in ctx (initialised on first use). None when the context cannot be
// initialised, the arguments are bad or no matching device opens.
upg_device *upg_usb_dev_open_ctx(upg_context *ctx, uint8_t bus,
                                 const uint8_t port[UPG_PORT_PATH_LEN]);
void upg_usb_dev_close(upg_device *dev);
// Rebuilds the device table (at most 16 upgrade devices, every device of the
// system list examined, the list read afresh) and points *table at it. Returns
// the entry count, or -1 when none were found or the system list cannot be read.
int upg_usb_dev_get_list(upg_dev_info **table);
// The same with ctx's table (valid until ctx's next listing or its end).
int upg_usb_dev_get_list_ctx(upg_context *ctx, upg_dev_info **table);
// The same into the caller's table of capacity entries (several threads may
// list at once). Returns the entry count (0 when there is none), -1 when the
// system list cannot be read, -3 for a bad argument.
int upg_usb_dev_list(upg_dev_info *table, int capacity);
int upg_usb_dev_list_ctx(upg_context *ctx, upg_dev_info *table, int capacity);
int upg_usb_get_port_numbers(libusb_device *dev, uint8_t *buf, int size);

upg_device *upg_uart_dev_open(const char *port_name, libuart_state_cb_t callback);
// The same in ctx (its time-out applies to the device's packets).
upg_device *upg_uart_dev_open_ctx(upg_context *ctx, const char *port_name,
                                  libuart_state_cb_t callback);
void upg_uart_dev_close(upg_device *dev);
bool upg_uart_dev_connected(upg_device *dev);

int upg_dev_get_bus_port(upg_device *dev, uint8_t *bus, uint8_t port[UPG_PORT_PATH_LEN]);
// libusb code of the device's most recent transfer (0 = success, also for none).
int upg_dev_get_last_error(upg_device *dev);
// The context the device belongs to (the default one for none).
upg_context *upg_dev_context(const upg_device *dev);
// Why the device's last failed operation failed: a UPG_ERR_* code, UPG_ERR_NONE
// for none or when the last operation went through. The code and text are set
// where the failure happens, beside the log line that reports it (the
// innermost failure wins: a timed-out transfer stays a time-out when the
// command above it fails because of it), and every packet that starts clears
// them: the caller asks right after the call that failed.
int upg_dev_last_error(const upg_device *dev);
// The text of that failure ("CSW tag 0x3, size 0, LIBUSB_ERROR_TIMEOUT(-7)"),
// "" when none; owned by the device, valid until its next failure or close.
const char *upg_dev_error_text(const upg_device *dev);
// Clears both (a caller starting a new step on a device it keeps).
void upg_dev_clear_error(upg_device *dev);

// A board's location text, the one form every part of the program shows and
// takes: "1:2-3": bus, ":", the used port numbers joined by "-". Returns the
// length written (snprintf semantics; the text is cut to fit size), -3 for a
// missing buffer. A port path of none or all zeros gives "1:".
// UPG_LOCATION_TEXT_SIZE holds the longest ("255:255-255-...", 7 ports).
#define UPG_LOCATION_TEXT_SIZE 32
int upg_dev_format_location(char *out, size_t size, uint8_t bus,
                            const uint8_t port[UPG_PORT_PATH_LEN]);
// Parses "BUS:P1-P2-..." (or "BUS-P1.P2..." as the kernel writes it) into bus
// and a zero-filled port path (1 to 7 port numbers of 1..255, bus 0..255).
// 0 on success, -3 on malformed text; bus and port are left alone then.
int upg_dev_parse_location(const char *text, uint8_t *bus, uint8_t port[UPG_PORT_PATH_LEN]);

// Flags of upg_dev_parse_location_ex: only the form the program shows
// ("BUS:P1-P2"), not the kernel's.
#define UPG_LOC_SHOWN_FORM 1
// What was wrong with a text the parser refused, for the caller's message.
#define UPG_LOC_BAD_FORM 1  // not one ":" between the bus and the ports (shown form)
#define UPG_LOC_BAD_BUS 2   // the bus is not a number up to 255
#define UPG_LOC_BAD_PORT 3  // a port number is missing, 0, over 255, or one too many
// The same parser with flags; bad (may be null) receives 0 on success, else
// the UPG_LOC_BAD_* of the first part found wrong.
int upg_dev_parse_location_ex(const char *text, int flags, uint8_t *bus,
                              uint8_t port[UPG_PORT_PATH_LEN], int *bad);

// The rule file that grants the logged-in user access to the upgrade device.
#define UPG_UDEV_RULE_FILE "packaging/udev/70-kelflash.rules"
#define UPG_UDEV_RULE_INSTALLED "/etc/udev/rules.d/70-kelflash.rules"

// ---------------------------------------------------------------------------
// Command set

#define KELUPG_CMD_MAGIC 0x43475055u  // "UPGC"
#define KELUPG_CMD_PROTOCOL 1
#define KELUPG_CMD_VERSION 1

enum kelupg_cmd_code : uint8_t {
    KELUPG_CMD_GET_HWINFO = 0x00,
    KELUPG_CMD_GET_TRACEINFO = 0x01,
    KELUPG_CMD_WRITE = 0x02,
    KELUPG_CMD_READ = 0x03,
    KELUPG_CMD_SEND_CMDLINE = 0x05,
    KELUPG_CMD_SET_UPG_CFG = 0x0A,
    KELUPG_CMD_SET_UPG_END = 0x0B,
    KELUPG_CMD_SET_FWC_META = 0x10,
    KELUPG_CMD_GET_BLOCK_SIZE = 0x11,
    KELUPG_CMD_SEND_FWC_DATA = 0x12,
    KELUPG_CMD_GET_FWC_CRC = 0x13,
    KELUPG_CMD_GET_FWC_BURN_RESULT = 0x14,
    KELUPG_CMD_GET_FWC_RUN_RESULT = 0x15,
    KELUPG_CMD_GET_STORAGE_MEDIA = 0x16,
    KELUPG_CMD_GET_PARTITION_TABLE = 0x17,
    KELUPG_CMD_READ_FWC_DATA = 0x18,
};

#define UPG_FWC_META_SIZE 512
#define UPG_UPG_CFG_SIZE 32
#define UPG_STORAGE_MEDIA_ENTRY_SIZE 68
#define UPG_PART_TABLE_ARGS_SIZE 68
#define UPG_READ_FWC_ARGS_SIZE 184

// Hardware information (answer to command 0x00).
#pragma pack(push, 1)
struct upg_hw_info {
    uint8_t reserved0[40];
    uint8_t boot_stage;  // 0 boot ROM, otherwise U-Boot; 1 = takes 64 KiB packets
    uint8_t security;    // UPG_SEC_* bits
    uint8_t boot_dev1;
    uint8_t boot_dev2;
    uint8_t reserved1[64];
};
#pragma pack(pop)
static_assert(sizeof(upg_hw_info) == 108, "hardware information record is 108 bytes");

#define UPG_BOOT_STAGE_BROM 0
#define UPG_BOOT_STAGE_UBOOT_LARGE 1
#define UPG_SEC_SECURE_BOOT 0x01
#define UPG_SEC_BOOT_ENCRYPTION 0x02
#define UPG_SEC_ANTI_ROLLBACK 0x04

// Upgrade configuration (argument of command 0x0A).
#pragma pack(push, 1)
struct upg_cfg {
    uint32_t work_mode;
    uint8_t reserved[28];
};
#pragma pack(pop)
static_assert(sizeof(upg_cfg) == UPG_UPG_CFG_SIZE, "upgrade configuration is 32 bytes");

#define UPG_WORK_MODE_STORAGE_QUERY 4

struct PartitionEntry;

// Argument block of command 0x17. The first 68 bytes travel to the device;
// the parsed list comes back in parts (owned by the caller, released with
// image_partition_release of image.h).
struct kelupg_part_table_args {
    char media[64];
    uint32_t flags;
    uint32_t part_count;
    PartitionEntry *parts;
};

// Argument block of command 0x18 (184 bytes on the wire).
#pragma pack(push, 1)
struct kelupg_read_fwc_args {
    char partition[64];
    uint8_t reserved0[40];
    uint64_t offset;  // bytes 104..111: where in the partition to start
    uint64_t size;    // bytes 112..119: how much the device is to send
    uint8_t reserved1[64];
};
#pragma pack(pop)
static_assert(sizeof(kelupg_read_fwc_args) == UPG_READ_FWC_ARGS_SIZE,
              "read argument block is 184 bytes");

// Header helpers (also used by the tests).
uint32_t kelupg_cmd_checksum(uint8_t code, uint32_t data_length);
void kelupg_cmd_build_header(uint8_t hdr[UPG_CMD_HDR_SIZE], uint8_t code, uint32_t data_length);
// True once a component meta record was accepted since initialisation.
bool kelupg_cmd_fwc_meta_sent(void);

int kelupg_cmd_get_hwinfo(upg_device *dev, upg_hw_info *info);
int kelupg_cmd_get_traceinfo(upg_device *dev, uint8_t **out);
int kelupg_cmd_write(upg_device *dev, uint32_t address, const void *data, uint32_t n);
int kelupg_cmd_read(upg_device *dev, uint32_t address, void *buf, uint32_t n);
int kelupg_cmd_send_cmdline(upg_device *dev, const char *text, int n);
int kelupg_cmd_set_upg_cfg(upg_device *dev, const upg_cfg *cfg);
int kelupg_cmd_set_upg_end(upg_device *dev);
int kelupg_cmd_set_fwc_meta(upg_device *dev, const void *meta512);
int kelupg_cmd_get_block_size(upg_device *dev);
int kelupg_cmd_send_fwc_data_start(upg_device *dev, uint32_t size);
int kelupg_cmd_send_fwc_data_update(upg_device *dev, const void *data, int n);
int kelupg_cmd_send_fwc_data_final(upg_device *dev);
int kelupg_cmd_get_fwc_crc(upg_device *dev, uint32_t *crc);
int kelupg_cmd_get_fwc_burn_result(upg_device *dev, uint32_t *result);
int kelupg_cmd_get_fwc_run_result(upg_device *dev, uint32_t *result);
// On success *out holds a malloc'ed buffer of the returned byte count, whole
// 68-byte entries each starting with a NUL-terminated medium name.
int kelupg_cmd_get_storage_media(upg_device *dev, uint8_t **out);
int kelupg_cmd_get_partition_table(upg_device *dev, kelupg_part_table_args *args);
int kelupg_cmd_read_fwc_data_start(upg_device *dev, const kelupg_read_fwc_args *args);
int kelupg_cmd_read_fwc_data(upg_device *dev, void *buf, int n);

// Sends command 0x00 and sets the maximum transfer size from the boot stage.
int kelupg_probe_packet_size(upg_device *dev, bool *large);
// The same, handing back the record the device answered (info may be null).
int kelupg_probe_packet_size_info(upg_device *dev, bool *large, upg_hw_info *info);

// Storage-media list helpers: whole entries only; a name without NUL inside
// its entry is cut at the entry's end.
int kelupg_storage_media_count(int nbytes);
// Copies entry i's name into name (size bytes, NUL-terminated); -3 when out of range.
int kelupg_storage_media_name(const uint8_t *buf, int nbytes, int index, char *name, size_t size);
