// UART transport: XMODEM-style frames with CRC-16, DC1/DC2 announcements and
// a connection-manager thread that probes the device with "C".
#include "libuart.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "uart_port.h"
#include "upg_log.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint8_t kSOH = 0x01;
constexpr uint8_t kSTX = 0x02;
constexpr uint8_t kACK = 0x06;
constexpr uint8_t kDC1 = 0x11;
constexpr uint8_t kDC2 = 0x12;
constexpr uint8_t kNAK = 0x15;
constexpr uint8_t kCAN = 0x18;
constexpr uint8_t kProbe = 'C';
constexpr uint8_t kDevA = 'A';

constexpr int kLongData = 1024;
constexpr int kLongFrame = kLongData + 5;
constexpr int kShortSendMax = 176;
constexpr int kShortRecvMax = 255;
constexpr int kMaxRefusals = 10;

constexpr int kProbePeriodMs = 5000;
// 10 rounds 20 ms apart: how long the device may take to answer "C".
constexpr int kProbeAnswerMs = 200;
// 6 reads 10 ms apart, counted from the moment the frame has left the wire.
constexpr int kFrameAnswerMs = 60;
// The device may be busy (flash erase) before it acknowledges DC1/DC2, but a
// device that never answers must not keep the line for ever.
constexpr int kModeAnswerMs = 1000;
constexpr int kHeadWaitMs = 100;
constexpr int kFrameHeadMs = 500;
constexpr int kFrameBodyMs = 1000;
// Quiet time after which the rest of a rejected frame is taken to be over.
constexpr int kResyncQuietMs = 20;

// 115200 baud, 8N1: ten bit times per byte.
constexpr int kBaud = 115200;

struct Crc16Table {
    uint16_t v[256];
    constexpr Crc16Table() : v() {
        for (int i = 0; i < 256; ++i) {
            uint16_t crc = static_cast<uint16_t>(i << 8);
            for (int b = 0; b < 8; ++b)
                crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                     : static_cast<uint16_t>(crc << 1);
            v[i] = crc;
        }
    }
};
constexpr Crc16Table kCrcTable;

// Time the line needs to carry n bytes, in whole milliseconds (rounded up).
// A write to a serial driver returns once the bytes are queued, not sent; an
// answer cannot come before they have been sent.
int lineMs(int n) {
    return static_cast<int>((static_cast<int64_t>(n) * 10 * 1000 + kBaud - 1) / kBaud);
}

// Rounded up, so that a wait bounded by it never ends before the deadline.
int msLeft(Clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>((left + 999) / 1000) : 0;
}

}  // namespace

struct uart_conn {
    uart_port *port = nullptr;
    std::thread mgr;
    libuart_state_cb_t callback = nullptr;

    // Guards state and connected_at only; never held while waiting for the line.
    std::mutex priv;
    // Serialises state changes with their callbacks: the manager and the data
    // thread both change the state, and a listener must hear the changes in
    // the order they happened, the last one being the state that holds.
    std::mutex notify;
    int state = LIBUART_STATE_DETECTING;
    Clock::time_point connected_at;

    // Whoever holds it owns the serial line (manager probe, or one data call).
    std::timed_mutex port_mutex;

    // The close and exit events (manual reset).
    std::mutex ev_mutex;
    std::condition_variable ev_cv;
    bool close_ev = false;
    bool exit_ev = false;
    // Set when the connection drops, so that a manager sleeping until its
    // next periodic probe goes looking for the device at once.
    bool wake_mgr = false;

    // Used by the data thread only.
    uint8_t blk_no = 1;

    // The board the opening thread works for: the manager's lines name it too.
    char board[48] = {0};
};

uint16_t libuart_crc16(const uint8_t *data, int n) {
    uint16_t crc = 0;
    for (int i = 0; i < n; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable.v[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

int libuart_get_state(uart_conn *conn) {
    if (!conn)
        return LIBUART_STATE_DETECTING;
    std::lock_guard<std::mutex> lk(conn->priv);
    return conn->state;
}

static void uart_set_state(uart_conn *conn, int state) {
    std::lock_guard<std::mutex> order(conn->notify);
    bool changed;
    {
        std::lock_guard<std::mutex> lk(conn->priv);
        changed = conn->state != state;
        conn->state = state;
        if (state == LIBUART_STATE_CONNECTED)
            conn->connected_at = Clock::now();
    }
    if (changed && state == LIBUART_STATE_DETECTING) {
        {
            std::lock_guard<std::mutex> lk(conn->ev_mutex);
            conn->wake_mgr = true;
        }
        conn->ev_cv.notify_all();
    }
    if (changed && conn->callback)
        conn->callback(state);
}

static int port_send(uart_conn *conn, const uint8_t *data, int n) {
    int w = uart_port_write(conn->port, data, n, 10 * n + 50);
    if (w != n) {
        UPG_LOGE("%s, failed: len %d", __func__, n);
        return 0;
    }
    UPG_LOGD("%s, send %d", __func__, n);
    return n;
}

static int port_send_byte(uart_conn *conn, uint8_t b) {
    return port_send(conn, &b, 1);
}

// Every exchange starts with the host asking ("C", DC1, DC2): whatever
// arrived before that answers nothing we asked (a late ACK, the tail of
// frames the device offered after a receive was satisfied) and would be
// taken for the answer to the new question.
static void drop_stale_input(uart_conn *conn) {
    int n = uart_port_drop_input(conn->port);
    if (n > 0)
        UPG_LOGD("Dropped %d stale bytes", n);
}

static void release_port(std::unique_lock<std::timed_mutex> &lk) {
    UPG_LOGD("Data thread release port access right");
    lk.unlock();
}

// Waits up to timeout for the close event (true) or a dropped connection.
static bool wait_close_event(uart_conn *conn, milliseconds timeout) {
    std::unique_lock<std::mutex> lk(conn->ev_mutex);
    conn->ev_cv.wait_for(lk, timeout, [conn] { return conn->close_ev || conn->wake_mgr; });
    conn->wake_mgr = false;
    return conn->close_ev;
}

static void uart_conn_mgr_thread(uart_conn *conn) {
    upg_log_set_board(conn->board);
    for (;;) {
        milliseconds wait(1);
        {
            std::lock_guard<std::mutex> lk(conn->priv);
            if (conn->state == LIBUART_STATE_CONNECTED) {
                auto due = conn->connected_at + milliseconds(kProbePeriodMs);
                auto left = std::chrono::duration_cast<milliseconds>(due - Clock::now());
                wait = std::max(wait, left);
            }
        }
        if (wait_close_event(conn, wait))
            break;

        int state = libuart_get_state(conn);
        if (state == LIBUART_STATE_CONNECTED) {
            std::lock_guard<std::mutex> lk(conn->priv);
            if (Clock::now() - conn->connected_at < milliseconds(kProbePeriodMs))
                continue;
        }

        // A data call holds the line for a whole send or receive; keep an eye
        // on the close event meanwhile.
        bool closing = false;
        while (!conn->port_mutex.try_lock_for(milliseconds(20))) {
            if (wait_close_event(conn, milliseconds(0))) {
                closing = true;
                break;
            }
        }
        if (closing)
            break;
        UPG_LOGD("Mgr thread got port access right, send C to device");

        drop_stale_input(conn);
        port_send_byte(conn, kProbe);
        uint8_t b = 0;
        int new_state = state;
        if (uart_port_read(conn->port, &b, 1, kProbeAnswerMs) != 1) {
            new_state = LIBUART_STATE_DETECTING;
        } else if (b == kACK) {
            UPG_LOGD("Got ACK for C");
            new_state = LIBUART_STATE_CONNECTED;
        } else if (b == kDevA) {
            UPG_LOGD("Got A from Device, reply ACK");
            port_send_byte(conn, kACK);
            uart_port_read(conn->port, &b, 1, 0);
            new_state = LIBUART_STATE_CONNECTED;
        } else {
            UPG_LOGE("%s: Got %02X", __func__, b);
        }
        conn->port_mutex.unlock();
        UPG_LOGD("Serial state: %s",
                 new_state == LIBUART_STATE_CONNECTED ? "Connected" : "Detecting");
        uart_set_state(conn, new_state);
    }
    UPG_LOGD("Receive close event, %s() exit ...", __func__);
    {
        std::lock_guard<std::mutex> lk(conn->ev_mutex);
        conn->exit_ev = true;
    }
    conn->ev_cv.notify_all();
}

static int create_conn_mgr(uart_conn *conn) {
    conn->state = LIBUART_STATE_DETECTING;
    snprintf(conn->board, sizeof(conn->board), "%s", upg_log_board());
    try {
        conn->mgr = std::thread(uart_conn_mgr_thread, conn);
    } catch (const std::system_error &) {
        UPG_LOGE("Failed to create thread.");
        return -1;
    }
    return 0;
}

uart_conn *libuart_open(const char *port_name, libuart_state_cb_t callback) {
    uart_conn *conn = new (std::nothrow) uart_conn;
    if (!conn) {
        UPG_LOGE("Failed to malloc.");
        return nullptr;
    }
    conn->callback = callback;
    conn->port = uart_port_open(port_name);
    if (!conn->port) {
        UPG_LOGE("Failed to open COM device.");
        delete conn;
        return nullptr;
    }
    if (uart_port_setup(conn->port) != 0 || create_conn_mgr(conn) != 0) {
        libuart_close(conn);
        return nullptr;
    }
    return conn;
}

void libuart_close(uart_conn *conn) {
    UPG_LOGD("%s", __func__);
    if (!conn)
        return;
    if (conn->mgr.joinable()) {
        {
            std::lock_guard<std::mutex> lk(conn->ev_mutex);
            conn->close_ev = true;
        }
        conn->ev_cv.notify_all();
        {
            std::unique_lock<std::mutex> lk(conn->ev_mutex);
            conn->ev_cv.wait(lk, [conn] { return conn->exit_ev; });
        }
        conn->mgr.join();
    }
    uart_port_close(conn->port);
    delete conn;
}

// Reads answer bytes until ACK (0) or "A" (-1); silence for kModeAnswerMs
// counts as "A". Other bytes are line noise or late answers and are skipped.
static int wait_mode_answer(uart_conn *conn, uint8_t announce) {
    auto deadline = Clock::now() + milliseconds(kModeAnswerMs);
    for (;;) {
        uint8_t b = 0;
        if (uart_port_read(conn->port, &b, 1, msLeft(deadline)) != 1) {
            UPG_LOGE("No answer to DC%d within %d ms", announce == kDC1 ? 1 : 2, kModeAnswerMs);
            return -1;
        }
        if (b == kACK)
            return 0;
        if (b == kDevA) {
            UPG_LOGE("Device refused DC%d", announce == kDC1 ? 1 : 2);
            return -1;
        }
        UPG_LOGD("Skip 0x%02x while waiting for the answer to DC%d", b, announce == kDC1 ? 1 : 2);
    }
}

static int switch_to_send_mode(uart_conn *conn) {
    drop_stale_input(conn);
    if (port_send_byte(conn, kDC1) != 1) {
        UPG_LOGE("Send DC1_SEND failed.");
        return -1;
    }
    return wait_mode_answer(conn, kDC1);
}

static int switch_to_recv_mode(uart_conn *conn) {
    drop_stale_input(conn);
    if (port_send_byte(conn, kDC2) != 1) {
        UPG_LOGE("Send DC2_RECV failed.");
        return -1;
    }
    return wait_mode_answer(conn, kDC2);
}

// Builds the next frame from the remaining bytes; returns the frame length and
// stores the payload length in *data_len.
static int pack_frame(uart_conn *conn, const uint8_t *data, int remaining, uint8_t *frame,
                      int *data_len) {
    UPG_LOGD("blk no %d", conn->blk_no);
    uint16_t crc;
    int len;
    int pos;
    frame[1] = conn->blk_no;
    frame[2] = static_cast<uint8_t>(255 - conn->blk_no);
    if (remaining >= kLongData) {
        len = kLongData;
        frame[0] = kSTX;
        pos = 3;
    } else {
        len = std::min(remaining, kShortSendMax);
        frame[0] = kSOH;
        frame[3] = static_cast<uint8_t>(len);
        pos = 4;
    }
    memcpy(frame + pos, data, static_cast<size_t>(len));
    crc = libuart_crc16(data, len);
    frame[pos + len] = static_cast<uint8_t>(crc >> 8);
    frame[pos + len + 1] = static_cast<uint8_t>(crc & 0xFF);
    *data_len = len;
    return pos + len + 2;
}

int libuart_send(uart_conn *conn, const void *data, int n) {
    if (!conn) {
        UPG_LOGE("Connection is NULL");
        return -1;
    }
    if (libuart_get_state(conn) != LIBUART_STATE_CONNECTED) {
        UPG_LOGE("Connection is not ready");
        return -1;
    }
    if (n > 0 && !data) {
        UPG_LOGE("Invalid argument: data is NULL, len %d", n);
        return -3;
    }
    std::unique_lock<std::timed_mutex> lk(conn->port_mutex);
    UPG_LOGD("Data thread got port access right");

    if (switch_to_send_mode(conn) != 0) {
        release_port(lk);
        uart_set_state(conn, LIBUART_STATE_DETECTING);
        return 0;
    }
    if (n < 1) {
        release_port(lk);
        return 0;
    }

    const uint8_t *p = static_cast<const uint8_t *>(data);
    uint8_t frame[kLongFrame];
    int sent = 0;
    int refusals = 0;
    while (sent < n) {
        int len = 0;
        int flen = pack_frame(conn, p + sent, n - sent, frame, &len);
        for (;;) {
            if (port_send(conn, frame, flen) != flen) {
                release_port(lk);
                uart_set_state(conn, LIBUART_STATE_DETECTING);
                return sent;
            }
            uint8_t b = 0;
            if (uart_port_read(conn->port, &b, 1, kFrameAnswerMs + lineMs(flen)) != 1) {
                UPG_LOGE("Waiting resp timeout, switch to detecting state.");
                release_port(lk);
                uart_set_state(conn, LIBUART_STATE_DETECTING);
                return sent;
            }
            if (b == kACK) {
                UPG_LOGD("Got ACK");
                break;
            }
            // Refusals are counted over the whole call, so a line that keeps
            // garbling frames ends the send even when each frame gets through
            // after a few tries.
            if (++refusals >= kMaxRefusals) {
                UPG_LOGE("Frame blk %d refused (0x%02x), %d refusals, %d/%d bytes delivered",
                         conn->blk_no, b, refusals, sent, n);
                release_port(lk);
                uart_set_state(conn, LIBUART_STATE_CONNECTED);
                return sent;
            }
            UPG_LOGD("Got 0x%02x for blk %d, send it again", b, conn->blk_no);
        }
        sent += len;
        conn->blk_no = static_cast<uint8_t>((conn->blk_no < 255 ? conn->blk_no : 0) + 1);
    }
    release_port(lk);
    uart_set_state(conn, LIBUART_STATE_CONNECTED);
    return n;
}

// Drops the rest of a frame whose header was rejected, so that its payload
// is not taken for control bytes; the sender gets no answer and retries.
static void drop_rest_of_frame(uart_conn *conn, Clock::time_point deadline) {
    auto limit = std::min(deadline, Clock::now() + milliseconds(kFrameBodyMs));
    uint8_t scratch[256];
    while (Clock::now() < limit) {
        int wait = std::min(kResyncQuietMs, msLeft(limit));
        if (uart_port_read(conn->port, scratch, 1, wait) != 1)
            break;
        int more = uart_port_queued(conn->port);
        if (more > 0)
            uart_port_read(conn->port, scratch, std::min(more, (int)sizeof(scratch)), 0);
    }
}

static bool check_blk_no(const uint8_t *hdr) {
    if (hdr[1] != static_cast<uint8_t>(255 - hdr[0])) {
        UPG_LOGE_AS("check_blk_no", "blk no error blk1 %d blk2 %d", hdr[0], 255 - hdr[1]);
        return false;
    }
    return true;
}

// Verifies the CRC of a received payload and answers it. Returns the payload
// length, or -1 when the frame is refused.
static int accept_frame(uart_conn *conn, const uint8_t *payload, int len, const uint8_t *crc_bytes,
                        uint8_t *out, int want) {
    uint16_t calc = libuart_crc16(payload, len);
    uint16_t got = static_cast<uint16_t>((crc_bytes[0] << 8) | crc_bytes[1]);
    if (calc != got) {
        port_send_byte(conn, kNAK);
        UPG_LOGE("CRC16 error, 0x%x != 0x%x", calc, got);
        return -1;
    }
    // The caller's buffer has room for want bytes only; a longer frame cannot
    // be taken in part. Left unanswered, like a frame that never arrived.
    if (len > want) {
        UPG_LOGE("Frame of %d bytes is longer than the %d bytes still wanted", len, want);
        return -1;
    }
    memcpy(out, payload, static_cast<size_t>(len));
    port_send_byte(conn, kACK);
    return len;
}

// The block number pair (and a short frame's length byte) after the start byte.
// A pair that does not match is the middle of some frame: the rest is dropped.
static bool read_frame_head(uart_conn *conn, uint8_t *hdr, int size, Clock::time_point deadline,
                            const char *func) {
    int r = uart_port_read(conn->port, hdr, size, kFrameHeadMs);
    if (r != size) {
        UPG_LOGE_AS(func, "Read frame head error, len %d != %d", r, size);
        return false;
    }
    if (!check_blk_no(hdr)) {
        drop_rest_of_frame(conn, deadline);
        return false;
    }
    return true;
}

// A frame that has begun is read to its end under its own limits, even past
// the receive's deadline: cut short, it would stay unanswered, the device
// would keep offering it and its tail would wait in the queue as noise.
static int read_short_frame(uart_conn *conn, uint8_t *out, int want, Clock::time_point deadline) {
    uint8_t hdr[3];
    if (!read_frame_head(conn, hdr, 3, deadline, __func__))
        return -1;
    int len = hdr[2];
    uint8_t body[kShortRecvMax + 2];
    int r = uart_port_read(conn->port, body, len + 2, kFrameBodyMs);
    if (r != len + 2) {
        UPG_LOGE("Read data error, len %d != %d", r, len + 2);
        return -1;
    }
    if (len == 0) {
        UPG_LOGE("Empty short frame, blk %d", hdr[0]);
        return -1;
    }
    return accept_frame(conn, body, len, body + len, out, want);
}

static int read_long_frame(uart_conn *conn, uint8_t *out, int want, Clock::time_point deadline) {
    uint8_t hdr[2];
    if (!read_frame_head(conn, hdr, 2, deadline, __func__))
        return -1;
    uint8_t body[kLongData + 2];
    int r = uart_port_read(conn->port, body, kLongData + 2, kFrameBodyMs);
    if (r != kLongData + 2) {
        UPG_LOGE("Read data error, len %d != %d", r, kLongData + 2);
        return -1;
    }
    return accept_frame(conn, body, kLongData, body + kLongData, out, want);
}

int libuart_recv(uart_conn *conn, void *buf, int n, int timeout_ms) {
    auto start = Clock::now();
    if (!conn) {
        UPG_LOGE("Connection is NULL");
        return -1;
    }
    if (libuart_get_state(conn) != LIBUART_STATE_CONNECTED) {
        UPG_LOGE("Connection is not ready");
        return -1;
    }
    if (n < 0 || (n > 0 && !buf) || timeout_ms < 0) {
        UPG_LOGE("Invalid argument: len %d, timeout %d", n, timeout_ms);
        return -3;
    }
    std::unique_lock<std::timed_mutex> lk(conn->port_mutex);
    UPG_LOGD("Data thread got port access right");

    if (switch_to_recv_mode(conn) != 0) {
        release_port(lk);
        uart_set_state(conn, LIBUART_STATE_DETECTING);
        return 0;
    }

    uint8_t *out = static_cast<uint8_t *>(buf);
    auto deadline = start + milliseconds(timeout_ms);
    int got = 0;
    while (got < n) {
        if (Clock::now() >= deadline) {
            UPG_LOGE("Read data time out.");
            release_port(lk);
            uart_set_state(conn, LIBUART_STATE_CONNECTED);
            return got;
        }
        uint8_t head = 0;
        if (uart_port_read(conn->port, &head, 1, std::min(kHeadWaitMs, msLeft(deadline))) != 1) {
            UPG_LOGD("Recv.. read head failed.");
            continue;
        }
        int r;
        switch (head) {
            case kSTX:
                UPG_LOGD("Long frame incoming...");
                r = read_long_frame(conn, out + got, n - got, deadline);
                if (r > 0) {
                    got += r;
                    UPG_LOGD("read long frame done.");
                } else {
                    UPG_LOGE("read long frame error.");
                }
                break;
            case kSOH:
                UPG_LOGD("Short frame incoming...");
                r = read_short_frame(conn, out + got, n - got, deadline);
                if (r > 0) {
                    got += r;
                    UPG_LOGD("read short frame done.");
                } else {
                    UPG_LOGE("read short frame error.");
                }
                break;
            case kCAN:
                release_port(lk);
                uart_set_state(conn, LIBUART_STATE_CONNECTED);
                return got;
            case kDevA:
                port_send_byte(conn, kACK);
                release_port(lk);
                uart_set_state(conn, LIBUART_STATE_DETECTING);
                return got;
            default:
                UPG_LOGE("%s, got unknown 0x%02x", __func__, head);
                break;
        }
    }
    release_port(lk);
    uart_set_state(conn, LIBUART_STATE_CONNECTED);
    return got;
}
