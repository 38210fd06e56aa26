// The host's lifecycle: what it says when it loads the library (LoadDll) and
// before it unloads it (UnloadDll), and the count of calls running meanwhile.
#pragma once

#include "platform/platform.h"
#include "text/encoding.h"

#include <cstdint>

// What mIRC passes to LoadDll, in this order. mIRC 5.8 to 6.x pass only the
// first three fields, 7.0 adds mUnicode, 7.51 mBeta and 7.64 mBytes: only the
// fields every version has are ever touched. 64-bit hosts pass the same
// record with a pointer-wide window handle.
struct LoadInfo {
    uint32_t mVersion;  // major version in the low word, minor in the high
    void* mHwnd;
    int mKeep;          // TRUE: keep the library loaded after the call
    int mUnicode;
    uint32_t mBeta;
    uint32_t mBytes;
};

// Every exported routine holds one of these while it runs, so that an unload
// can tell whether any call is under way, and which threads made calls.
class CallScope {
public:
    CallScope();
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
};

// How host text is read. A host that said (through LoadDll) it is mIRC 7 or
// later sends UTF-8; mIRC 5 and 6 (32-bit only) send the code page. Without LoadDll (any
// other program) text that is well-formed UTF-8 is read as UTF-8, anything
// else in the code page.
TextEncoding HostTextEncoding(const char* text);

// Whether text read as UTF-8 may yet be meant as code-page text, and so be
// read once more in the code page when it names nothing: only when the host
// has not said which it sends.
bool MayBeCodePageToo(const char* text, TextEncoding encoding);

// Called as a thread ends: no call of it can be inside the library any more.
void ForgetCallThread();

TALLOWIX_EXPORT void TALLOWIX_STDCALL LoadDll(LoadInfo* info);
TALLOWIX_EXPORT int TALLOWIX_STDCALL UnloadDll(int timeout);
