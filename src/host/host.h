// The routines the library exports, in the forms its callers use.
//
// Host routines follow mIRC's DLL-call form: six 32-bit arguments, __stdcall,
// of which only the third, the data buffer, is used. It carries the argument
// text in and the result text out; the return value 3 tells the host that
// the buffer holds the result. A host routine never fails towards the host:
// every outcome is a text, possibly empty.
#pragma once

#include "platform/platform.h"

#include <cstdint>

// Tells the host that the data buffer holds the result.
constexpr int kHostReturnResult = 3;

// Tells the host that the data buffer holds a command for it to run.
constexpr int kHostReturnCommand = 2;

// Every result the library writes for a host that never called LoadDll fits
// this many bytes with its terminator (see HostBufferBytes for the others).
constexpr uint32_t kHostResultCapacity = 256;

// The library's own module handle, recorded at process attach.
extern void* ModuleHandle;

TALLOWIX_EXPORT int TALLOWIX_STDCALL DllMain(void* module, uint32_t reason, void* reserved);

TALLOWIX_EXPORT int TALLOWIX_STDCALL Get32BitCrc(void* main_window, void* active_window,
                                                 char* data, char* parms, int show,
                                                 int nopause);

TALLOWIX_EXPORT int TALLOWIX_STDCALL GetDllVersion(void* main_window, void* active_window,
                                                   char* data, char* parms, int show,
                                                   int nopause);

TALLOWIX_EXPORT int TALLOWIX_STDCALL MIRCFindFileSizeCrc(void* main_window, void* active_window,
                                                         char* data, char* parms, int show,
                                                         int nopause);

// The same operations in the background: the data buffer holds "TAG
// ARGUMENT", ARGUMENT read exactly as Get32BitCrc or MIRCFindFileSizeCrc read
// their text. The work runs on the calling thread (under $dllcall, a worker
// of the host's), then the answer goes to the host's main window (the first
// argument) as the command "/signal tallowix OPERATION TAG ANSWER". Returns 3
// with the answer in the buffer once the host may have the command, or 2 with
// the command itself in the buffer when it surely did not get it, for the
// host to run.
TALLOWIX_EXPORT int TALLOWIX_STDCALL SignalGet32BitCrc(void* main_window, void* active_window,
                                                       char* data, char* parms, int show,
                                                       int nopause);

TALLOWIX_EXPORT int TALLOWIX_STDCALL SignalFindFileSizeCrc(void* main_window, void* active_window,
                                                           char* data, char* parms, int show,
                                                           int nopause);

// Watching and stopping background calls, by the tag they were started
// under (the data's first word). CancelSignal tells every running call of
// the tag to stop and answers how many it told, in decimal; a told call ends
// within one read chunk or listing entry and signals
// "/signal tallowix Cancelled TAG OPERATION" in place of its answer.
// GetSignalProgress answers "OPERATION DONE TOTAL" for the first running
// call of the tag (bytes read and the file's size for Get32BitCrc, entries
// looked at and 0 for MIRCFindFileSizeCrc), or the empty text.
TALLOWIX_EXPORT int TALLOWIX_STDCALL CancelSignal(void* main_window, void* active_window,
                                                  char* data, char* parms, int show, int nopause);

TALLOWIX_EXPORT int TALLOWIX_STDCALL GetSignalProgress(void* main_window, void* active_window,
                                                       char* data, char* parms, int show,
                                                       int nopause);

// Checks every file of an SFV list in the background: the data is
// "TAG FILE". Each entry is signalled as "/signal tallowix CheckSfv TAG I/N
// VERDICT NAME" as it is checked, and the end as "/signal tallowix CheckSfv
// TAG done OK BAD MISSING UNREADABLE INVALID"; returns 3 with those counts,
// or 2 with the last command when the host stopped taking them part-way.
TALLOWIX_EXPORT int TALLOWIX_STDCALL SignalCheckSfv(void* main_window, void* active_window,
                                                    char* data, char* parms, int show,
                                                    int nopause);

// Makes an SFV list in the background: the data is "TAG [-r] LIST". Each
// file is signalled as "/signal tallowix MakeSfv TAG I/N CRC NAME" (or
// UNREADABLE in place of the CRC, and left out of the list), and the end as
// "/signal tallowix MakeSfv TAG done WRITTEN UNREADABLE", with "unwritten"
// after the counts when no list could be put in place. See MakeSfvList.
TALLOWIX_EXPORT int TALLOWIX_STDCALL SignalMakeSfv(void* main_window, void* active_window,
                                                   char* data, char* parms, int show,
                                                   int nopause);

// Checks the CRC-32 that file names carry, in the background: the data is
// "TAG PATH", a file or a folder. Each file is signalled as "/signal tallowix
// CheckNameCrc TAG I/N VERDICT NAME" (OK, BAD, UNREADABLE, or NONE for a
// single file whose name carries none), and the end as "/signal tallowix
// CheckNameCrc TAG done OK BAD UNREADABLE NONE". See CheckNameCrcs.
TALLOWIX_EXPORT int TALLOWIX_STDCALL SignalCheckNameCrc(void* main_window, void* active_window,
                                                        char* data, char* parms, int show,
                                                        int nopause);
