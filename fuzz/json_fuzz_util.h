// Helpers shared by the two JSON fuzz targets and the JSON codec test.
//
// ArrayOf / MapOf build encoder input records that view std::string data
// (no copies; valid while the strings and the element vector live).  The
// rest is for the fuzz targets: a decode of an exactly sized copy of the
// input (so any read past it is caught), the round-trip property
// (encode, decode again, compare) for both record kinds, and the split of a
// fuzz input into byte strings.  A broken property aborts, which libFuzzer
// reports as a crash with the input that caused it.
#ifndef KITE_FUZZ_JSON_FUZZ_UTIL_H
#define KITE_FUZZ_JSON_FUZZ_UTIL_H

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "json_parser.h"
#include "logger.h"

namespace json_fuzz {

using Items = std::vector<std::string>;
using Pairs = std::vector<std::pair<std::string, std::string>>;

inline string_t ViewOf(const std::string &s)
{
    return {const_cast<char *>(s.data()), static_cast<int32_t>(s.size())};
}

// An array record over items, its elements kept in *elements.
inline json_array_t ArrayOf(const Items &items, std::vector<string_t> *elements)
{
    elements->clear();
    for (const auto &s : items) elements->push_back(ViewOf(s));
    const auto n = static_cast<int32_t>(elements->size());
    return json_array_t{elements->data(), n, sizeof(string_t), n, nullptr};
}

// A map record over pairs, its elements kept in *elements.
inline json_map_t MapOf(const Pairs &pairs,
                        std::vector<key_value_pair_t> *elements)
{
    elements->clear();
    for (const auto &kv : pairs) {
        elements->push_back({ViewOf(kv.first), ViewOf(kv.second)});
    }
    const auto n = static_cast<int32_t>(elements->size());
    return json_map_t{elements->data(), n, sizeof(key_value_pair_t), n,
                      nullptr};
}

inline void Check(bool ok)
{
    if (!ok) abort();
}

// A decoded text must lie in the scratch buffer and end with a NUL.
inline bool InBuffer(const string_t &s, const char *buff)
{
    return s.str >= buff && s.str[s.len] == '\0';
}

inline void Collect(const json_array_t &array, Items *out)
{
    for (int i = 0; i < array.count; ++i) {
        const string_t &s = array.elements[i];
        Check(InBuffer(s, array.buff));
        out->emplace_back(s.str, s.len);
    }
}

inline void Collect(const json_map_t &map, Pairs *out)
{
    for (int i = 0; i < map.count; ++i) {
        const key_value_pair_t &kv = map.elements[i];
        Check(InBuffer(kv.key, map.buff) && InBuffer(kv.value, map.buff));
        out->emplace_back(std::string(kv.key.str, kv.key.len),
                          std::string(kv.value.str, kv.value.len));
    }
}

inline int DecodeRecord(const string_t *in, json_array_t *array, char *error,
                        int error_size)
{
    return decode_json_array(in, array, error, error_size);
}

inline int DecodeRecord(const string_t *in, json_map_t *map, char *error,
                        int error_size)
{
    return decode_json_map(in, map, error, error_size);
}

// Decodes text (copied into an exactly sized block) into *out.  A refused
// input must come back as EINVAL with a reason and a cleared record.
template <typename Record, typename Out>
int Decode(const char *data, size_t size, Out *out)
{
    char *copy = static_cast<char *>(malloc(size ? size : 1));
    memcpy(copy, data, size);
    string_t in{copy, static_cast<int32_t>(size)};
    Record record;
    char error[128] = "";
    const int result = DecodeRecord(&in, &record, error, sizeof(error));
    if (result == 0) {
        Collect(record, out);
        free_common_array(reinterpret_cast<common_array_t *>(&record));
    } else {
        Check(result == EINVAL && error[0] != '\0');
        Check(record.elements == nullptr && record.buff == nullptr);
    }
    free(copy);
    return result;
}

inline int Encode(const Items &items, string_t *text, char *error,
                  int error_size)
{
    std::vector<string_t> elements;
    json_array_t array = ArrayOf(items, &elements);
    return encode_json_array(&array, text, error, error_size);
}

inline int Encode(const Pairs &pairs, string_t *text, char *error,
                  int error_size)
{
    std::vector<key_value_pair_t> elements;
    json_map_t map = MapOf(pairs, &elements);
    return encode_json_map(&map, text, error, error_size);
}

inline int DecodeText(const char *data, size_t size, Items *out)
{
    return Decode<json_array_t>(data, size, out);
}

inline int DecodeText(const char *data, size_t size, Pairs *out)
{
    return Decode<json_map_t>(data, size, out);
}

// Encodes items, decodes the text again and expects the same items back.
template <typename List>
void CheckRoundTrip(const List &items)
{
    string_t text{nullptr, 0};
    char error[128];
    Check(Encode(items, &text, error, sizeof(error)) == 0);
    Check(text.str[text.len] == '\0');
    List back;
    Check(DecodeText(text.str, text.len, &back) == 0);
    Check(back == items);
    free_json_string(&text);
}

// The input cut at every 0xFF byte.
inline Items SplitAtFF(const char *text, size_t size)
{
    Items pieces;
    const char *end = text + size;
    for (const char *p = text;;) {
        const char *cut = static_cast<const char *>(memchr(p, 0xFF, end - p));
        pieces.emplace_back(p, cut ? cut : end);
        if (cut == nullptr) return pieces;
        p = cut + 1;
    }
}

// Silences the library's log once: refused inputs log nothing useful here.
inline void QuietLog()
{
    static const bool quiet =
        (kt_log_set_sink([](int, const char *, int, void *) {}, nullptr), true);
    (void)quiet;
}

}  // namespace json_fuzz

#endif  // KITE_FUZZ_JSON_FUZZ_UTIL_H
