// The layouts of the fuzz inputs that are more than the raw bytes of one
// subject, shared by the targets and the seed generator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace fuzzin {

// A cursor over the input. Reading past the end yields zeros; left() tells
// whether anything was there.
class Reader {
public:
    Reader(const uint8_t *data, size_t size) : m_data(data), m_left(size) {}
    size_t left() const { return m_left; }
    const uint8_t *here() const { return m_data; }
    // Up to n bytes into out (which may be none); returns how many there were.
    size_t take(uint8_t *out, size_t n) {
        size_t k = n < m_left ? n : m_left;
        if (out && k)
            memcpy(out, m_data, k);
        m_data += k;
        m_left -= k;
        return k;
    }
    uint8_t u8() {
        uint8_t b[1] = {0};
        take(b, 1);
        return b[0];
    }
    uint16_t u16() { return uint16_t(u8() | u8() << 8); }
    uint32_t u32() { return uint32_t(u16()) | uint32_t(u16()) << 16; }

private:
    const uint8_t *m_data;
    size_t m_left;
};

// uart_fuzz: [op][length: u16 little-endian][what the device sends on the line].
// op bit 0 clear: libuart_recv of length % (kUartMaxRecv + 1) bytes; the device
// bytes answer DC2 and carry the frames. Set: libuart_send of length %
// (kUartMaxSend + 1) bytes; the device bytes answer DC1 and each frame.
constexpr size_t kUartHeadSize = 3;
constexpr int kUartMaxRecv = 4096;
constexpr int kUartMaxSend = 3 * 1024 + 200;

// cmd_fuzz: a sequence of steps, each [step byte][arguments][the data phases the
// device sends for that command, back to back]. The step byte is taken modulo
// kStepCount. Arguments:
//   kWrite, kRead, kFwcDataUpdate, kReadFwcData: u16 byte count
//   kSendCmdline: u8 length - 1, then the text
//   kFwcDataStart, kReadFwcDataStart: u32 component size
//   every other step: none
enum CmdStep : uint8_t {
    kGetHwinfo,
    kGetTraceinfo,
    kWrite,
    kRead,
    kSendCmdline,
    kSetUpgCfg,
    kSetUpgEnd,
    kSetFwcMeta,
    kGetBlockSize,
    kFwcDataStart,
    kFwcDataUpdate,
    kFwcDataFinal,
    kGetFwcCrc,
    kGetFwcBurnResult,
    kGetFwcRunResult,
    kGetStorageMedia,
    kGetPartitionTable,
    kReadFwcDataStart,
    kReadFwcData,
    kProbePacketSize,
    kStepCount
};

}  // namespace fuzzin
