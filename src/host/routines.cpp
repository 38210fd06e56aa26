// The host routines: each takes its argument text from the data buffer,
// runs one operation and leaves the result text in the same buffer. A null
// data buffer has nothing to read or to answer in, so it is left alone.
#include "host/host.h"

#include "crc/filecrc.h"
#include "host/argline.h"
#include "host/hextext.h"
#include "search/search.h"
#include "version/version.h"

#include <cstring>

namespace {

constexpr int kCrcDigits = 8;
constexpr char kVersionFailure[] = "?";

}  // namespace

int TALLOWIX_STDCALL Get32BitCrc(void*, void*, char* data, char*, int, int)
{
    if (data == nullptr)
        return kHostReturnResult;
    uint32_t crc = CalcFileCrc(data);
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
    // so the search's first write (data[0]) cannot touch it.
    FindFileSizeCrc(size, crc, directory, data);
    return kHostReturnResult;
}
