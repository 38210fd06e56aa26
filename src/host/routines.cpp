// The host routines: each takes its argument text from the data buffer,
// runs one operation and leaves the result text in the same buffer. A null
// data buffer has nothing to read or to answer in, so it is left alone.
//
// Host text is read here, once: mIRC 7 and later send UTF-8 and read the
// answer back as UTF-8, older hosts send code-page text. Text that is
// well-formed UTF-8 is read as UTF-8, anything else as code-page text. Some
// code-page text is also well-formed UTF-8 (the code-page bytes of "Ã¶" are
// the UTF-8 of "ö"), so when the UTF-8 reading of text with bytes of 0x80 and
// up names nothing, the text is tried once more in the code page. Plain ASCII
// reads the same both ways and is tried once.
#include "host/host.h"

#include "crc/filecrc.h"
#include "host/argline.h"
#include "text/hextext.h"
#include "search/search.h"
#include "text/encoding.h"
#include "version/version.h"

#include <cstring>

namespace {

constexpr int kCrcDigits = 8;
constexpr char kVersionFailure[] = "?";

TextEncoding HostTextEncoding(const char* text)
{
    return IsValidUtf8(text) ? TextEncoding::kUtf8 : TextEncoding::kCodePage;
}

// Whether text read as UTF-8 may yet be meant as code-page text.
bool MayBeCodePageToo(const char* text, TextEncoding encoding)
{
    return encoding == TextEncoding::kUtf8 && HasHighBytes(text);
}

}  // namespace

int TALLOWIX_STDCALL Get32BitCrc(void*, void*, char* data, char*, int, int)
{
    if (data == nullptr)
        return kHostReturnResult;
    TextEncoding encoding = HostTextEncoding(data);
    uint32_t crc = kUnopenableCrc;
    if (!TryCalcFileCrc(data, encoding, &crc) && MayBeCodePageToo(data, encoding))
        TryCalcFileCrc(data, TextEncoding::kCodePage, &crc);
    WriteHexDigits(data, crc, kCrcDigits, false);
    data[kCrcDigits] = '\0';
    return kHostReturnResult;
}

int TALLOWIX_STDCALL GetDllVersion(void*, void*, char* data, char*, int, int)
{
    if (data == nullptr)
        return kHostReturnResult;
    // The key stays intact in the buffer for the whole lookup; the answer
    // replaces it only afterwards.
    char answer[kVersionAnswerCapacity];
    if (QueryVersionString(ModuleHandle, data, answer, sizeof answer))
        memcpy(data, answer, strlen(answer) + 1);
    else
        memcpy(data, kVersionFailure, sizeof kVersionFailure);
    return kHostReturnResult;
}

int TALLOWIX_STDCALL MIRCFindFileSizeCrc(void*, void*, char* data, char*, int, int)
{
    if (data == nullptr)
        return kHostReturnResult;
    TokenCursor cursor;
    char* size_text = NextToken(data, ",", &cursor);
    char* crc_text = size_text ? NextToken(nullptr, ",", &cursor) : nullptr;
    char* directory = crc_text ? NextToken(nullptr, "", &cursor) : nullptr;
    uint32_t crc = 0;
    // A CRC piece without a hexadecimal value names no file: answer empty
    // rather than search for a value nobody asked for.
    if (directory == nullptr || !ParseHex(crc_text, &crc)) {
        data[0] = '\0';
        return kHostReturnResult;
    }
    uint32_t size = static_cast<uint32_t>(ParseDecimal(size_text));
    // The directory lies behind the size and CRC pieces in this same buffer,
    // so the search's first write (data[0]) cannot touch it, and it is still
    // whole for a second reading. The answer is in the directory's encoding.
    TextEncoding encoding = HostTextEncoding(directory);
    if (SearchFileSizeCrc(size, crc, directory, encoding, data) == SearchOutcome::kUnlistable &&
        MayBeCodePageToo(directory, encoding))
        SearchFileSizeCrc(size, crc, directory, TextEncoding::kCodePage, data);
    return kHostReturnResult;
}
