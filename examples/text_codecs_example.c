/* Text codecs: a flat JSON map decoded and re-encoded, a malformed array
 * refused with its reason, and a character converter that escapes white
 * space and backslashes for a one-line log field, then undoes it; a second
 * converter gets its rules from configuration items. */
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "char_convert_loader.h"
#include "char_converter.h"
#include "json_parser.h"

static int use_json(void)
{
    char text[] = "{\"name\":\"kite\",\"tags\":\"a\\tb\",\"port\":5200}";
    string_t input = {text, (int32_t)strlen(text)};
    string_t output = {NULL, 0};
    char error_info[128];
    json_map_t map;
    json_array_t array;

    memset(&map, 0, sizeof(map));
    if (detect_json_type(&input) != KITE_JSON_TYPE_MAP ||
        decode_json_map(&input, &map, error_info, sizeof(error_info)) != 0) {
        return 1;
    }
    for (int i = 0; i < map.count; i++) { /* texts point into map.buff */
        printf("%s = [%s]\n", map.elements[i].key.str,
               map.elements[i].value.str);
    }
    /* Every value is written back as a string: 5200 becomes "5200". */
    if (encode_json_map(&map, &output, error_info, sizeof(error_info)) != 0) {
        free_json_map(&map);
        return 1;
    }
    printf("re-encoded: %s\n", output.str);
    free_json_string(&output);
    free_json_map(&map);

    char bad[] = "[\"open\", \"unterminated]";
    string_t bad_input = {bad, (int32_t)strlen(bad)};
    memset(&array, 0, sizeof(array));
    int result =
        decode_json_array(&bad_input, &array, error_info, sizeof(error_info));
    printf("malformed array: %s, %s\n", result == EINVAL ? "EINVAL" : "?",
           error_info);
    return result == EINVAL ? 0 : 1;
}

static int use_converter(void)
{
    KiteCharConverter escaper;
    char field[] = "two words\tand a \\ backslash\n";
    char out[128];
    int out_len;

    std_spaces_add_backslash_converter_init(&escaper);
    int converted = kite_char_convert(&escaper, field, (int)strlen(field), out,
                                      &out_len, (int)sizeof(out));
    printf("escaped %d bytes: %.*s\n", converted, out_len, out);
    int restored = kite_char_unescape(&escaper, out, &out_len);
    printf("unescaped %d sequences, round trip %s\n", restored,
           out_len == (int)strlen(field) &&
                   memcmp(out, field, (size_t)out_len) == 0
               ? "exact"
               : "BROKEN");

    /* Rules from configuration items: name is the source byte, value what
     * it becomes ("\"\\c\"" would make an escape instead). */
    IniItem items[2];
    memset(items, 0, sizeof(items));
    strcpy(items[0].name, "\\s");
    strcpy(items[0].value, "_");
    strcpy(items[1].name, "/");
    strcpy(items[1].value, "\\x2d"); /* '-' */
    KiteCharConverter slugger;
    if (char_convert_loader_init(&slugger, items, 2) != 0) {
        return 1;
    }
    char path[] = "var/log/kite server";
    kite_char_convert(&slugger, path, (int)strlen(path), out, &out_len,
                      (int)sizeof(out));
    printf("loaded rules turn \"%s\" into \"%.*s\"\n", path, out_len, out);
    return restored > 0 ? 0 : 1;
}

int main(void)
{
    return use_json() != 0 || use_converter() != 0;
}
