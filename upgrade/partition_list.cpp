// Partition list of the environment ("parts_mmc"): entries "size[@start](name)"
// separated by ",".
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "image.h"
#include "upg_log.h"

namespace {

// Accumulates digits of the given base; saturates instead of wrapping, as the C
// library's conversions do.
uint64_t readDigits(const char *&p, int base) {
    uint64_t v = 0;
    bool saturated = false;
    for (;;) {
        int c = static_cast<unsigned char>(*p);
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            break;
        if (d >= base)
            break;
        if (!saturated) {
            if (v > (UINT64_MAX - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) {
                v = UINT64_MAX;
                saturated = true;
            } else {
                v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
            }
        }
        ++p;
    }
    return v;
}

// Unit letters k/m/g (either case) behind the digits, then an optional "i" and "B".
uint64_t applyUnit(const char *&p, uint64_t v) {
    int shift = 0;
    switch (*p) {
        case 'k':
        case 'K':
            shift = 10;
            break;
        case 'm':
        case 'M':
            shift = 20;
            break;
        case 'g':
        case 'G':
            shift = 30;
            break;
        default:
            return v;
    }
    ++p;
    if (*p == 'i')
        ++p;
    if (*p == 'B')
        ++p;
    return v > (UINT64_MAX >> shift) ? UINT64_MAX : v << shift;
}

// A number with the base chosen as in C ("0x" hex, leading "0" octal).
uint64_t readNumber(const char *&p) {
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && isxdigit(static_cast<unsigned char>(p[2]))) {
        base = 16;
        p += 2;
    } else if (p[0] == '0') {
        base = 8;
    }
    return applyUnit(p, readDigits(p, base));
}

// The "s" size form: the decimal number behind the first ":" of the size text.
bool readSectorForm(const char *&p, uint64_t *size) {
    const char *q = p;
    while (*q && *q != ':' && *q != '(' && *q != '@' && *q != ',')
        ++q;
    if (*q != ':') {
        UPG_LOGE("Partition size \"%.*s\" has no ':'.", static_cast<int>(q - p), p);
        return false;
    }
    p = q + 1;
    *size = applyUnit(p, readDigits(p, 10));
    return true;
}

}  // namespace

PartitionEntry *image_partition_parse(const char *text, uint64_t first_start) {
    if (!text)
        return nullptr;
    PartitionEntry *head = nullptr;
    PartitionEntry **link = &head;
    uint64_t defaultStart = first_start;
    const char *p = text;

    // One pass per entry. A list may be long (it comes from an image), so the
    // entries are chained in a loop, never by recursion.
    for (;;) {
        PartitionEntry *e = static_cast<PartitionEntry *>(calloc(1, sizeof(PartitionEntry)));
        if (!e) {
            UPG_LOGE("Error, malloc for partition failed.");
            image_partition_release(head);
            return nullptr;
        }
        e->start = defaultStart;
        bool ok = true;
        if (*p == '-') {
            e->size = 0;
            ++p;
        } else if (*p == 's') {
            ok = readSectorForm(p, &e->size);
        } else {
            e->size = readNumber(p);
        }
        if (ok && *p == '@') {
            ++p;
            e->start = readNumber(p);
        }
        if (ok && *p != '(') {
            UPG_LOGE("Partition name should be next of size.");
            ok = false;
        }
        if (!ok) {
            // A failing later entry leaves the entries before it as the list.
            free(e);
            break;
        }
        ++p;
        const char *nameAt = p;
        size_t n = 0;
        while (n < PARTITION_NAME_LEN && *p && *p != ')')
            e->name[n++] = *p++;
        // Whatever the entry cannot hold fails the whole list: taking the rest
        // as a new start or dropping it would hand the burn's partition filter
        // and the card's table a different list from the one the image means.
        if (*p != ')') {
            if (*p)
                UPG_LOGE("Partition name \"%.*s...\" at offset %zu is longer than %d characters.",
                         PARTITION_NAME_LEN, nameAt, static_cast<size_t>(nameAt - text),
                         PARTITION_NAME_LEN);
            else
                UPG_LOGE("Partition name \"%s\" at offset %zu has no closing ')'.", nameAt,
                         static_cast<size_t>(nameAt - text));
            free(e);
            image_partition_release(head);
            return nullptr;
        }
        ++p;
        *link = e;
        link = &e->next;
        if (*p == '\0')
            break;
        if (*p != ',') {
            const unsigned char c = static_cast<unsigned char>(*p);
            const size_t at = static_cast<size_t>(p - text);
            if (isprint(c))
                UPG_LOGE(
                    "Unexpected '%c' at offset %zu behind partition \"%.*s\": entries are "
                    "separated by ','.",
                    c, at, PARTITION_NAME_LEN, e->name);
            else
                UPG_LOGE(
                    "Unexpected byte 0x%02X at offset %zu behind partition \"%.*s\": "
                    "entries are separated by ','.",
                    c, at, PARTITION_NAME_LEN, e->name);
            image_partition_release(head);
            return nullptr;
        }
        ++p;
        defaultStart = e->start + e->size;
    }

    // An entry counts as parsed once the rest of the list behind it is, so the
    // log names the entries from the last to the first.
    std::vector<const PartitionEntry *> order;
    for (const PartitionEntry *e = head; e; e = e->next)
        order.push_back(e);
    for (auto it = order.rbegin(); it != order.rend(); ++it)
        UPG_LOGD("Part %.*s: start %u size %u", PARTITION_NAME_LEN, (*it)->name,
                 static_cast<unsigned>((*it)->start), static_cast<unsigned>((*it)->size));
    return head;
}

void image_partition_release(PartitionEntry *list) {
    while (list) {
        PartitionEntry *next = list->next;
        free(list);
        list = next;
    }
}

int image_partition_count(const PartitionEntry *list) {
    int n = 0;
    for (; list; list = list->next)
        ++n;
    return n;
}
