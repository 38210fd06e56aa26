// Reading an SFV list, line by line, in bounded memory.
#include "sfv/sfvlist.h"

#include "text/charclass.h"
#include "text/commandtext.h"

#include <cstring>
#include <initializer_list>

namespace {

constexpr unsigned char kUtf8Mark[] = {0xEF, 0xBB, 0xBF};
constexpr size_t kMaxCrcDigits = 8;

// Refills the chunk; false at the end of the list or on a failed read. The
// first chunk tells the list's form by its byte-order mark.
bool Refill(SfvReader* reader)
{
    uint32_t got = ReadFileChunk(reader->file, reader->chunk, kSfvChunkBytes, &reader->failed);
    reader->at = 0;
    reader->filled = got;
    if (got == 0)
        return false;
    if (reader->at_start) {
        reader->at_start = false;
        const unsigned char* c = reader->chunk;
        if (got >= 2 && c[0] == 0xFF && c[1] == 0xFE)
            reader->form = SfvTextForm::kUtf16Le, reader->at = 2;
        else if (got >= 2 && c[0] == 0xFE && c[1] == 0xFF)
            reader->form = SfvTextForm::kUtf16Be, reader->at = 2;
        else if (got >= sizeof kUtf8Mark && memcmp(c, kUtf8Mark, sizeof kUtf8Mark) == 0)
            reader->at = sizeof kUtf8Mark;
    }
    return true;
}

// The next unit of the list: a byte, or a UTF-16 unit. False at the end (an
// odd byte at the end of a UTF-16 list is no unit).
bool NextUnit(SfvReader* reader, uint32_t* unit)
{
    if (reader->at == reader->filled && !Refill(reader))
        return false;
    unsigned char first = reader->chunk[reader->at++];
    if (reader->form == SfvTextForm::kBytes) {
        *unit = first;
        return true;
    }
    if (reader->at == reader->filled && !Refill(reader))
        return false;
    unsigned char second = reader->chunk[reader->at++];
    *unit = reader->form == SfvTextForm::kUtf16Le ? first | (second << 8) : (first << 8) | second;
    return true;
}

// White space around a line, and the NULs some writers pad a list with.
bool IsTrimmed(uint32_t unit)
{
    return unit == 0 || (unit < 0x80 && IsSpaceByte(static_cast<unsigned char>(unit)));
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

// Windows opens a device for these names in any folder, with any extension:
// COM and LPT take a digit, or a superscript one, two or three (in UTF-8,
// C2 B9, C2 B2 and C2 B3).
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
    if (memcmp(upper, "COM", 3) != 0 && memcmp(upper, "LPT", 3) != 0)
        return false;
    const auto* tail = reinterpret_cast<const unsigned char*>(upper + 3);
    return (base == 4 && tail[0] >= '0' && tail[0] <= '9') ||
           (base == 5 && tail[0] == 0xC2 && (tail[1] == 0xB9 || tail[1] == 0xB2 || tail[1] == 0xB3));
}

}  // namespace

bool IsSfvListableName(const char* name)
{
    if (name[0] == '\0' || name[0] == '\\' || name[0] == '/' || name[strcspn(name, ":")] != '\0' ||
        !IsCommandSafe(name))
        return false;
    for (const char* part = name;;) {
        size_t length = strcspn(part, "\\/");
        if (length == 0 || ClimbsOut(part, length) || IsDeviceName(part, length))
            return false;
        if (part[length] == '\0')
            return true;
        part += length + 1;
    }
}

bool OpenSfvReader(const char* path, SfvReader* reader)
{
    if (!OpenFileForRead(path, &reader->file))
        return false;
    reader->at = reader->filled = 0;
    reader->form = SfvTextForm::kBytes;
    reader->after_cr = false;
    reader->at_start = true;
    reader->failed = false;
    return true;
}

bool NextSfvLine(SfvReader* reader, SfvLine* line)
{
    bool bytes = reader->form == SfvTextForm::kBytes;
    size_t length = 0, limit = kMaxSfvLineBytes;
    bool any = false;  // a line has begun, even an empty one
    line->overlong = line->has_nul = line->unpaired = false;
    for (uint32_t unit;;) {
        if (!NextUnit(reader, &unit)) {
            if (!any)
                return false;
            break;
        }
        // The form is known once the first chunk is in.
        bytes = reader->form == SfvTextForm::kBytes;
        limit = bytes ? kMaxSfvLineBytes : kMaxSfvLineUnits;
        if (reader->after_cr) {
            reader->after_cr = false;
            if (unit == '\n')
                continue;
        }
        if (unit == '\r' || unit == '\n') {
            reader->after_cr = unit == '\r';
            any = true;
            break;
        }
        any = true;
        if (length == 0 && IsTrimmed(unit))
            continue;  // leading white space
        if (length < limit) {
            if (bytes)
                line->text[length++] = static_cast<char>(unit);
            else
                line->units[length++] = static_cast<char16_t>(unit);
        } else {
            line->overlong = true;
        }
    }
    auto at = [&](size_t i) -> uint32_t {
        return bytes ? static_cast<unsigned char>(line->text[i]) : line->units[i];
    };
    while (length > 0 && IsTrimmed(at(length - 1)))
        --length;
    for (size_t i = 0; i < length; ++i)
        line->has_nul |= at(i) == 0;
    if (!bytes) {
        line->units[length] = 0;
        line->unpaired = !line->has_nul && !Utf16ToUtf8(line->units, line->text, sizeof line->text);
        length = line->has_nul || line->unpaired ? 0 : strlen(line->text);
        // What could not be made UTF-8 is still an entry, one not read.
        if (line->has_nul || line->unpaired)
            line->text[length++] = '?';
    }
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

bool ParseSfvEntry(const SfvLine& line, TextEncoding encoding, char* utf8, SfvEntry* entry)
{
    if (line.overlong || line.has_nul || line.unpaired)
        return false;
    size_t length = line.length;
    if (encoding == TextEncoding::kCodePage) {
        if (!CodePageToUtf8(line.text, utf8, kMaxSfvLineBytes + 1))
            return false;
        length = strlen(utf8);
    } else {
        if (!IsValidUtf8(line.text))
            return false;
        memcpy(utf8, line.text, length + 1);
    }
    // The CRC is the last word, the name all before the white space ahead of it.
    size_t word = length;
    while (word > 0 && !IsSpaceByte(static_cast<unsigned char>(utf8[word - 1])))
        --word;
    size_t digits = length - word;
    if (word == 0 || digits == 0 || digits > kMaxCrcDigits)
        return false;
    uint32_t crc = 0;
    for (size_t i = word; i < length; ++i) {
        int digit = HexDigitValue(static_cast<unsigned char>(utf8[i]));
        if (digit < 0)
            return false;
        crc = (crc << 4) | static_cast<uint32_t>(digit);
    }
    size_t name_end = word;
    while (name_end > 0 && IsSpaceByte(static_cast<unsigned char>(utf8[name_end - 1])))
        --name_end;
    char* name = utf8;
    if (name_end >= 2 && name[0] == '"' && name[name_end - 1] == '"')
        ++name, name_end -= 2;
    name[name_end] = '\0';
    if (name_end == 0 || !IsSfvListableName(name))
        return false;
    *entry = {name, crc};
    return true;
}
