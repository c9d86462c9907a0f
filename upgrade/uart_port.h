// The serial port as the UART transport needs it: plain byte operations with
// time-outs. One backend per platform (uart_posix.cpp on Linux); everything
// above this header is portable.
#pragma once

#include <cstdint>

struct uart_port;

// Opens the named port for reading and writing, exclusively. A second open of
// the same port, in this process or another, fails. Returns none on failure.
uart_port *uart_port_open(const char *port_name);
void uart_port_close(uart_port *port);

// 115200 baud, 8 data bits, no parity, one stop bit, raw, no flow control;
// then both directions are purged. 0 on success, -1 after logging the failed step.
int uart_port_setup(uart_port *port);

// Writes n bytes, waiting at most timeout_ms for room in the output queue.
// Returns the bytes written (n on success), -1 on an error of the port.
int uart_port_write(uart_port *port, const uint8_t *data, int n, int timeout_ms);

// Reads until n bytes were read or timeout_ms passed (0: only what is queued
// now). Returns the bytes read, which may be fewer than n.
int uart_port_read(uart_port *port, uint8_t *buf, int n, int timeout_ms);

// Bytes waiting in the input queue, -1 on error.
int uart_port_queued(uart_port *port);

// Drops whatever is queued in both directions.
void uart_port_purge(uart_port *port);

// Drops what is waiting in the input queue; returns how many bytes that were.
int uart_port_drop_input(uart_port *port);
