// Colour escape codes for the console logger: which kind of codes the environment asks for, the
// 16- and 256-entry terminal palettes, and the codes for one colour.
#pragma once

#include <cstdint>
#include <string>

namespace hv::logging {

enum class ColorCodes {
    None,         // no colour codes at all
    Terminal16,   // SGR 30-37/90-97 and 40-47/100-107
    Terminal256,  // SGR 38;5;N and 48;5;N
    XcodeColors,  // the XcodeColors plug-in's "fgR,G,B;" and "bgR,G,B;"
};

// From the values of TERM and XcodeColors (null when unset): TERM containing "color" (in any
// case) selects terminal codes, 256 colours when it also contains "256"; with no TERM at all,
// XcodeColors equal to "YES" selects the plug-in's codes.
ColorCodes colorCodesFor(const char *term, const char *xcodeColors);

struct Rgb {
    uint8_t r, g, b;
};

// The palette entry nearest to `color` (squared distance in RGB; the lower index on a tie).
// Palette 16 is xterm's default set; palette 256 adds the 6x6x6 cube and 24 greys.
unsigned nearestPaletteIndex(unsigned paletteSize, Rgb color);
Rgb paletteColor(unsigned index);

std::string foregroundCode(ColorCodes codes, Rgb color);
std::string backgroundCode(ColorCodes codes, Rgb color);
// What ends a coloured line; empty for None.
std::string resetCode(ColorCodes codes);

}  // namespace hv::logging
