// The serial port of the fuzz build: ports live in memory instead of behind
// termios. A harness attaches a peer under a port name before the library opens
// that name; the peer sees every block the library writes and queues the bytes
// the library is to read. Waiting takes no time here: a read that finds the
// queue short returns at once with what there was, as a silent line would
// after its time-out.
#pragma once

#include <cstdint>

#include "uart_port.h"

// Called on the writing thread, with no lock of the port held.
typedef void (*uart_port_memory_peer_t)(uart_port *port, const uint8_t *data, int n, void *ctx);

// Makes name openable with uart_port_open. 0, or -1 when the name is taken.
int uart_port_memory_attach(const char *name, uart_port_memory_peer_t peer, void *ctx);
// Queues bytes for the library's next reads.
void uart_port_memory_queue(uart_port *port, const uint8_t *data, int n);
