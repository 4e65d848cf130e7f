#include "StatusWords.h"

#include <cstdio>

namespace vorasel::tool {

namespace {

std::string withCount(const char *text, unsigned n) {
    char buf[96];
    std::snprintf(buf, sizeof buf, text, n);
    return buf;
}

const char *exact(uint16_t sw) {
    switch (sw) {
        case 0x9000:
            return "success";
        case 0x6200:
            return "warning: memory unchanged";
        case 0x6281:
            return "warning: part of the returned data may be corrupted";
        case 0x6282:
            return "warning: end of file or record reached before Le bytes";
        case 0x6283:
            return "warning: selected file deactivated";
        case 0x6284:
            return "warning: file control information not formatted properly";
        case 0x6300:
            return "warning: memory changed, authentication failed";
        case 0x6381:
            return "warning: file filled up by the last write";
        case 0x6400:
            return "error: memory unchanged, execution error";
        case 0x6500:
            return "error: memory changed";
        case 0x6581:
            return "error: memory failure";
        case 0x6700:
            return "error: wrong length";
        case 0x6800:
            return "error: functions in CLA not supported";
        case 0x6881:
            return "error: logical channel not supported";
        case 0x6882:
            return "error: secure messaging not supported";
        case 0x6883:
            return "error: last command of the chain expected";
        case 0x6884:
            return "error: command chaining not supported";
        case 0x6900:
            return "error: command not allowed";
        case 0x6981:
            return "error: command incompatible with file structure";
        case 0x6982:
            return "error: security status not satisfied";
        case 0x6983:
            return "error: authentication method blocked";
        case 0x6984:
            return "error: reference data not usable";
        case 0x6985:
            return "error: conditions of use not satisfied";
        case 0x6986:
            return "error: command not allowed (no current EF)";
        case 0x6987:
            return "error: expected secure messaging data objects missing";
        case 0x6988:
            return "error: incorrect secure messaging data objects";
        case 0x6A00:
            return "error: wrong parameters P1-P2";
        case 0x6A80:
            return "error: incorrect parameters in the data field";
        case 0x6A81:
            return "error: function not supported";
        case 0x6A82:
            return "error: file or application not found";
        case 0x6A83:
            return "error: record not found";
        case 0x6A84:
            return "error: not enough memory space in the file";
        case 0x6A85:
            return "error: Nc inconsistent with TLV structure";
        case 0x6A86:
            return "error: incorrect parameters P1-P2";
        case 0x6A87:
            return "error: Nc inconsistent with P1-P2";
        case 0x6A88:
            return "error: referenced data not found";
        case 0x6A89:
            return "error: file already exists";
        case 0x6A8A:
            return "error: DF name already exists";
        case 0x6B00:
            return "error: wrong parameters P1-P2 (offset outside the EF)";
        case 0x6D00:
            return "error: instruction code not supported or invalid";
        case 0x6E00:
            return "error: class not supported";
        case 0x6F00:
            return "error: no precise diagnosis";
        default:
            return nullptr;
    }
}

}  // namespace

std::string statusWordMeaning(uint8_t sw1, uint8_t sw2) {
    if (const char *text = exact(static_cast<uint16_t>(sw1 << 8 | sw2))) return text;
    switch (sw1) {
        case 0x61:
            return withCount("success: %u more bytes available (GET RESPONSE)", sw2 ? sw2 : 256);
        case 0x6C:
            return withCount("error: wrong Le; the exact length is %u", sw2 ? sw2 : 256);
        case 0x63:
            if ((sw2 & 0xF0) == 0xC0) return withCount("warning: counter at %u", sw2 & 0x0F);
            return "warning: memory changed";
        case 0x62:
            return "warning: memory unchanged";
        case 0x64:
        case 0x65:
        case 0x66:
            return "error: execution error";
        case 0x67:
            return "error: wrong length";
        case 0x68:
            return "error: functions in CLA not supported";
        case 0x69:
            return "error: command not allowed";
        case 0x6A:
            return "error: wrong parameters P1-P2";
        default:
            if (sw1 >= 0x90 && sw1 <= 0x9F) return "application-specific status";
            return "unknown status word";
    }
}

}  // namespace vorasel::tool
