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

// The version a LoadDll's mVersion gives, in hundredths (7.64 is 764). Major
// in the low word, minor in the high one, but not always so: before 6.21 the
// minor is not padded (6.2 is 6.20), and 5.8 to 5.91 and 6.0 to 6.03 give 0
// as the major. 0 when the value can be no mIRC version at all.
uint32_t ReadHostVersion(uint32_t version);

// The size of the host's data buffer for a `char *` library, by version:
// 900 bytes up to 6.31, 4,096 up to 7.52, 8,192 up to 7.61, 10,240 for 7.62
// and 7.63, and from 7.64 half of mBytes (the host's wide buffers), at least
// 900 and at most kMostHostBufferBytes (10,240 when it gives none).
uint32_t BufferBytesOf(uint32_t hundredths, uint32_t bytes);
constexpr uint32_t kMostHostBufferBytes = 65536;

// Every answer the library writes fits this many bytes with its terminator:
// the host's data buffer, or 256 bytes for a host that never called LoadDll
// (any other program, which may have made its buffer that small).
uint32_t HostBufferBytes();

// Every command the library hands the host, whole, fits this many bytes in
// the host's encoding: the host's data buffer, where a returned command
// arrives and which bounds mIRC's own command line; 900 bytes, the smallest
// any mIRC had, without LoadDll.
uint32_t HostCommandBytes();

// Called as a thread ends: no call of it can be inside the library any more.
void ForgetCallThread();

TALLOWIX_EXPORT void TALLOWIX_STDCALL LoadDll(LoadInfo* info);
TALLOWIX_EXPORT int TALLOWIX_STDCALL UnloadDll(int timeout);
