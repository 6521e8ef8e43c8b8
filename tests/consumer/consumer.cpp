// Out-of-tree C++ consumer, built through find_package(kitecore): the
// headers work from C++, the imported target brings the include path and
// the thread library, and a thread pool runs the work handed to it.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "kt_version.h"
#include "thread_pool.h"

namespace {

void count_one(void *arg, void * /*thread_data*/)
{
    static_cast<std::atomic<int> *>(arg)->fetch_add(1);
}

}  // namespace

int main()
{
    if (std::strcmp(kt_version(), KT_VERSION_STRING) != 0) {
        std::fprintf(stderr, "headers %s, library %s\n", KT_VERSION_STRING,
                     kt_version());
        return 1;
    }
    std::atomic<int> done{0};
    volatile bool running = true;
    KTThreadPool pool;
    if (kt_thread_pool_init(&pool, "consumer", 2, 256 * 1024, 10, 0,
                            &running) != 0) {
        return 1;
    }
    for (int i = 0; i < 8; i++) {
        if (kt_thread_pool_run(&pool, count_one, &done) != 0) {
            return 1;
        }
    }
    for (int i = 0; i < 500 && done.load() < 8; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    running = false;
    kt_thread_pool_destroy(&pool);
    std::printf(
        "C++ consumer: libkitecore %s, thread pool ran %d of 8 work items\n",
        kt_version(), done.load());
    return done.load() == 8 ? 0 : 1;
}
