// Flat JSON decode and encode against RapidJSON, simdjson (on-demand) and
// cJSON, on the same texts: an array of 100,000 strings of 1 to 40 bytes
// (one in eight with an escape) and a map of 50,000 such pairs.  Rates are
// bytes of JSON text per second.  Peers are compiled in only when their
// headers (and, for simdjson and cJSON, libraries) are present.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "json_parser.h"

#if __has_include(<rapidjson/document.h>)
#define KITE_BENCH_RAPIDJSON 1
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#endif
#if defined(KITE_BENCH_SIMDJSON) && __has_include(<simdjson.h>)
#include <simdjson.h>
#else
#undef KITE_BENCH_SIMDJSON
#endif
#if defined(KITE_BENCH_CJSON) && __has_include(<cjson/cJSON.h>)
#include <cjson/cJSON.h>
#else
#undef KITE_BENCH_CJSON
#endif

namespace {

constexpr int kArrayStrings = 100000;
constexpr int kMapPairs = 50000;

// A random string of 1 to 40 bytes; one in eight holds an escaped byte.
std::string RandomString(std::mt19937 &rng)
{
    static const char kPlain[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 _-.";
    static const char kEscaped[] = "\"\\\n\t/";
    std::string s(1 + rng() % 40, ' ');
    for (char &c : s) c = kPlain[rng() % (sizeof(kPlain) - 1)];
    if (rng() % 8 == 0) s[rng() % s.size()] = kEscaped[rng() % 5];
    return s;
}

// Standard JSON text of a string (the escapes all decoders accept).
void AppendQuoted(std::string *out, const std::string &s)
{
    out->push_back('"');
    for (char c : s) {
        const char letter = c == '\n' ? 'n' : c == '\t' ? 't' : c;
        if (c == '"' || c == '\\' || c == '\n' || c == '\t')
            out->push_back('\\');
        out->push_back(letter);
    }
    out->push_back('"');
}

struct Data {
    std::vector<std::string> strings;  // kArrayStrings, then 2 * kMapPairs
    std::string array_json;
    std::string map_json;
};

const Data &GetData()
{
    static const Data data = [] {
        Data d;
        std::mt19937 rng(42);
        for (int i = 0; i < kArrayStrings + 2 * kMapPairs; ++i) {
            d.strings.push_back(RandomString(rng));
        }
        d.array_json.assign(1, '[');
        for (int i = 0; i < kArrayStrings; ++i) {
            if (i > 0) d.array_json += ',';
            AppendQuoted(&d.array_json, d.strings[i]);
        }
        d.array_json.push_back(']');
        d.map_json.assign(1, '{');
        for (int i = 0; i < kMapPairs; ++i) {
            if (i > 0) d.map_json += ',';
            AppendQuoted(&d.map_json, d.strings[kArrayStrings + 2 * i]);
            d.map_json += ':';
            AppendQuoted(&d.map_json, d.strings[kArrayStrings + 2 * i + 1]);
        }
        d.map_json.push_back('}');
        return d;
    }();
    return data;
}

string_t View(const std::string &s)
{
    return string_t{const_cast<char *>(s.data()),
                    static_cast<int32_t>(s.size())};
}

void BM_JsonParser_DecodeArray(benchmark::State &state)
{
    const std::string &text = GetData().array_json;
    const string_t in = View(text);
    char error[256];
    for (auto _ : state) {
        json_array_t array;
        if (decode_json_array(&in, &array, error, sizeof(error)) != 0) {
            state.SkipWithError(error);
            break;
        }
        benchmark::DoNotOptimize(array.elements[array.count - 1].len);
        free_json_array(&array);
    }
    state.SetBytesProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_JsonParser_DecodeArray);

void BM_JsonParser_DecodeMap(benchmark::State &state)
{
    const std::string &text = GetData().map_json;
    const string_t in = View(text);
    char error[256];
    for (auto _ : state) {
        json_map_t map;
        if (decode_json_map(&in, &map, error, sizeof(error)) != 0) {
            state.SkipWithError(error);
            break;
        }
        benchmark::DoNotOptimize(map.elements[map.count - 1].value.len);
        free_json_map(&map);
    }
    state.SetBytesProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_JsonParser_DecodeMap);

void BM_JsonParser_EncodeArray(benchmark::State &state)
{
    const Data &d = GetData();
    std::vector<string_t> elements;
    for (int i = 0; i < kArrayStrings; ++i)
        elements.push_back(View(d.strings[i]));
    json_array_t array{elements.data(), kArrayStrings, sizeof(string_t),
                       kArrayStrings, nullptr};
    char error[256];
    int64_t bytes = 0;
    for (auto _ : state) {
        string_t out;
        encode_json_array(&array, &out, error, sizeof(error));
        bytes += out.len;
        free_json_string(&out);
    }
    state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_JsonParser_EncodeArray);

void BM_JsonParser_EncodeMap(benchmark::State &state)
{
    const Data &d = GetData();
    std::vector<key_value_pair_t> pairs;
    for (int i = 0; i < kMapPairs; ++i) {
        pairs.push_back({View(d.strings[kArrayStrings + 2 * i]),
                         View(d.strings[kArrayStrings + 2 * i + 1])});
    }
    json_map_t map{pairs.data(), kMapPairs, sizeof(key_value_pair_t), kMapPairs,
                   nullptr};
    char error[256];
    int64_t bytes = 0;
    for (auto _ : state) {
        string_t out;
        encode_json_map(&map, &out, error, sizeof(error));
        bytes += out.len;
        free_json_string(&out);
    }
    state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_JsonParser_EncodeMap);

#ifdef KITE_BENCH_RAPIDJSON
template <bool kIsMap>
void RapidJsonDecode(benchmark::State &state, const std::string &text)
{
    for (auto _ : state) {
        rapidjson::Document doc;
        doc.Parse(text.data(), text.size());
        if (doc.HasParseError()) {
            state.SkipWithError("parse error");
            break;
        }
        if constexpr (kIsMap) {
            benchmark::DoNotOptimize(doc.MemberCount());
        } else {
            benchmark::DoNotOptimize(doc.Size());
        }
    }
    state.SetBytesProcessed(state.iterations() * text.size());
}

void BM_RapidJson_DecodeArray(benchmark::State &state)
{
    RapidJsonDecode<false>(state, GetData().array_json);
}
BENCHMARK(BM_RapidJson_DecodeArray);

void BM_RapidJson_DecodeMap(benchmark::State &state)
{
    RapidJsonDecode<true>(state, GetData().map_json);
}
BENCHMARK(BM_RapidJson_DecodeMap);

void BM_RapidJson_EncodeArray(benchmark::State &state)
{
    const Data &d = GetData();
    int64_t bytes = 0;
    for (auto _ : state) {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        writer.StartArray();
        for (int i = 0; i < kArrayStrings; ++i) {
            writer.String(d.strings[i].data(), d.strings[i].size());
        }
        writer.EndArray();
        bytes += buffer.GetSize();
        benchmark::DoNotOptimize(buffer.GetString());
    }
    state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_RapidJson_EncodeArray);

void BM_RapidJson_EncodeMap(benchmark::State &state)
{
    const Data &d = GetData();
    int64_t bytes = 0;
    for (auto _ : state) {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        writer.StartObject();
        for (int i = 0; i < kMapPairs; ++i) {
            const std::string &k = d.strings[kArrayStrings + 2 * i];
            const std::string &v = d.strings[kArrayStrings + 2 * i + 1];
            writer.Key(k.data(), k.size());
            writer.String(v.data(), v.size());
        }
        writer.EndObject();
        bytes += buffer.GetSize();
        benchmark::DoNotOptimize(buffer.GetString());
    }
    state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_RapidJson_EncodeMap);
#endif

#ifdef KITE_BENCH_SIMDJSON
// On-demand parsing touches nothing until asked, so every string is
// fetched (and unescaped) to match the work of the other decoders.
void BM_SimdJson_DecodeArray(benchmark::State &state)
{
    const simdjson::padded_string text(GetData().array_json);
    simdjson::ondemand::parser parser;
    for (auto _ : state) {
        size_t total = 0;
        auto doc = parser.iterate(text);
        for (auto value : doc.get_array()) {
            std::string_view s;
            if (value.get_string().get(s) != simdjson::SUCCESS) {
                state.SkipWithError("parse error");
                return;
            }
            total += s.size();
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_SimdJson_DecodeArray);

void BM_SimdJson_DecodeMap(benchmark::State &state)
{
    const simdjson::padded_string text(GetData().map_json);
    simdjson::ondemand::parser parser;
    for (auto _ : state) {
        size_t total = 0;
        auto doc = parser.iterate(text);
        for (auto field : doc.get_object()) {
            std::string_view key;
            std::string_view value;
            if (field.unescaped_key().get(key) != simdjson::SUCCESS ||
                field.value().get_string().get(value) != simdjson::SUCCESS) {
                state.SkipWithError("parse error");
                return;
            }
            total += key.size() + value.size();
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_SimdJson_DecodeMap);
#endif

#ifdef KITE_BENCH_CJSON
void CJsonDecode(benchmark::State &state, const std::string &text)
{
    for (auto _ : state) {
        cJSON *root = cJSON_ParseWithLength(text.data(), text.size());
        if (root == nullptr) {
            state.SkipWithError("parse error");
            break;
        }
        benchmark::DoNotOptimize(cJSON_GetArraySize(root));
        cJSON_Delete(root);
    }
    state.SetBytesProcessed(state.iterations() * text.size());
}

void BM_CJson_DecodeArray(benchmark::State &state)
{
    CJsonDecode(state, GetData().array_json);
}
BENCHMARK(BM_CJson_DecodeArray);

void BM_CJson_DecodeMap(benchmark::State &state)
{
    CJsonDecode(state, GetData().map_json);
}
BENCHMARK(BM_CJson_DecodeMap);

// cJSON prints from a tree, built once outside the timing.
void BM_CJson_EncodeArray(benchmark::State &state)
{
    const Data &d = GetData();
    cJSON *root = cJSON_CreateArray();
    for (int i = 0; i < kArrayStrings; ++i) {
        cJSON_AddItemToArray(root, cJSON_CreateString(d.strings[i].c_str()));
    }
    int64_t bytes = 0;
    for (auto _ : state) {
        char *text = cJSON_PrintUnformatted(root);
        bytes += strlen(text);
        cJSON_free(text);
    }
    cJSON_Delete(root);
    state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_CJson_EncodeArray);
#endif

}  // namespace

BENCHMARK_MAIN();
