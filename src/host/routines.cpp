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
#include <iterator>

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

// Each operation reads its argument text and writes its answer (at most
// kHostResultCapacity bytes) to `answer`, which may be the argument's own
// buffer, as the plain routines pass it. Returns the answer's encoding.
using Operation = TextEncoding (*)(char* argument, char* answer);

TextEncoding AnswerCrc(char* path, char* answer)
{
    TextEncoding encoding = HostTextEncoding(path);
    uint32_t crc = kUnopenableCrc;
    if (!TryCalcFileCrc(path, encoding, &crc) && MayBeCodePageToo(path, encoding))
        TryCalcFileCrc(path, TextEncoding::kCodePage, &crc);
    WriteHexDigits(answer, crc, kCrcDigits, false);
    answer[kCrcDigits] = '\0';
    return TextEncoding::kUtf8;  // ASCII
}

TextEncoding AnswerSearch(char* line, char* answer)
{
    TokenCursor cursor;
    char* size_text = NextToken(line, ",", &cursor);
    char* crc_text = size_text ? NextToken(nullptr, ",", &cursor) : nullptr;
    char* directory = crc_text ? NextToken(nullptr, "", &cursor) : nullptr;
    uint32_t crc = 0;
    // A CRC piece without a hexadecimal value names no file: answer empty
    // rather than search for a value nobody asked for.
    if (directory == nullptr || !ParseHex(crc_text, &crc)) {
        answer[0] = '\0';
        return TextEncoding::kUtf8;
    }
    uint32_t size = static_cast<uint32_t>(ParseDecimal(size_text));
    // The directory lies behind the size and CRC pieces in the line, so the
    // search's first write (answer[0]) cannot touch it when the answer goes
    // into the line's own buffer, and it is still whole for a second reading.
    // The answer is in the encoding the directory was read in.
    TextEncoding encoding = HostTextEncoding(directory);
    if (SearchFileSizeCrc(size, crc, directory, encoding, answer) == SearchOutcome::kUnlistable &&
        MayBeCodePageToo(directory, encoding)) {
        encoding = TextEncoding::kCodePage;
        SearchFileSizeCrc(size, crc, directory, encoding, answer);
    }
    return encoding;
}

// The signal routines hand the host the command
//
//     /signal tallowix OPERATION TAG ANSWER
//
// which a script takes in "on *:SIGNAL:tallowix:" as $1 (the operation), $2
// (its own tag) and $3- (the answer). The signal is queued, not run at once
// (-n): the host takes the command in a moment and runs the script's handler
// once its current script has ended, never nested inside another script and
// never while this routine still waits for the host.
constexpr char kSignalCommand[] = "/signal tallowix ";
// The tag is the text's first word: 1 to 255 bytes, no control bytes (the
// command is one line) and not a lone "|" (the host's command separator).
constexpr size_t kMaxTagBytes = 255;
// A command handed back in the data buffer fits the smallest buffer any mIRC
// has had: the prefix, the longest operation name, two spaces, a tag and an
// answer.
constexpr size_t kHostCommandCapacity = 900;
static_assert(sizeof kSignalCommand + sizeof "MIRCFindFileSizeCrc" + 2 + kMaxTagBytes +
                      kHostResultCapacity <= kHostCommandCapacity,
              "every command fits the smallest host buffer");

bool IsTag(const char* text, size_t length)
{
    if (length == 0 || length > kMaxTagBytes || (length == 1 && text[0] == '|'))
        return false;
    for (size_t i = 0; i < length; ++i)
        if (static_cast<unsigned char>(text[i]) < 0x20)
            return false;
    return true;
}

int SignalAnswer(void* window, char* data, const char* name, Operation operation)
{
    if (data == nullptr)
        return kHostReturnResult;
    size_t tag_length = strcspn(data, " ");
    if (!IsTag(data, tag_length)) {
        data[0] = '\0';  // no tag to answer under: nothing is run
        return kHostReturnResult;
    }
    char tag[kMaxTagBytes + 1];
    memcpy(tag, data, tag_length);
    tag[tag_length] = '\0';
    char* argument = data + tag_length + (data[tag_length] == ' ');
    char answer[kHostResultCapacity];
    TextEncoding encoding = operation(argument, answer);

    const TextPiece command[] = {
        {kSignalCommand, TextEncoding::kUtf8}, {name, TextEncoding::kUtf8},
        {" ", TextEncoding::kUtf8},            {tag, HostTextEncoding(tag)},
        {" ", TextEncoding::kUtf8},            {answer, encoding},
    };
    if (SendHostCommand(window, command, std::size(command)) != CommandDelivery::kNotHandedOver) {
        // Taken, or perhaps taken after the wait ran out: it must not be
        // handed over a second time.
        memcpy(data, answer, strlen(answer) + 1);
        return kHostReturnResult;
    }
    // Surely not handed over: the host runs the command from the buffer.
    JoinTextPieces(command, std::size(command), data, kHostCommandCapacity);
    return kHostReturnCommand;
}

}  // namespace

int TALLOWIX_STDCALL Get32BitCrc(void*, void*, char* data, char*, int, int)
{
    if (data != nullptr)
        AnswerCrc(data, data);
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
    if (data != nullptr)
        AnswerSearch(data, data);
    return kHostReturnResult;
}

int TALLOWIX_STDCALL SignalGet32BitCrc(void* main_window, void*, char* data, char*, int, int)
{
    return SignalAnswer(main_window, data, "Get32BitCrc", AnswerCrc);
}

int TALLOWIX_STDCALL SignalFindFileSizeCrc(void* main_window, void*, char* data, char*, int, int)
{
    return SignalAnswer(main_window, data, "MIRCFindFileSizeCrc", AnswerSearch);
}
