// Reading an SFV list, line by line, in bounded memory.
#include "sfv/sfvlist.h"

#include "text/charclass.h"
#include "text/commandtext.h"

#include <cstring>
#include <initializer_list>

namespace {

constexpr unsigned char kByteOrderMark[] = {0xEF, 0xBB, 0xBF};
constexpr size_t kMaxCrcDigits = 8;

// Refills the chunk; false at the end of the list or on a failed read.
bool Refill(SfvReader* reader)
{
    uint32_t got = ReadFileChunk(reader->file, reader->chunk, kSfvChunkBytes, &reader->failed);
    reader->at = 0;
    reader->filled = got;
    if (got == 0)
        return false;
    size_t skip = 0;
    if (reader->at_start && got >= sizeof kByteOrderMark &&
        memcmp(reader->chunk, kByteOrderMark, sizeof kByteOrderMark) == 0)
        skip = sizeof kByteOrderMark;
    reader->at_start = false;
    reader->at = skip;
    CheckUtf8Piece(&reader->utf8, reader->chunk + skip, got - skip);
    return true;
}

// A component that climbs out: "..", or dots and spaces only with two dots
// or more, which Windows shortens (it drops a name's trailing dots and
// spaces).
bool ClimbsOut(const char* component, size_t length)
{
    size_t dots = 0;
    for (size_t i = 0; i < length; ++i) {
        if (component[i] == '.')
            ++dots;
        else if (component[i] != ' ')
            return false;
    }
    return dots >= 2;
}

// Windows opens a device for these names in any folder, with any extension.
bool IsDeviceName(const char* component, size_t length)
{
    size_t base = 0;
    while (base < length && component[base] != '.')
        ++base;
    while (base > 0 && component[base - 1] == ' ')
        --base;
    char upper[8];
    if (base < 3 || base >= sizeof upper)
        return false;
    for (size_t i = 0; i < base; ++i)
        upper[i] = component[i] >= 'a' && component[i] <= 'z' ? char(component[i] - 32) : component[i];
    upper[base] = '\0';
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (strcmp(upper, device) == 0)
            return true;
    return base == 4 && (memcmp(upper, "COM", 3) == 0 || memcmp(upper, "LPT", 3) == 0) &&
           upper[3] >= '0' && upper[3] <= '9';
}

bool IsReadableName(const char* name, TextEncoding encoding)
{
    if (name[0] == '\\' || name[0] == '/' || name[strcspn(name, ":")] != '\0' ||
        !IsCommandSafe(name, encoding))
        return false;
    for (const char* part = name;;) {
        size_t length = strcspn(part, "\\/");
        if (ClimbsOut(part, length) || IsDeviceName(part, length))
            return false;
        if (part[length] == '\0')
            return true;
        part += length + 1;
    }
}

}  // namespace

bool OpenSfvReader(const char* path, TextEncoding encoding, SfvReader* reader)
{
    if (!OpenFileForRead(path, encoding, &reader->file))
        return false;
    reader->at = reader->filled = 0;
    reader->after_cr = false;
    reader->at_start = true;
    reader->failed = false;
    reader->utf8 = Utf8Check();
    return true;
}

bool NextSfvLine(SfvReader* reader, SfvLine* line)
{
    size_t length = 0;
    bool any = false;  // a line has begun, even an empty one
    line->overlong = false;
    line->has_nul = false;
    for (;;) {
        if (reader->at == reader->filled && !Refill(reader)) {
            if (!any)
                return false;
            break;
        }
        char c = reader->chunk[reader->at++];
        if (reader->after_cr) {
            reader->after_cr = false;
            if (c == '\n')
                continue;
        }
        if (c == '\r' || c == '\n') {
            reader->after_cr = c == '\r';
            any = true;
            break;
        }
        any = true;
        line->has_nul |= c == '\0';
        if (length == 0 && IsSpaceByte(static_cast<unsigned char>(c)))
            continue;  // leading white space
        if (length < kMaxSfvLineBytes)
            line->text[length++] = c;
        else
            line->overlong = true;
    }
    while (length > 0 && IsSpaceByte(static_cast<unsigned char>(line->text[length - 1])))
        --length;
    line->text[length] = '\0';
    line->length = length;
    return true;
}

void CloseSfvReader(SfvReader* reader)
{
    CloseFile(reader->file);
}

bool IsSfvEntry(const SfvLine& line)
{
    return line.length > 0 && line.text[0] != ';';
}

bool ParseSfvEntry(SfvLine* line, TextEncoding encoding, SfvEntry* entry)
{
    if (line->overlong || line->has_nul)
        return false;
    // The CRC is the last word, the name all before the white space ahead of it.
    size_t word = line->length;
    while (word > 0 && !IsSpaceByte(static_cast<unsigned char>(line->text[word - 1])))
        --word;
    size_t digits = line->length - word;
    if (word == 0 || digits == 0 || digits > kMaxCrcDigits)
        return false;
    uint32_t crc = 0;
    for (size_t i = word; i < line->length; ++i) {
        int digit = HexDigitValue(static_cast<unsigned char>(line->text[i]));
        if (digit < 0)
            return false;
        crc = (crc << 4) | static_cast<uint32_t>(digit);
    }
    size_t name_end = word;
    while (name_end > 0 && IsSpaceByte(static_cast<unsigned char>(line->text[name_end - 1])))
        --name_end;
    line->text[name_end] = '\0';
    if (name_end == 0 || !IsReadableName(line->text, encoding))
        return false;
    *entry = {line->text, crc};
    return true;
}
