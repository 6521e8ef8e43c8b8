// Fuzzes decode_json_array and the array encoder.  Two properties:
//  - a decoded array, encoded and decoded again, gives the same strings;
//  - any list of byte strings (the input cut at 0xFF bytes) survives an
//    encode and a decode.
// A refused input must come back as EINVAL with a reason in error_info.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "json_parser.h"
#include "logger.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

// Decodes text (copied into an exactly sized block) into strings.
int Decode(const char *data, size_t size, std::vector<std::string> *out) {
  char *copy = static_cast<char *>(malloc(size ? size : 1));
  memcpy(copy, data, size);
  string_t in{copy, static_cast<int32_t>(size)};
  json_array_t array;
  char error[128] = "";
  const int result = decode_json_array(&in, &array, error, sizeof(error));
  if (result == 0) {
    for (int i = 0; i < array.count; ++i) {
      const string_t &s = array.elements[i];
      Check(s.str >= array.buff && s.str[s.len] == '\0');
      out->emplace_back(s.str, s.len);
    }
    free_json_array(&array);
  } else {
    Check(result == EINVAL && error[0] != '\0');
    Check(array.elements == nullptr && array.buff == nullptr);
  }
  free(copy);
  return result;
}

void CheckRoundTrip(const std::vector<std::string> &items) {
  std::vector<string_t> elements;
  for (const auto &s : items) {
    elements.push_back({const_cast<char *>(s.data()), (int32_t)s.size()});
  }
  json_array_t array{elements.data(), (int32_t)elements.size(),
                     sizeof(string_t), (int32_t)elements.size(), nullptr};
  string_t text{nullptr, 0};
  char error[128];
  Check(encode_json_array(&array, &text, error, sizeof(error)) == 0);
  Check(text.str[text.len] == '\0');
  std::vector<std::string> back;
  Check(Decode(text.str, text.len, &back) == 0);
  Check(back == items);
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
  string_t whole{const_cast<char *>(text), static_cast<int32_t>(size)};
  const int type = detect_json_type(&whole);
  Check(type >= 1 && type <= 3);
  std::vector<std::string> items;
  if (Decode(text, size, &items) == 0) {
    Check(type == JSON_TYPE_ARRAY);
    CheckRoundTrip(items);
  }
  const std::vector<std::string> pieces = Split(text, size);
  CheckRoundTrip(pieces);
  return 0;
}
