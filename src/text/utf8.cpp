// UTF-8 (RFC 3629) checked and converted to and from UTF-16.
//
// A code point is one to four bytes. The lead byte gives the length; every
// further byte is a continuation byte 10xxxxxx:
//
//   U+0000   .. U+007F     0xxxxxxx
//   U+0080   .. U+07FF     110xxxxx 10xxxxxx
//   U+0800   .. U+FFFF     1110xxxx 10xxxxxx 10xxxxxx
//   U+10000  .. U+10FFFF   11110xxx 10xxxxxx 10xxxxxx 10xxxxxx
//
// A form is well-formed only when it is the shortest for its value (no
// overlong forms, so lead bytes C0, C1 and F5 to FF never occur), its value is
// not a UTF-16 surrogate (U+D800 to U+DFFF) and is at most U+10FFFF. Those
// three rules narrow only the second byte's range, by lead byte, exactly as
// the RFC's table does. UTF-16 holds values above U+FFFF as a surrogate pair,
// high (D800-DBFF) then low (DC00-DFFF).
#include "text/encoding.h"

namespace {

constexpr uint32_t kHighSurrogateFirst = 0xD800;
constexpr uint32_t kLowSurrogateFirst = 0xDC00;
constexpr uint32_t kSurrogateEnd = 0xE000;
constexpr uint32_t kFirstSupplementary = 0x10000;

bool IsContinuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

// The length of the form a lead byte begins, with the range its second byte
// must lie in; 0 for a byte that begins no well-formed form.
int LeadLength(unsigned char lead, unsigned char* low, unsigned char* high)
{
    *low = 0x80;
    *high = 0xBF;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (lead == 0xE0)
            *low = 0xA0;  // below is overlong
        else if (lead == 0xED)
            *high = 0x9F;  // above are the surrogates
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (lead == 0xF0)
            *low = 0x90;  // below is overlong
        else if (lead == 0xF4)
            *high = 0x8F;  // above is past U+10FFFF
        return 4;
    }
    return 0;
}

// Decodes the code point at `s` (not at its terminator). Returns its length
// in bytes with the value in *point, or 0 when the bytes there are not
// well-formed.
int DecodeUtf8(const unsigned char* s, uint32_t* point)
{
    unsigned char lead = s[0];
    if (lead < 0x80) {
        *point = lead;
        return 1;
    }
    unsigned char low, high;  // the second byte's range
    int length = LeadLength(lead, &low, &high);
    if (length == 0)
        return 0;
    if (s[1] < low || s[1] > high)
        return 0;
    uint32_t value = lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        // A terminator is not a continuation byte, so a cut sequence stops here.
        if (!IsContinuation(s[i]))
            return 0;
        value = (value << 6) | (s[i] & 0x3F);
    }
    *point = value;
    return length;
}

// Decodes the whole text, writing its UTF-16 form when `wide` is given. False
// when it is not well-formed, or does not fit `capacity` units.
bool DecodeText(const char* text, char16_t* wide, size_t capacity)
{
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    size_t n = 0;
    while (*s != 0) {
        uint32_t point;
        int length = DecodeUtf8(s, &point);
        if (length == 0)
            return false;
        s += length;
        if (wide == nullptr)
            continue;
        if (point < kFirstSupplementary) {
            if (n + 1 >= capacity)
                return false;
            wide[n++] = static_cast<char16_t>(point);
        } else {
            if (n + 2 >= capacity)
                return false;
            point -= kFirstSupplementary;
            wide[n++] = static_cast<char16_t>(kHighSurrogateFirst + (point >> 10));
            wide[n++] = static_cast<char16_t>(kLowSurrogateFirst + (point & 0x3FF));
        }
    }
    if (wide == nullptr)
        return true;
    if (n >= capacity)
        return false;
    wide[n] = 0;
    return true;
}

}  // namespace

bool IsValidUtf8(const char* text)
{
    return DecodeText(text, nullptr, 0);
}

bool HasHighBytes(const char* text)
{
    for (const auto* s = reinterpret_cast<const unsigned char*>(text); *s != 0; ++s)
        if (*s >= 0x80)
            return true;
    return false;
}

bool Utf8ToUtf16(const char* text, char16_t* wide, size_t capacity)
{
    return DecodeText(text, wide, capacity);
}

bool Utf16ToUtf8(const char16_t* wide, char* text, size_t capacity)
{
    size_t n = 0;
    for (size_t i = 0; wide[i] != 0; ++i) {
        uint32_t point = wide[i];
        if (point >= kHighSurrogateFirst && point < kSurrogateEnd) {
            uint32_t next = wide[i + 1];
            bool paired = point < kLowSurrogateFirst && next >= kLowSurrogateFirst &&
                          next < kSurrogateEnd;
            if (!paired)
                return false;
            point = kFirstSupplementary + ((point - kHighSurrogateFirst) << 10) +
                    (next - kLowSurrogateFirst);
            ++i;
        }
        int length = point < 0x80 ? 1 : point < 0x800 ? 2 : point < kFirstSupplementary ? 3 : 4;
        if (n + length >= capacity)
            return false;
        if (length == 1) {
            text[n++] = static_cast<char>(point);
            continue;
        }
        // The lead byte carries `length` one-bits, then the value's top bits.
        static constexpr unsigned char kLeadMark[5] = {0, 0, 0xC0, 0xE0, 0xF0};
        text[n] = static_cast<char>(kLeadMark[length] | (point >> (6 * (length - 1))));
        for (int k = 1; k < length; ++k)
            text[n + k] = static_cast<char>(0x80 | ((point >> (6 * (length - 1 - k))) & 0x3F));
        n += length;
    }
    if (n >= capacity)
        return false;
    text[n] = '\0';
    return true;
}

void CheckUtf8Piece(Utf8Check* check, const char* bytes, size_t length)
{
    const auto* s = reinterpret_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < length && check->valid; ++i) {
        if (check->pending > 0) {
            check->valid = s[i] >= check->low && s[i] <= check->high;
            --check->pending;
            check->low = 0x80;
            check->high = 0xBF;
        } else if (s[i] >= 0x80) {
            int form = LeadLength(s[i], &check->low, &check->high);
            check->valid = form != 0;
            check->pending = static_cast<uint8_t>(form - 1);
        }
    }
}
