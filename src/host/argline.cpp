// Cutting and reading the argument line, byte by byte.
#include "host/argline.h"

#include "text/charclass.h"

namespace {

bool IsDelimiter(unsigned char c, const char* delimiters)
{
    for (const char* d = delimiters; *d != '\0'; ++d)
        if (static_cast<unsigned char>(*d) == c)
            return true;
    return false;
}

const unsigned char* SkipSpace(const unsigned char* p)
{
    while (IsSpaceByte(*p))
        ++p;
    return p;
}

}  // namespace

char* NextToken(char* text, const char* delimiters, TokenCursor* cursor)
{
    char* p = text != nullptr ? text : cursor->next;
    while (*p != '\0' && IsDelimiter(static_cast<unsigned char>(*p), delimiters))
        ++p;
    if (*p == '\0') {
        cursor->next = p;
        return nullptr;
    }
    char* token = p;
    while (*p != '\0' && !IsDelimiter(static_cast<unsigned char>(*p), delimiters))
        ++p;
    if (*p != '\0')
        *p++ = '\0';  // only the one delimiter right after the token
    cursor->next = p;
    return token;
}

int32_t ParseDecimal(const char* text)
{
    const unsigned char* p = SkipSpace(reinterpret_cast<const unsigned char*>(text));
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    uint32_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        value = value * 10u + (*p - '0');
    if (negative)
        value = 0u - value;
    return static_cast<int32_t>(value);
}

bool ParseHex(const char* text, uint32_t* value)
{
    const unsigned char* p = SkipSpace(reinterpret_cast<const unsigned char*>(text));
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
        p += 2;
    uint32_t result = 0;
    bool any_digit = false;
    for (int digit; (digit = HexDigitValue(*p)) >= 0; ++p) {
        result = (result << 4) | static_cast<uint32_t>(digit);
        any_digit = true;
    }
    if (!any_digit)
        return false;
    *value = negative ? 0u - result : result;
    return true;
}
