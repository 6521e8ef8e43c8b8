// Fuzzes decode_json_map and the map encoder.  Properties: a decoded map,
// encoded and decoded again, gives the same pairs in the same order; any
// list of byte-string pairs (the input cut at 0xFF bytes) survives an
// encode and a decode.  A refused input must come back as EINVAL with a
// reason in error_info.
#include <cstddef>
#include <cstdint>

#include "json_fuzz_util.h"

using namespace json_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QuietLog();
    if (size > (1u << 20)) return 0;
    const char *text = reinterpret_cast<const char *>(data);
    Pairs pairs;
    if (DecodeText(text, size, &pairs) == 0) CheckRoundTrip(pairs);
    const Items pieces = SplitAtFF(text, size);
    Pairs made;
    for (size_t i = 0; i + 1 < pieces.size(); i += 2) {
        made.emplace_back(pieces[i], pieces[i + 1]);
    }
    CheckRoundTrip(made);
    return 0;
}
