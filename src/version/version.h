// Strings from a module's version resource.
#pragma once

#include "platform/platform.h"

#include <cstdint>

// The longest key that fits the sub-block path "\StringFileInfo\XXXXXXXX\key"
// in a kPathCapacity-byte buffer.
constexpr uint32_t kMaxVersionKeyLength = 230;

// Capacity of GetDllVersion's answer: 99 characters and a terminator.
constexpr uint32_t kVersionAnswerCapacity = 100;

// Looks `key` up in the string table of the version resource of `module`'s
// file, read afresh from disk through the file's wide path. Returns 1 with
// the value (cut to capacity - 1 characters, always terminated) in `output`,
// or 0 with `output` untouched.
int QueryVersionString(void* module, const char* key, char* output, uint32_t capacity);

// Writes the translation code naming the string table to search: the first
// language and code page of "\VarFileInfo\Translation" as eight upper-case
// hexadecimal digits, or "040904E4" when the resource has no translation list.
// `output` takes at least 9 bytes.
void QueryTranslation(const VersionBlock* block, char* output);
