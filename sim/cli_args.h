// Option values of the simulator's subcommands.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <string>

namespace kelsim {

// A whole number within [lo, hi], decimal or 0x hex; nothing may follow it.
inline bool parseNumber(const std::string &s, long long lo, long long hi, long long *out) {
    if (s.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const long long v = strtoll(s.c_str(), &end, 0);
    if (errno || *end || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

}  // namespace kelsim
