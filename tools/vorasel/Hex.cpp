#include "Hex.h"

#include <cctype>
#include <cstdio>

namespace vorasel::tool {

bool parseHex(const std::string &text, std::vector<uint8_t> &out, std::string &error) {
    out.clear();
    int high = -1;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == ' ' || c == ':' || c == '\t' || c == '\r') continue;
        if (!std::isxdigit(u)) {
            error = std::string("not a hex digit: '") + c + "'";
            return false;
        }
        const int v = std::isdigit(u) ? c - '0' : std::tolower(u) - 'a' + 10;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) {
        error = "odd number of hex digits";
        return false;
    }
    if (out.empty()) {
        error = "no bytes";
        return false;
    }
    return true;
}

bool isByteArg(const std::string &a) {
    return a.size() == 2 && std::isxdigit(static_cast<unsigned char>(a[0])) &&
           std::isxdigit(static_cast<unsigned char>(a[1]));
}

std::string hex(const uint8_t *bytes, size_t length, const char *separator) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
        if (i) s += separator;
        s += buf;
    }
    return s;
}

std::string hex(const std::vector<uint8_t> &bytes, const char *separator) {
    return hex(bytes.data(), bytes.size(), separator);
}

}  // namespace vorasel::tool
