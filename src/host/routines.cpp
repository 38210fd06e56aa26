// The host routines: each takes its argument text from the data buffer,
// runs one operation and leaves the result text in the same buffer. A null
// data buffer has nothing to read or to answer in, so it is left alone.
//
// Host text is read here, once, as the host's own rule says (see
// HostTextEncoding): mIRC 7 and later send UTF-8 and read the answer back as
// UTF-8, older hosts send code-page text. When the host has not said which,
// text that is well-formed UTF-8 is read as UTF-8, anything else as
// code-page text; and as some code-page text is also well-formed UTF-8 (the
// code-page bytes of "Ã¶" are the UTF-8 of "ö"), when the UTF-8 reading of
// text with bytes of 0x80 and up names nothing, the text is tried once more
// in the code page.
#include "host/host.h"

#include "crc/filecrc.h"
#include "host/argline.h"
#include "host/calltable.h"
#include "host/lifecycle.h"
#include "search/search.h"
#include "sfv/sfvcheck.h"
#include "text/commandtext.h"
#include "text/decimal.h"
#include "text/encoding.h"
#include "text/hextext.h"
#include "version/version.h"

#include <cstring>
#include <iterator>

namespace {

constexpr int kCrcDigits = 8;
constexpr char kVersionFailure[] = "?";

// Each operation reads its argument text and writes its answer (at most
// kHostResultCapacity bytes) to `answer`, which may be the argument's own
// buffer, as the plain routines pass it. Returns the answer's encoding. A
// background call passes its watch, which may stop the operation part-way
// (the answer is then of no account); the plain routines pass none.
using Operation = TextEncoding (*)(char* argument, char* answer, WorkWatch* watch);

TextEncoding AnswerCrc(char* path, char* answer, WorkWatch* watch)
{
    TextEncoding encoding = HostTextEncoding(path);
    uint32_t crc = kUnopenableCrc;
    if (!TryCalcFileCrc(path, encoding, &crc, watch) && !(watch != nullptr && watch->Stopped()) &&
        MayBeCodePageToo(path, encoding))
        TryCalcFileCrc(path, TextEncoding::kCodePage, &crc, watch);
    WriteHexDigits(answer, crc, kCrcDigits, false);
    answer[kCrcDigits] = '\0';
    return TextEncoding::kUtf8;  // ASCII
}

TextEncoding AnswerSearch(char* line, char* answer, WorkWatch* watch)
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
    // A background search's answer goes into a command: names that could
    // not go there are passed over.
    const SearchOptions options = {watch, watch != nullptr};
    TextEncoding encoding = HostTextEncoding(directory);
    if (SearchFileSizeCrc(size, crc, directory, encoding, answer, options) ==
            SearchOutcome::kUnlistable &&
        MayBeCodePageToo(directory, encoding)) {
        encoding = TextEncoding::kCodePage;
        SearchFileSizeCrc(size, crc, directory, encoding, answer, options);
    }
    return encoding;
}

// The signal routines hand the host the command
//
//     /signal tallowix OPERATION TAG ANSWER
//
// which a script takes in "on *:SIGNAL:tallowix:" as $1 (the operation), $2
// (its own tag) and $3- (the answer); or, for a call told to stop,
//
//     /signal tallowix Cancelled TAG OPERATION
//
// so that a handler looking at $1 never takes it for an answer. The signal is
// queued, not run at once (-n): the host takes the command in a moment and
// runs the script's handler once its current script has ended, never nested
// inside another script and never while this routine still waits for the
// host.
//
// Every piece of the command is free of "|" and of bytes below 0x20 (see
// commandtext.h): the tag must be, an argument that is not names nothing and
// is answered so, and a search passes over names that are not.
constexpr char kSignalCommand[] = "/signal tallowix ";
constexpr char kCancelled[] = "Cancelled";
// A command handed back in the data buffer fits the smallest buffer any mIRC
// has had: the prefix, the longest operation name, two spaces, a tag and an
// answer.
constexpr size_t kHostCommandCapacity = 900;
static_assert(sizeof kSignalCommand + sizeof "MIRCFindFileSizeCrc" + 2 + kMaxTagBytes +
                      kHostResultCapacity <= kHostCommandCapacity,
              "every command fits the smallest host buffer");

// The tag is the text's first word: 1 to kMaxTagBytes bytes, command-safe.
// Returns its length, or 0 when the text has no such first word.
size_t TagLength(const char* text)
{
    size_t length = strcspn(text, " ");
    if (length == 0 || length > kMaxTagBytes)
        return 0;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == '|')
            return 0;
    }
    return length;
}

// What a background call is asked: its tag and its argument. An argument
// that is not command-safe names nothing (see above), so it is read as "".
struct BackgroundRequest {
    char tag[kMaxTagBytes + 1];
    char* argument;
    char nothing[1];
};

// Copies the data's tag into `tag` (kMaxTagBytes + 1 bytes); false without one.
bool CutTag(const char* data, char* tag)
{
    size_t length = TagLength(data);
    memcpy(tag, data, length);
    tag[length] = '\0';
    return length != 0;
}

// False, with the data emptied, when the data has no tag: nothing is run.
bool ReadRequest(char* data, BackgroundRequest* request)
{
    if (!CutTag(data, request->tag)) {
        data[0] = '\0';
        return false;
    }
    size_t length = strlen(request->tag);
    request->argument = data + length + (data[length] == ' ');
    request->nothing[0] = '\0';
    if (!IsCommandSafe(request->argument, HostTextEncoding(request->argument)))
        request->argument = request->nothing;
    return true;
}

// The watch of a running background call: a slot of the table, or, when
// the table is full, one of its own, which nobody else can see.
class CallWatch {
public:
    CallWatch(const char* tag, CallKind kind) : slot_(ClaimCallSlot(tag, kind)) {}
    ~CallWatch() { Release(); }
    CallWatch(const CallWatch&) = delete;
    CallWatch& operator=(const CallWatch&) = delete;
    WorkWatch* get() { return slot_ != nullptr ? slot_ : &own_; }
    // Leaves the table: a cancel from now on no longer counts this call.
    // Returns whether one did, so that a call told to stop after its last
    // look at the flag signals Cancelled all the same, as CancelSignal said.
    bool Release()
    {
        bool told = slot_ != nullptr && ReleaseCallSlot(slot_);
        slot_ = nullptr;
        return told;
    }

private:
    WorkWatch* slot_;
    WorkWatch own_;
};

// Every command the library composes reads "/signal tallowix WORD TAG" and
// then `separator` and `last`.
constexpr size_t kCommandPieces = 6;
void SignalPieces(TextPiece (&pieces)[kCommandPieces], const char* word, const char* tag,
                  const char* separator, TextPiece last)
{
    pieces[0] = {kSignalCommand, TextEncoding::kUtf8};
    pieces[1] = {word, TextEncoding::kUtf8};
    pieces[2] = {" ", TextEncoding::kUtf8};
    pieces[3] = {tag, HostTextEncoding(tag)};
    pieces[4] = {separator, TextEncoding::kUtf8};
    pieces[5] = last;
}

// Ends a background call once the host was handed `command` (or not): 3 with
// `answer` in the data when it may have it, for then it must not be handed
// over a second time; 2 with the command itself when it surely did not get
// it, for the host to run from the buffer.
int FinishCall(bool handed_over, const TextPiece (&command)[kCommandPieces], const char* answer,
               char* data)
{
    if (handed_over) {
        memmove(data, answer, strlen(answer) + 1);
        return kHostReturnResult;
    }
    JoinTextPieces(command, kCommandPieces, data, kHostCommandCapacity);
    return kHostReturnCommand;
}

int SignalAnswer(void* window, char* data, const char* name, CallKind kind, Operation operation)
{
    BackgroundRequest request;
    if (data == nullptr || !ReadRequest(data, &request))
        return kHostReturnResult;
    CallWatch watch(request.tag, kind);
    char answer[kHostResultCapacity];
    TextEncoding encoding = operation(request.argument, answer, watch.get());
    bool cancelled = watch.Release();
    if (cancelled || !IsCommandSafe(answer, encoding))
        answer[0] = '\0';

    TextPiece command[kCommandPieces];
    if (cancelled)
        SignalPieces(command, kCancelled, request.tag, " ", {name, TextEncoding::kUtf8});
    else
        SignalPieces(command, name, request.tag, " ", {answer, encoding});
    return FinishCall(SendHostCommand(window, command, kCommandPieces) !=
                          CommandDelivery::kNotHandedOver,
                      command, answer, data);
}

// Appends " " and the decimal value; returns the new end.
char* AppendCount(char* at, uint64_t value)
{
    *at++ = ' ';
    return at + WriteDecimal(at, value);
}

// A list check hands the host one signal per entry and one at the end,
//
//     /signal tallowix CheckSfv TAG I/N VERDICT NAME
//     /signal tallowix CheckSfv TAG done OK BAD MISSING UNREADABLE INVALID
//
// all through one channel, so that an entry costs one message. An INVALID
// entry's signal carries no name: what the library will not read, it does
// not repeat either.
constexpr char kCheckSfv[] = "CheckSfv";
constexpr const char* kVerdictNames[] = {"OK", "BAD", "MISSING", "UNREADABLE", "INVALID"};

struct SfvDelivery {
    HostChannel channel;
    bool open;  // false once the host has stopped taking commands
    const char* tag;
};

bool DeliverSfvEntry(void* context, uint64_t index, uint64_t count, SfvVerdict verdict,
                     const char* name, TextEncoding encoding)
{
    auto* delivery = static_cast<SfvDelivery*>(context);
    if (!delivery->open)
        return false;
    char position[2 * 21 + 1];
    char* at = position + WriteDecimal(position, index);
    *at++ = '/';
    WriteDecimal(at, count);
    const TextPiece command[] = {
        {kSignalCommand, TextEncoding::kUtf8},
        {kCheckSfv, TextEncoding::kUtf8},
        {" ", TextEncoding::kUtf8},
        {delivery->tag, HostTextEncoding(delivery->tag)},
        {" ", TextEncoding::kUtf8},
        {position, TextEncoding::kUtf8},
        {" ", TextEncoding::kUtf8},
        {kVerdictNames[static_cast<int>(verdict)], TextEncoding::kUtf8},
        {name != nullptr ? " " : "", TextEncoding::kUtf8},
        {name != nullptr ? name : "", encoding},
    };
    if (SendOnHostChannel(&delivery->channel, command, std::size(command)) == CommandDelivery::kTaken)
        return true;
    // Refused, gone, or perhaps taken late: nothing more goes through the
    // mapping the host may yet read.
    CloseHostChannel(&delivery->channel);
    delivery->open = false;
    return false;
}

// Writes "OK BAD MISSING UNREADABLE INVALID" at `text`, then " unreadable"
// for a list that could not be read, or " unfinished" for a check that
// ended because the host stopped taking its signals (the counts are then of
// the entries it took), so that neither reads as a short list checked.
void WriteSfvCounts(char* text, const SfvCounts& counts, SfvEnd end)
{
    char* at = text + WriteDecimal(text, counts.ok);
    for (uint64_t count : {counts.bad, counts.missing, counts.unreadable, counts.invalid})
        at = AppendCount(at, count);
    const char* tail = end == SfvEnd::kListUnreadable ? " unreadable"
                       : end == SfvEnd::kReportRefused ? " unfinished"
                                                       : "";
    memcpy(at, tail, strlen(tail) + 1);
}

const char* OperationName(CallKind kind)
{
    switch (kind) {
    case CallKind::kCrc:
        return "Get32BitCrc";
    case CallKind::kSearch:
        return "MIRCFindFileSizeCrc";
    case CallKind::kSfv:
        return "CheckSfv";
    }
    return "";
}

}  // namespace

int TALLOWIX_STDCALL Get32BitCrc(void*, void*, char* data, char*, int, int)
{
    CallScope scope;
    if (data != nullptr)
        AnswerCrc(data, data, nullptr);
    return kHostReturnResult;
}

int TALLOWIX_STDCALL GetDllVersion(void*, void*, char* data, char*, int, int)
{
    CallScope scope;
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
    CallScope scope;
    if (data != nullptr)
        AnswerSearch(data, data, nullptr);
    return kHostReturnResult;
}

int TALLOWIX_STDCALL FindFileSizeCrc(uint32_t size, uint32_t crc, const char* directory,
                                     char* output)
{
    CallScope scope;
    return SearchFileSizeCrc(size, crc, directory, TextEncoding::kCodePage, output) ==
                   SearchOutcome::kFound
               ? 1
               : 0;
}

int TALLOWIX_STDCALL SignalGet32BitCrc(void* main_window, void*, char* data, char*, int, int)
{
    CallScope scope;
    return SignalAnswer(main_window, data, "Get32BitCrc", CallKind::kCrc, AnswerCrc);
}

int TALLOWIX_STDCALL SignalFindFileSizeCrc(void* main_window, void*, char* data, char*, int, int)
{
    CallScope scope;
    return SignalAnswer(main_window, data, "MIRCFindFileSizeCrc", CallKind::kSearch, AnswerSearch);
}

int TALLOWIX_STDCALL CancelSignal(void*, void*, char* data, char*, int, int)
{
    CallScope scope;
    if (data == nullptr)
        return kHostReturnResult;
    char tag[kMaxTagBytes + 1];
    int told = CutTag(data, tag) ? StopCalls(tag) : 0;
    WriteDecimal(data, static_cast<uint64_t>(told));
    return kHostReturnResult;
}

int TALLOWIX_STDCALL GetSignalProgress(void*, void*, char* data, char*, int, int)
{
    CallScope scope;
    if (data == nullptr)
        return kHostReturnResult;
    char tag[kMaxTagBytes + 1];
    CallProgress progress;
    if (!CutTag(data, tag) || !ReadCallProgress(tag, &progress)) {
        data[0] = '\0';
        return kHostReturnResult;
    }
    // "OPERATION DONE TOTAL"; a list check says where in the list it is first.
    const char* name = OperationName(progress.kind);
    char* at = data + strlen(name);
    memcpy(data, name, strlen(name));
    switch (progress.kind) {
    case CallKind::kCrc:
        at = AppendCount(at, progress.bytes_done);
        AppendCount(at, progress.bytes_total);
        break;
    case CallKind::kSearch:
        at = AppendCount(at, progress.entries_done);
        AppendCount(at, 0);
        break;
    case CallKind::kSfv:
        at = AppendCount(at, progress.entries_done);
        at = AppendCount(at, progress.entries);
        at = AppendCount(at, progress.bytes_done);
        AppendCount(at, progress.bytes_total);
        break;
    }
    return kHostReturnResult;
}

int TALLOWIX_STDCALL SignalCheckSfv(void* main_window, void*, char* data, char*, int, int)
{
    CallScope scope;
    BackgroundRequest request;
    if (data == nullptr || !ReadRequest(data, &request))
        return kHostReturnResult;
    const char* list = request.argument;  // one that names nothing cannot be read

    SfvDelivery delivery = {{}, false, request.tag};
    delivery.open = OpenHostChannel(main_window, &delivery.channel);
    SfvCounts counts = {};
    SfvEnd end = SfvEnd::kReportRefused;
    bool stopped = false;
    if (delivery.open) {
        CallWatch watch(request.tag, CallKind::kSfv);
        end = CheckSfvList(list, HostTextEncoding(list), watch.get(), {DeliverSfvEntry, &delivery},
                           &counts);
        stopped = watch.Release();
    }

    char summary[6 * 21 + sizeof " unreadable"];
    WriteSfvCounts(summary, counts, end);
    TextPiece command[kCommandPieces];
    if (stopped)
        SignalPieces(command, kCancelled, request.tag, " ", {kCheckSfv, TextEncoding::kUtf8});
    else
        SignalPieces(command, kCheckSfv, request.tag, " done ", {summary, TextEncoding::kUtf8});
    bool taken = delivery.open && SendOnHostChannel(&delivery.channel, command, kCommandPieces) !=
                                      CommandDelivery::kNotHandedOver;
    if (delivery.open)
        CloseHostChannel(&delivery.channel);
    return FinishCall(taken, command, stopped ? "" : summary, data);
}
