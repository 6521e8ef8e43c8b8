/* Cluster configuration: load a topology from text, look servers up by id
 * and by address, walk a server's addresses per group, render the topology
 * back to text, and see how a bad configuration is reported. */
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "kite_buffer.h"
#include "logger.h"
#include "server_id_func.h"

static char g_config[] = "[group-cluster]\n"
                         "port = 5201\n"
                         "net_type = inner\n"
                         "\n"
                         "[group-service]\n"
                         "port = 5200\n"
                         "net_type = outer\n"
                         "\n"
                         "[server-1]\n"
                         "host = 10.0.1.11\n"
                         "host = 203.0.113.11\n"
                         "\n"
                         "[server-2]\n"
                         "host = 10.0.1.12\n"
                         "service-host = 203.0.113.12:5300\n";

static void print_server(const KTServerConfig *config,
                         const KTServerInfo *server)
{
    printf("server %d:", server->id);
    for (int g = 0; g < config->group_array.count; g++) {
        const KTAddressPtrArray *addrs = &server->group_addrs[g].address_array;
        for (int i = 0; i < addrs->count; i++) {
            printf(" %.*s=%s:%u",
                   (int)config->group_array.groups[g].group_name.len,
                   config->group_array.groups[g].group_name.str,
                   addrs->addrs[i]->conn.ip_addr, addrs->addrs[i]->conn.port);
        }
    }
    printf("\n");
}

int main(void)
{
    KTServerConfig config;
    KiteBuffer text;
    int result;

    /* The record is the caller's; loading zeroes and fills it. */
    result = kt_server_load_from_buffer_ex(&config, g_config, "example.conf", 0,
                                           0, false);
    if (result != 0) {
        fprintf(stderr, "load failed: %s\n", kt_strerror(result));
        kt_server_destroy(&config);
        return 1;
    }
    printf("loaded %d groups, %d servers\n", config.group_array.count,
           config.sorted_server_arrays.by_id.count);

    print_server(&config, kt_server_get_by_id(&config, 1));
    KTServerInfo *owner =
        kt_server_get_by_ip_port(&config, "203.0.113.12", 5300);
    printf("203.0.113.12:5300 belongs to server %d\n",
           owner != NULL ? owner->id : -1);
    printf("server 9 %s\n",
           kt_server_get_by_id(&config, 9) == NULL ? "not found" : "found");

    /* The rendered text loads back to the same topology. */
    kite_buffer_init(&text);
    if (kt_server_to_config_string(&config, &text) != 0) {
        return 1;
    }
    printf("rendered %d bytes, starting with: %.15s\n", text.length, text.data);
    kite_buffer_destroy(&text);
    kt_server_destroy(&config);

    /* A failed load logs one message (to stderr) and returns its errno;
     * whatever was built is released with kt_server_destroy all the same. */
    char bad[] = "[group-a]\nport = 5201\nnet_type = inner\n"
                 "[server-1]\nhost = 10.0.0.1\n"
                 "[server-x]\nhost = 10.0.0.2\n";
    fflush(stdout);
    result =
        kt_server_load_from_buffer_ex(&config, bad, "bad.conf", 0, 0, false);
    printf("bad configuration: %s (%s)\n",
           result == EINVAL ? "EINVAL" : "other", kt_strerror(result));
    kt_server_destroy(&config);
    return result == EINVAL ? 0 : 1;
}
