// Fuzzes decode_json_array and the array encoder.  Two properties:
//  - a decoded array, encoded and decoded again, gives the same strings;
//  - any list of byte strings (the input cut at 0xFF bytes) survives an
//    encode and a decode.
// A refused input must come back as EINVAL with a reason in error_info.
#include <cstddef>
#include <cstdint>

#include "json_fuzz_util.h"

using namespace json_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QuietLog();
    if (size > (1u << 20)) return 0;
    const char *text = reinterpret_cast<const char *>(data);
    string_t whole{const_cast<char *>(text), static_cast<int32_t>(size)};
    const int type = detect_json_type(&whole);
    Check(type >= 1 && type <= 3);
    Items items;
    if (DecodeText(text, size, &items) == 0) {
        Check(type == KITE_JSON_TYPE_ARRAY);
        CheckRoundTrip(items);
    }
    CheckRoundTrip(SplitAtFF(text, size));
    return 0;
}
