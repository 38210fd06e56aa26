// libFuzzer target for the UTF-8 rule that decides how host text is read.
// IsValidUtf8 is compared with a decoder written the plain way round (decode
// by the lead byte's bit count, then reject what RFC 3629 forbids by value),
// and every well-formed text must convert to UTF-16 and back to its own
// bytes. The input's bytes are also read as UTF-16 units: where they hold no
// unpaired surrogate they must convert to UTF-8 and back to the same units.
#include "text/encoding.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

bool StraightforwardValid(const unsigned char* s, size_t n)
{
    size_t i = 0;
    while (i < n) {
        unsigned char lead = s[i];
        int length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3
                   : (lead >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > n)
            return false;
        uint32_t value = length == 1 ? lead : lead & (0xFF >> (length + 1));
        for (int k = 1; k < length; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                return false;
            value = (value << 6) | (s[i + k] & 0x3F);
        }
        const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (value < least[length] || value > 0x10FFFF || (value >= 0xD800 && value < 0xE000))
            return false;
        i += length;
    }
    return true;
}

bool HasUnpairedSurrogate(const std::vector<char16_t>& units)
{
    for (size_t i = 0; i + 1 < units.size(); ++i) {
        char16_t u = units[i];
        if (u >= 0xD800 && u < 0xDC00 && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000)
            ++i;
        else if (u >= 0xD800 && u < 0xE000)
            return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // As text the input ends at its first zero byte, as a host's text does.
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    size_t length = strlen(text.data());
    bool valid = IsValidUtf8(text.data());
    if (valid != StraightforwardValid(data, length))
        abort();

    std::vector<char16_t> wide(length + 1);
    if (Utf8ToUtf16(text.data(), wide.data(), wide.size()) != valid)
        abort();
    if (valid) {
        std::vector<char> back(length + 1);
        if (!Utf16ToUtf8(wide.data(), back.data(), back.size()) ||
            strcmp(back.data(), text.data()) != 0)
            abort();
    }

    std::vector<char16_t> units(size / 2 + 1, 0);
    memcpy(units.data(), data, size / 2 * 2);
    size_t unit_count = 0;
    while (units[unit_count] != 0)
        ++unit_count;
    units.resize(unit_count + 1);
    std::vector<char> utf8(unit_count * 3 + 1);
    bool faithful = !HasUnpairedSurrogate(units);
    if (Utf16ToUtf8(units.data(), utf8.data(), utf8.size()) != faithful)
        abort();
    if (faithful) {
        std::vector<char16_t> again(unit_count + 1);
        if (!IsValidUtf8(utf8.data()) || !Utf8ToUtf16(utf8.data(), again.data(), again.size()) ||
            again != units)
            abort();
    }
    return 0;
}
