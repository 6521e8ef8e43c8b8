/* Out-of-tree C consumer, built with pkg-config against an installed
 * libkitecore: checks that the headers it was compiled with match the
 * library it runs with, and makes one JSON round trip. */
#include <stdio.h>
#include <string.h>

#include "json_parser.h"
#include "kt_version.h"

int main(void)
{
    char error_info[128];
    char text[] = "[\"alpha\",\"beta\"]";
    string_t input = {text, (int32_t)strlen(text)};
    string_t output = {NULL, 0};
    json_array_t array;
    int result;

    if (kt_version_number() != KT_VERSION_NUMBER ||
        strcmp(kt_version(), KT_VERSION_STRING) != 0) {
        fprintf(stderr, "headers %s, library %s\n", KT_VERSION_STRING,
                kt_version());
        return 1;
    }
    memset(&array, 0, sizeof(array));
    result = decode_json_array(&input, &array, error_info, sizeof(error_info));
    if (result != 0 || array.count != 2) {
        fprintf(stderr, "decode: %d %s\n", result, error_info);
        return 1;
    }
    result = encode_json_array(&array, &output, error_info, sizeof(error_info));
    if (result != 0 || output.len != input.len ||
        memcmp(output.str, input.str, (size_t)input.len) != 0) {
        fprintf(stderr, "encode: %d\n", result);
        return 1;
    }
    free_json_string(&output);
    free_json_array(&array);
    printf("C consumer: libkitecore %s, JSON round trip ok\n", kt_version());
    return 0;
}
