// Fuzzes char_convert_loader_set_pair with source and target texts cut
// from the input at the first NUL byte.  Properties: the result is 0 or
// EINVAL; a refusal leaves the converter unchanged; an accepted rule
// changes the conversion table at one byte only.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "char_convert_loader.h"
#include "logger.h"

namespace {

void Check(bool ok)
{
    if (!ok) abort();
}

void Discard(int, const char *, int, void *) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = (kt_log_set_sink(Discard, nullptr), true);
    (void)quiet;
    if (size > 512) return 0;
    const std::string all(reinterpret_cast<const char *>(data), size);
    const size_t cut = all.find('\0');
    const std::string src = all.substr(0, cut);
    const std::string dest =
        cut == std::string::npos ? std::string() : all.substr(cut + 1);
    KiteCharConverter conv;
    Check(std_space_char_converter_init(&conv, 'A') == 0);
    KiteCharConverter before;
    memcpy(&before, &conv, sizeof(conv));
    // dest.c_str() stops at a second NUL, as an item's text would.
    const int result =
        char_convert_loader_set_pair(&conv, src.c_str(), dest.c_str());
    Check(result == 0 || result == EINVAL);
    int changed = 0;
    for (int b = 0; b < 256; ++b) {
        changed += memcmp(&conv.char_table[b], &before.char_table[b],
                          sizeof(KiteCharTarget)) != 0;
    }
    Check(memcmp(conv.unescape_chars, before.unescape_chars,
                 sizeof(conv.unescape_chars)) == 0);
    Check(result == 0 ? changed <= 1 : changed == 0);
    Check(result != 0 || (src.size() <= 4 && strlen(dest.c_str()) <= 4));
    return 0;
}
