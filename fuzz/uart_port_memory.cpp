// In-memory serial port backend (the fuzz build's platform): see uart_port_memory.h.
#include "uart_port_memory.h"

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <string>

struct uart_port {
    std::string name;
    uart_port_memory_peer_t peer = nullptr;
    void *ctx = nullptr;
    // The manager thread and the data thread share a port; the library
    // serialises their exchanges, but a peer may queue from anywhere.
    std::mutex m;
    std::deque<uint8_t> in;
};

namespace {

struct Attached {
    uart_port_memory_peer_t peer;
    void *ctx;
    bool open;
};

std::mutex g_registry_mutex;

std::map<std::string, Attached> &registry() {
    static std::map<std::string, Attached> r;
    return r;
}

}  // namespace

int uart_port_memory_attach(const char *name, uart_port_memory_peer_t peer, void *ctx) {
    if (!name || !peer)
        return -1;
    std::lock_guard<std::mutex> lk(g_registry_mutex);
    return registry().emplace(name, Attached{peer, ctx, false}).second ? 0 : -1;
}

void uart_port_memory_queue(uart_port *port, const uint8_t *data, int n) {
    if (!port || !data || n <= 0)
        return;
    std::lock_guard<std::mutex> lk(port->m);
    port->in.insert(port->in.end(), data, data + n);
}

uart_port *uart_port_open(const char *port_name) {
    if (!port_name)
        return nullptr;
    std::lock_guard<std::mutex> lk(g_registry_mutex);
    auto it = registry().find(port_name);
    // Exclusive, like a real port: a second open of the same name fails.
    if (it == registry().end() || it->second.open)
        return nullptr;
    uart_port *port = new (std::nothrow) uart_port;
    if (!port)
        return nullptr;
    port->name = port_name;
    port->peer = it->second.peer;
    port->ctx = it->second.ctx;
    it->second.open = true;
    return port;
}

void uart_port_close(uart_port *port) {
    if (!port)
        return;
    {
        std::lock_guard<std::mutex> lk(g_registry_mutex);
        auto it = registry().find(port->name);
        if (it != registry().end())
            it->second.open = false;
    }
    delete port;
}

int uart_port_setup(uart_port *port) {
    uart_port_purge(port);
    return 0;
}

int uart_port_write(uart_port *port, const uint8_t *data, int n, int) {
    if (n <= 0)
        return 0;
    port->peer(port, data, n, port->ctx);
    return n;
}

int uart_port_read(uart_port *port, uint8_t *buf, int n, int) {
    std::lock_guard<std::mutex> lk(port->m);
    int got = static_cast<int>(std::min<size_t>(port->in.size(), n > 0 ? size_t(n) : 0));
    std::copy(port->in.begin(), port->in.begin() + got, buf);
    port->in.erase(port->in.begin(), port->in.begin() + got);
    return got;
}

int uart_port_queued(uart_port *port) {
    std::lock_guard<std::mutex> lk(port->m);
    return static_cast<int>(port->in.size());
}

void uart_port_purge(uart_port *port) {
    std::lock_guard<std::mutex> lk(port->m);
    port->in.clear();
}

int uart_port_drop_input(uart_port *port) {
    std::lock_guard<std::mutex> lk(port->m);
    int n = static_cast<int>(port->in.size());
    port->in.clear();
    return n;
}
