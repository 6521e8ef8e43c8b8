// Fuzzes decode_json_map and the map encoder.  Properties: a decoded map,
// encoded and decoded again, gives the same pairs in the same order; any
// list of byte-string pairs (the input cut at 0xFF bytes) survives an
// encode and a decode.  A refused input must come back as EINVAL with a
// reason in error_info.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "json_parser.h"
#include "logger.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

void Check(bool ok) {
  if (!ok) abort();
}

bool InBuffer(const string_t &s, const char *buff) {
  return s.str >= buff && s.str[s.len] == '\0';
}

int Decode(const char *data, size_t size, Pairs *out) {
  char *copy = static_cast<char *>(malloc(size ? size : 1));
  memcpy(copy, data, size);
  string_t in{copy, static_cast<int32_t>(size)};
  json_map_t map;
  char error[128] = "";
  const int result = decode_json_map(&in, &map, error, sizeof(error));
  if (result == 0) {
    for (int i = 0; i < map.count; ++i) {
      const key_value_pair_t &kv = map.elements[i];
      Check(InBuffer(kv.key, map.buff) && InBuffer(kv.value, map.buff));
      out->emplace_back(std::string(kv.key.str, kv.key.len),
                        std::string(kv.value.str, kv.value.len));
    }
    free_json_map(&map);
  } else {
    Check(result == EINVAL && error[0] != '\0');
    Check(map.elements == nullptr && map.buff == nullptr);
  }
  free(copy);
  return result;
}

void CheckRoundTrip(const Pairs &pairs) {
  std::vector<key_value_pair_t> elements;
  for (const auto &kv : pairs) {
    elements.push_back(
        {{const_cast<char *>(kv.first.data()), (int32_t)kv.first.size()},
         {const_cast<char *>(kv.second.data()), (int32_t)kv.second.size()}});
  }
  json_map_t map{elements.data(), (int32_t)elements.size(),
                 sizeof(key_value_pair_t), (int32_t)elements.size(), nullptr};
  string_t text{nullptr, 0};
  char error[128];
  Check(encode_json_map(&map, &text, error, sizeof(error)) == 0);
  Pairs back;
  Check(Decode(text.str, text.len, &back) == 0);
  Check(back == pairs);
  free_json_string(&text);
}

// The input cut at every 0xFF byte.
std::vector<std::string> Split(const char *text, size_t size) {
  std::vector<std::string> pieces;
  const char *end = text + size;
  for (const char *p = text;;) {
    const char *cut = static_cast<const char *>(memchr(p, 0xFF, end - p));
    pieces.emplace_back(p, cut ? cut : end);
    if (cut == nullptr) return pieces;
    p = cut + 1;
  }
}

void Discard(int, const char *, int, void *) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool quiet = (kt_log_set_sink(Discard, nullptr), true);
  (void)quiet;
  if (size > (1u << 20)) return 0;
  const char *text = reinterpret_cast<const char *>(data);
  Pairs pairs;
  if (Decode(text, size, &pairs) == 0) CheckRoundTrip(pairs);
  const std::vector<std::string> pieces = Split(text, size);
  Pairs made;
  for (size_t i = 0; i + 1 < pieces.size(); i += 2) {
    made.emplace_back(pieces[i], pieces[i + 1]);
  }
  CheckRoundTrip(made);
  return 0;
}
