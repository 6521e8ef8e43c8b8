// Feeds arbitrary text to the cluster configuration loader.  Beyond "no
// crash, no leak", every configuration that loads (and has distinct group
// names) must render to text that loads back with the same number of
// groups, servers and addresses.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kite_buffer.h"
#include "logger.h"
#include "server_id_func.h"

namespace {

void quiet_sink(int, const char *, int, void *) {}

// Group names need not be unique, but two groups of one name render as one
// section: such configurations cannot round-trip and are skipped.
bool has_duplicate_group_names(const KTServerConfig *ctx)
{
    for (int i = 1; i < ctx->group_array.count; i++) {
        if (strcmp(ctx->group_array.groups[i - 1].name_buff,
                   ctx->group_array.groups[i].name_buff) == 0) {
            return true;
        }
    }
    return false;
}

void check_round_trip(KTServerConfig *ctx, int flags)
{
    if (has_duplicate_group_names(ctx)) {
        return;
    }
    KiteBuffer buffer;
    kite_buffer_init(&buffer);
    if (kt_server_to_config_string(ctx, &buffer) != 0 ||
        kite_buffer_append_buff(&buffer, "", 1) != 0) {
        abort();
    }
    KTServerConfig again;
    int result = kt_server_load_from_buffer_ex(
        &again, buffer.data, "rendered", ctx->default_port,
        ctx->min_hosts_each_group, (flags & 1) != 0);
    if (result != 0 || again.group_array.count != ctx->group_array.count ||
        again.sorted_server_arrays.by_id.count !=
            ctx->sorted_server_arrays.by_id.count ||
        again.sorted_server_arrays.by_ip_port.count !=
            ctx->sorted_server_arrays.by_ip_port.count) {
        abort();
    }
    kt_server_destroy(&again);
    kite_buffer_destroy(&buffer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool initialised = [] {
        kt_log_set_sink(quiet_sink, nullptr);
        return true;
    }();
    (void)initialised;
    if (size == 0) {
        return 0;
    }
    // The first byte picks the load options; the rest is the text.
    int flags = data[0];
    std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    KTServerConfig ctx;
    int result = kt_server_load_from_buffer_ex(
        &ctx, text.data(), "fuzz", (flags & 2) ? 8000 : 0, (flags >> 2) & 3,
        (flags & 1) != 0);
    if (result == 0) {
        check_round_trip(&ctx, flags);
        kt_server_destroy(&ctx);
        (void)kt_server_get_by_id(&ctx, 1);
        return 0;
    }
    kt_server_destroy(&ctx);
    return 0;
}
