// UART transport: framed blocks with CRC-16 and a presence handshake, with a
// connection-manager thread per open port.
#pragma once

#include <cstdint>

struct uart_conn;

// Connection states.
#define LIBUART_STATE_DETECTING 0
#define LIBUART_STATE_CONNECTED 1

typedef void (*libuart_state_cb_t)(int state);

// Opens the port ("ttyUSB0" -> "/dev/ttyUSB0"; a name starting with "/" is a
// path used as is) and starts its manager thread. Returns none on failure.
uart_conn *libuart_open(const char *port_name, libuart_state_cb_t callback);
void libuart_close(uart_conn *conn);
// 0 detecting, 1 connected; 0 for none.
int libuart_get_state(uart_conn *conn);
// Bytes delivered (n when all were acknowledged), or -1 when none or not connected.
int libuart_send(uart_conn *conn, const void *data, int n);
// Bytes received, or -1 when none or not connected.
int libuart_recv(uart_conn *conn, void *buf, int n, int timeout_ms);

// CRC-16/XMODEM (poly 0x1021, init 0, no reflection, no final XOR).
uint16_t libuart_crc16(const uint8_t *data, int n);
