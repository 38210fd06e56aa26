// Version string lookup: the version information of the library's own file
// is read into one movable global block, the translation list names the
// string table, and the key is looked up in that table. Nothing is cached;
// the block is released on every path before returning.
#include "version/version.h"

#include "text/hextext.h"

#include <cstring>

namespace {

constexpr char kTranslationPath[] = "\\VarFileInfo\\Translation";
constexpr char kStringTablePrefix[] = "\\StringFileInfo\\";
constexpr char kDefaultTranslation[] = "040904E4";  // US English, code page 1252
constexpr uint32_t kTranslationCodeLength = 8;

// "\StringFileInfo\" + code + "\" + key, which the key bound makes fit.
void BuildSubBlockPath(char* path, const char* code, const char* key, size_t key_length)
{
    size_t prefix = sizeof kStringTablePrefix - 1;
    memcpy(path, kStringTablePrefix, prefix);
    memcpy(path + prefix, code, kTranslationCodeLength);
    path[prefix + kTranslationCodeLength] = '\\';
    memcpy(path + prefix + kTranslationCodeLength + 1, key, key_length + 1);
}

}  // namespace

void QueryTranslation(const VersionBlock* block, char* output)
{
    const void* value = nullptr;
    uint32_t length = 0;
    QueryVersionValue(block, kTranslationPath, &value, &length);
    if (length != 0 && value != nullptr) {
        // The list holds (language, code page) pairs of 16-bit words; only
        // the first pair counts. The block the platform fills is larger than
        // the resource it holds, so four bytes are readable behind any value.
        const auto* words = static_cast<const uint8_t*>(value);
        uint32_t language = words[0] | (words[1] << 8);
        uint32_t code_page = words[2] | (words[3] << 8);
        WriteHexDigits(output, language, 4, true);
        WriteHexDigits(output + 4, code_page, 4, true);
        output[kTranslationCodeLength] = '\0';
    } else {
        memcpy(output, kDefaultTranslation, sizeof kDefaultTranslation);
    }
}

int QueryVersionString(void* module, const char* key, char* output, uint32_t capacity)
{
    size_t key_length = strlen(key);
    if (key_length > kMaxVersionKeyLength)
        return 0;
    ModulePath module_path;
    if (!GetModulePath(module, &module_path))
        return 0;
    uint32_t size = GetVersionInfoSize(module_path);
    if (size == 0)
        return 0;
    VersionBlock block;
    if (!AllocVersionBlock(size, &block))
        return 0;

    int result = 0;
    if (ReadVersionInfo(module_path, size, &block)) {
        char code[12];
        QueryTranslation(&block, code);
        char sub_block[kPathCapacity];
        BuildSubBlockPath(sub_block, code, key, key_length);
        const void* value = nullptr;
        uint32_t length = 0;
        QueryVersionValue(&block, sub_block, &value, &length);
        if (length != 0 && value != nullptr) {
            // The length is only a found-flag: the value is terminated text,
            // and the copy is bounded by the output's capacity.
            size_t n = strnlen(static_cast<const char*>(value), capacity - 1);
            memcpy(output, value, n);
            output[n] = '\0';
            result = 1;
        }
    }
    FreeVersionBlock(&block);
    return result;
}
