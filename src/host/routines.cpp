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
//
// Either way it becomes the library's own text, UTF-8, strictly: code-page
// bytes that are no character of the code page, or UTF-8 that is not
// well-formed, name nothing. An answer goes back in the encoding its
// argument was read in, strictly too: a path the host's encoding cannot
// carry exactly, or its buffer cannot hold whole, is no answer (a cut path
// names another file). The search passes over such a path and goes on.
#include "host/host.h"

#include "crc/filecrc.h"
#include "host/argline.h"
#include "host/calltable.h"
#include "host/lifecycle.h"
#include "search/search.h"
#include "sfv/namecrc.h"
#include "sfv/sfvcheck.h"
#include "sfv/sfvmake.h"
#include "text/commandtext.h"
#include "text/decimal.h"
#include "text/encoding.h"
#include "text/hextext.h"
#include "version/version.h"

#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

constexpr int kCrcDigits = 8;
constexpr char kVersionFailure[] = "?";

// The texts of one call, in one heap block for the call: its argument in
// UTF-8, its answer in UTF-8 and in the host's form, and, for a background
// call, the host form of its tag. For a 10,240-byte host that is about
// 200 KiB, given back before the call returns.
struct CallText {
    TextEncoding encoding;  // of the host's text, and of the answer to it
    size_t answer_bytes;    // the host's buffer, terminator included
    char* argument;         // UTF-8, 3 bytes for each host byte at most
    char* answer;           // UTF-8, kPathCapacity bytes
    char* host_answer;      // the answer as the host takes it (or a listed name)
    char* host_tag;         // a background call's tag as the host sent it
    size_t command_bytes;   // what the rest of the command takes; 0: no command
    char* block;
};

bool Reserve(CallText* call, size_t argument_bytes)
{
    call->answer_bytes = HostBufferBytes();
    size_t argument = 3 * argument_bytes + 1;
    // The host-form room serves a list routine's names too, within a command.
    size_t host_form = call->answer_bytes > HostCommandBytes() ? call->answer_bytes
                                                               : HostCommandBytes();
    size_t total = argument + kPathCapacity + host_form + kMaxTagBytes + 1;
    call->block = static_cast<char*>(malloc(total));
    if (call->block == nullptr)
        return false;
    call->argument = call->block;
    call->answer = call->argument + argument;
    call->host_answer = call->answer + kPathCapacity;
    call->host_tag = call->host_answer + host_form;
    call->argument[0] = call->answer[0] = call->host_answer[0] = call->host_tag[0] = '\0';
    call->command_bytes = 0;
    return true;
}

void Release(CallText* call)
{
    free(call->block);
}

// Makes host text UTF-8 in `text` (capacity bytes) as `encoding` says;
// false when it names nothing.
bool FromHostForm(const char* host_text, TextEncoding encoding, char* text, size_t capacity)
{
    if (encoding == TextEncoding::kCodePage)
        return CodePageToUtf8(host_text, text, capacity);
    size_t length = strlen(host_text);
    if (length >= capacity || !IsValidUtf8(host_text))
        return false;
    memcpy(text, host_text, length + 1);
    return true;
}

// Makes UTF-8 text the host's form in `host_text`; false when the host's
// encoding cannot carry it exactly or it does not fit.
bool ToHostForm(const char* text, TextEncoding encoding, char* host_text, size_t capacity)
{
    if (encoding == TextEncoding::kCodePage)
        return Utf8ToCodePage(text, host_text, capacity);
    size_t length = strlen(text);
    if (length >= capacity)
        return false;
    memcpy(host_text, text, length + 1);
    return true;
}

// Reads the host's argument text into the call, as `encoding`; an argument
// with no UTF-8 form is read as "", which names nothing.
void ReadArgument(CallText* call, const char* host_text, TextEncoding encoding)
{
    call->encoding = encoding;
    if (!FromHostForm(host_text, encoding, call->argument, 3 * strlen(host_text) + 1))
        call->argument[0] = '\0';
}

// Whether `path` can be the call's answer; its host form is then ready. For
// a background call, the whole command must fit too, and nothing in the
// answer may split or end it.
bool PassesGate(void* context, const char* path)
{
    auto* call = static_cast<CallText*>(context);
    if (!ToHostForm(path, call->encoding, call->host_answer, call->answer_bytes))
        return false;
    if (call->command_bytes == 0)
        return true;
    return IsCommandSafe(path) && call->command_bytes + strlen(call->host_answer) < HostCommandBytes();
}

// Each operation reads the call's argument and leaves its answer in the
// call's answer, in UTF-8, having passed the gate (or empty). A background
// call passes its watch, which may stop the operation part-way (the answer
// is then of no account); the plain routines pass none. `host_text` is the
// argument as the host sent it, for a second reading in the code page.
using Operation = void (*)(CallText* call, const char* host_text, WorkWatch* watch);

void AnswerCrc(CallText* call, const char* host_text, WorkWatch* watch)
{
    uint32_t crc = kUnopenableCrc;
    if (!TryCalcFileCrc(call->argument, &crc, watch) && !(watch != nullptr && watch->Stopped()) &&
        MayBeCodePageToo(host_text, call->encoding)) {
        ReadArgument(call, host_text, TextEncoding::kCodePage);
        TryCalcFileCrc(call->argument, &crc, watch);
    }
    WriteHexDigits(call->answer, crc, kCrcDigits, false);
    call->answer[kCrcDigits] = '\0';
    PassesGate(call, call->answer);  // hexadecimal digits: every host takes them
}

void AnswerSearch(CallText* call, const char* host_text, WorkWatch* watch)
{
    // The line is cut in place; a second reading makes it afresh.
    for (int reading = 0; reading < 2; ++reading) {
        TokenCursor cursor;
        char* size_text = NextToken(call->argument, ",", &cursor);
        char* crc_text = size_text ? NextToken(nullptr, ",", &cursor) : nullptr;
        char* directory = crc_text ? NextToken(nullptr, "", &cursor) : nullptr;
        uint32_t crc = 0;
        // A CRC piece without a hexadecimal value names no file: answer
        // empty rather than search for a value nobody asked for.
        if (directory == nullptr || !ParseHex(crc_text, &crc))
            return;
        uint32_t size = static_cast<uint32_t>(ParseDecimal(size_text));
        const SearchOptions options = {watch, PassesGate, call};
        if (SearchFileSizeCrc(size, crc, directory, call->answer, options) !=
                SearchOutcome::kUnlistable ||
            reading == 1 || !MayBeCodePageToo(host_text, call->encoding))
            return;
        ReadArgument(call, host_text, TextEncoding::kCodePage);
    }
}

// Runs a plain routine: its answer replaces the argument in the data, or
// the data is emptied when there is none.
void AnswerInPlace(char* data, Operation operation)
{
    CallText call;
    if (!Reserve(&call, strlen(data))) {
        data[0] = '\0';
        return;
    }
    ReadArgument(&call, data, HostTextEncoding(data));
    operation(&call, data, nullptr);
    if (call.answer[0] == '\0')
        call.host_answer[0] = '\0';
    memcpy(data, call.host_answer, strlen(call.host_answer) + 1);
    Release(&call);
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
// is answered so, and a search passes over names that are not. The whole
// command fits the host's buffer (HostCommandBytes), where a command handed
// back arrives: an answer that would not fit is no answer.
constexpr char kSignalCommand[] = "/signal tallowix ";
constexpr char kCancelled[] = "Cancelled";

// The tag is the text's first word, cut at its first space in the host's
// bytes (no byte of a two-byte code-page character is a space) and made
// UTF-8 on its own: 1 to kMaxTagBytes bytes, command-safe. False when the
// text has no such first word; `tag` holds kMaxTagBytes + 1 bytes, and
// `host_tag`, when given, gets the host's own bytes.
bool ReadTag(const char* data, char* tag, char* host_tag = nullptr)
{
    size_t length = strcspn(data, " ");
    char own[kMaxTagBytes + 1];
    if (length == 0 || length > kMaxTagBytes)
        return false;
    memcpy(own, data, length);
    own[length] = '\0';
    if (!FromHostForm(own, HostTextEncoding(own), tag, kMaxTagBytes + 1) || !IsCommandSafe(tag))
        return false;
    if (host_tag != nullptr)
        memcpy(host_tag, own, length + 1);
    return true;
}

// What a background call is asked: its tag and its argument, read into the
// call. An argument that is not command-safe names nothing (see above), so
// it is read as "". False, with the data emptied, when the data has no tag:
// nothing is run.
struct BackgroundRequest {
    char tag[kMaxTagBytes + 1];
    const char* host_argument;
    CallText call;
};

bool ReadRequest(char* data, const char* operation, BackgroundRequest* request)
{
    char host_tag[kMaxTagBytes + 1];
    if (!ReadTag(data, request->tag, host_tag) || !Reserve(&request->call, strlen(data))) {
        data[0] = '\0';
        return false;
    }
    size_t length = strlen(host_tag);
    request->host_argument = data + length + (data[length] == ' ');
    CallText& call = request->call;
    memcpy(call.host_tag, host_tag, length + 1);
    ReadArgument(&call, request->host_argument, HostTextEncoding(request->host_argument));
    if (!IsCommandSafe(call.argument))
        call.argument[0] = '\0';
    call.command_bytes = strlen(kSignalCommand) + strlen(operation) + 1 + length + 1;
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
// then `separator` and `last`, all UTF-8.
constexpr size_t kCommandPieces = 6;
struct SignalCommand {
    const char* pieces[kCommandPieces];
};

SignalCommand MakeSignal(const char* word, const char* tag, const char* separator, const char* last)
{
    return {{kSignalCommand, word, " ", tag, separator, last}};
}

// Ends a background call once the host was handed `command` (or not): 3 with
// `answer` (host form) in the data when it may have it, for then it must not
// be handed over a second time; 2 with the command itself in the data, in
// the host's form, when it surely did not get it, for the host to run from
// the buffer. Every command was made to fit that buffer.
int FinishCall(bool handed_over, const SignalCommand& command, const char* answer,
               TextEncoding encoding, char* data)
{
    if (handed_over) {
        memmove(data, answer, strlen(answer) + 1);
        return kHostReturnResult;
    }
    // The UTF-8 command may take three bytes for each of the host's: only its
    // host form must fit the buffer.
    size_t capacity = HostCommandBytes(), joined_capacity = 3 * capacity;
    char* joined = static_cast<char*>(malloc(joined_capacity));
    size_t n = 0;
    bool fits = joined != nullptr;
    for (size_t i = 0; fits && i < kCommandPieces; ++i) {
        size_t length = strlen(command.pieces[i]);
        fits = n + length < joined_capacity;
        if (fits)
            memcpy(joined + n, command.pieces[i], length), n += length;
    }
    if (fits) {
        joined[n] = '\0';
        fits = ToHostForm(joined, encoding, data, capacity);
    }
    free(joined);
    if (!fits)
        data[0] = '\0';
    return fits ? kHostReturnCommand : kHostReturnResult;
}

int SignalAnswer(void* window, char* data, const char* name, CallKind kind, Operation operation)
{
    BackgroundRequest request;
    if (data == nullptr || !ReadRequest(data, name, &request))
        return kHostReturnResult;
    CallText& call = request.call;
    CallWatch watch(request.tag, kind);
    operation(&call, request.host_argument, watch.get());
    bool cancelled = watch.Release();
    if (cancelled || call.answer[0] == '\0')
        call.answer[0] = call.host_answer[0] = '\0';

    SignalCommand command = cancelled ? MakeSignal(kCancelled, request.tag, " ", name)
                                      : MakeSignal(name, request.tag, " ", call.answer);
    int result = FinishCall(SendHostCommand(window, command.pieces, kCommandPieces) !=
                                CommandDelivery::kNotHandedOver,
                            command, call.host_answer, call.encoding, data);
    Release(&call);
    return result;
}

// Appends " " and the decimal value; returns the new end.
char* AppendCount(char* at, uint64_t value)
{
    *at++ = ' ';
    return at + WriteDecimal(at, value);
}

// The list routines hand the host one signal per entry and one at the end,
//
//     /signal tallowix OPERATION TAG I/N WORD NAME
//     /signal tallowix OPERATION TAG done COUNTS [unreadable|unwritten|unfinished]
//
// all through one channel, so that an entry costs one message. A name goes
// into its signal only when the host can carry it whole and it cannot split
// the command; else the signal has none (a name the library will not read,
// it does not repeat either).
struct ListDelivery {
    HostChannel channel;
    bool open;  // false once the host has stopped taking commands
    const char* operation;
    const char* tag;
    size_t tag_bytes;  // in the host's form
    CallWatch* watch;
    char* carried;  // room for a name in the host's form (HostCommandBytes)
};

// Whether the host takes `name` within a command of `rest` bytes besides it.
bool Carries(const ListDelivery& delivery, const char* name, size_t rest)
{
    if (!IsCommandSafe(name))
        return false;
    size_t room = HostCommandBytes() - rest;
    // A wide window takes any UTF-8 as UTF-16; a single-byte one only what
    // its code page holds.
    if (delivery.channel.wide) {
        // Each UTF-16 unit takes one byte of UTF-8 at least, so the bytes
        // bound the units too; the mapping bounds them as well.
        size_t length = strlen(name);
        return length < room && rest + length < kMostCommandUnits;
    }
    return Utf8ToCodePage(name, delivery.carried, room);
}

bool DeliverListEntry(void* context, uint64_t index, uint64_t count, const char* word,
                      const char* name)
{
    auto* delivery = static_cast<ListDelivery*>(context);
    if (!delivery->open)
        return false;
    char position[2 * 21 + 2];
    char* at = position + WriteDecimal(position, index);
    *at++ = '/';
    at += WriteDecimal(at, count);
    memcpy(at, " ", 2);
    size_t rest = strlen(kSignalCommand) + strlen(delivery->operation) + 1 + delivery->tag_bytes +
                  1 + strlen(position) + strlen(word) + 1;
    if (name != nullptr && !Carries(*delivery, name, rest))
        name = nullptr;
    const char* command[] = {kSignalCommand, delivery->operation, " ", delivery->tag, " ",
                             position, word, name != nullptr ? " " : "",
                             name != nullptr ? name : ""};
    if (SendOnHostChannel(&delivery->channel, command, std::size(command)) ==
        CommandDelivery::kTaken)
        return true;
    // Refused, gone, or perhaps taken late: nothing more goes through the
    // mapping the host may yet read.
    CloseHostChannel(&delivery->channel);
    delivery->open = false;
    return false;
}

// Before a step that cannot be taken back: false when the call was told to
// stop, for then CancelSignal has counted it and it must not go on.
bool LeaveCallTable(void* context)
{
    return !static_cast<ListDelivery*>(context)->watch->Release();
}

// A list routine: reads its argument, then reports through ListDelivery.
using ListOperation = ListEnd (*)(const char* argument, WorkWatch* watch, const ListReport& report,
                                  char* counts);

int RunListCall(void* window, char* data, const char* operation, CallKind kind,
                ListOperation run, const char* no_counts)
{
    BackgroundRequest request;
    if (data == nullptr || !ReadRequest(data, operation, &request))
        return kHostReturnResult;
    CallText& call = request.call;
    ListDelivery delivery = {{}, false, operation, request.tag, strlen(call.host_tag), nullptr,
                             call.host_answer};
    delivery.open = OpenHostChannel(window, &delivery.channel);
    // Without a window to take its signals the routine does nothing at all.
    char counts[kListCountsBytes + sizeof " unreadable"];
    strcpy(counts, no_counts);
    ListEnd end = ListEnd::kReportRefused;
    {
        CallWatch watch(request.tag, kind);
        delivery.watch = &watch;
        if (delivery.open)
            end = run(call.argument, watch.get(), {DeliverListEntry, LeaveCallTable, &delivery},
                      counts);
        if (watch.Release())
            end = ListEnd::kStopped;
    }
    // The counts tell of the entries the host took; a tail says when that
    // is not the whole: the host stopped taking them, or nothing could be
    // read or written at all.
    const char* tail = end == ListEnd::kUnreadable      ? " unreadable"
                       : end == ListEnd::kUnwritten     ? " unwritten"
                       : end == ListEnd::kReportRefused ? " unfinished"
                                                        : "";
    strcat(counts, tail);
    bool stopped = end == ListEnd::kStopped;
    SignalCommand command = stopped ? MakeSignal(kCancelled, request.tag, " ", operation)
                                    : MakeSignal(operation, request.tag, " done ", counts);
    bool taken = delivery.open && SendOnHostChannel(&delivery.channel, command.pieces,
                                                    kCommandPieces) !=
                                      CommandDelivery::kNotHandedOver;
    if (delivery.open)
        CloseHostChannel(&delivery.channel);
    int result = FinishCall(taken, command, stopped ? "" : counts, call.encoding, data);
    Release(&call);
    return result;
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
    case CallKind::kMakeSfv:
        return "MakeSfv";
    case CallKind::kNameCrc:
        return "CheckNameCrc";
    }
    return "";
}

}  // namespace

int TALLOWIX_STDCALL Get32BitCrc(void*, void*, char* data, char*, int, int)
{
    CallScope scope;
    if (data != nullptr)
        AnswerInPlace(data, AnswerCrc);
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
        AnswerInPlace(data, AnswerSearch);
    return kHostReturnResult;
}

namespace {

constexpr size_t kFindOutputBytes = 256;

bool FitsFindOutput(void* context, const char* path)
{
    // Made aside: a conversion that fails part-way has written its bytes, and
    // until a match only the output's first byte may change.
    char converted[kFindOutputBytes];
    if (!Utf8ToCodePage(path, converted, sizeof converted))
        return false;
    memcpy(context, converted, strlen(converted) + 1);
    return true;
}

}  // namespace

int TALLOWIX_STDCALL FindFileSizeCrc(uint32_t size, uint32_t crc, const char* directory,
                                     char* output)
{
    CallScope scope;
    if (output == nullptr)
        return 0;
    output[0] = '\0';
    if (directory == nullptr)
        return 0;
    // The directory is code-page text; the answer goes back in the code page,
    // in the caller's 256 bytes, or not at all.
    size_t utf8_bytes = 3 * strlen(directory) + 1;
    char* block = static_cast<char*>(malloc(utf8_bytes + kPathCapacity));
    bool found = false;
    if (block != nullptr && CodePageToUtf8(directory, block, utf8_bytes))
        found = SearchFileSizeCrc(size, crc, block, block + utf8_bytes,
                                  {nullptr, FitsFindOutput, output}) == SearchOutcome::kFound;
    free(block);
    if (!found)
        output[0] = '\0';
    return found ? 1 : 0;
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
    int told = ReadTag(data, tag) ? StopCalls(tag) : 0;
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
    if (!ReadTag(data, tag) || !ReadCallProgress(tag, &progress)) {
        data[0] = '\0';
        return kHostReturnResult;
    }
    // "OPERATION DONE TOTAL"; a list routine says where in its list it is first.
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
    default:
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
    return RunListCall(main_window, data, "CheckSfv", CallKind::kSfv, CheckSfvList,
                       "0 0 0 0 0");
}

int TALLOWIX_STDCALL SignalMakeSfv(void* main_window, void*, char* data, char*, int, int)
{
    CallScope scope;
    return RunListCall(main_window, data, "MakeSfv", CallKind::kMakeSfv, MakeSfvList, "0 0");
}

int TALLOWIX_STDCALL SignalCheckNameCrc(void* main_window, void*, char* data, char*, int, int)
{
    CallScope scope;
    return RunListCall(main_window, data, "CheckNameCrc", CallKind::kNameCrc, CheckNameCrcs,
                       "0 0 0 0");
}
