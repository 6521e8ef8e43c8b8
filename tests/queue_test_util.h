// Helpers shared by the tests of the three queues (intrusive, pooled-node
// and task queue): waking a pop that waits on an empty queue, forcing the
// queue's lock to fail, and a many-producer many-consumer stress run with
// a ledger that proves no record is lost, duplicated or reordered.
#ifndef KITE_TESTS_QUEUE_TEST_UTIL_H
#define KITE_TESTS_QUEUE_TEST_UTIL_H

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "pthread_func.h"
#include "test_util.h"

namespace kite_test {

// Runs pop on another thread and keeps signalling pair's condition until
// it has returned, so a pop that waits is certainly woken while the queue
// is still empty.  Returns what pop returned.
template <typename PopFn>
void *PopWokenWhileEmpty(pthread_lock_cond_pair_t *pair, PopFn pop)
{
    std::atomic<bool> done{false};
    void *result = reinterpret_cast<void *>(1);
    std::thread popper([&] {
        result = pop();
        done = true;
    });
    while (!done) {
        pthread_mutex_lock(&pair->lock);
        pthread_cond_signal(&pair->cond);
        pthread_mutex_unlock(&pair->lock);
        usleep(1000);
    }
    popper.join();
    return result;
}

// Replaces the (unlocked, unused) mutex with an error-checking one: once
// the test thread holds it, the queue's own pthread_mutex_lock fails with
// EDEADLK instead of hanging.
inline void UseErrorCheckingMutex(pthread_mutex_t *lock)
{
    pthread_mutex_destroy(lock);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(lock, &attr);
    pthread_mutexattr_destroy(&attr);
}

// Every captured record is at `level`, starts with the standard prefix of
// source file `file` and reports the failed lock with EDEADLK.
inline void ExpectLockFailRecords(const LogCapture &log, int level,
                                  const std::string &file)
{
    const std::string text =
        "call pthread_mutex_lock fail, errno: " + std::to_string(EDEADLK);
    for (const auto &record : log.records()) {
        EXPECT_EQ(record.level, level);
        EXPECT_EQ(record.message.rfind("file: " + file + ", line: ", 0), 0u)
            << record.message;
        EXPECT_NE(record.message.find(text), std::string::npos)
            << record.message;
    }
}

// Wakes pair's waiters: a push signals one waiter only, so consumers still
// asleep when their stop record arrives need a broadcast.
inline void Broadcast(pthread_lock_cond_pair_t *pair)
{
    pthread_mutex_lock(&pair->lock);
    pthread_cond_broadcast(&pair->cond);
    pthread_mutex_unlock(&pair->lock);
}

// Size of every queue's stress run: 1,000,000 records, enough for the
// producers and consumers to interleave on 2 cores, small enough to run
// in about a second under ThreadSanitizer.
constexpr int kStressProducers = 4;
constexpr int kStressConsumers = 4;
constexpr long kStressPerProducer = 250000;

// Counts every record a stress run delivers.  Producer p sends sequence
// numbers 0 .. per_producer-1 in order; each consumer keeps its own
// last-seen table (from NewOrder) since order holds per consumer only.
class StressLedger {
 public:
    StressLedger(int producers, long per_producer)
        : producers_(producers), per_producer_(per_producer),
          seen_(static_cast<size_t>(producers) * per_producer)
    {
    }

    long per_producer() const { return per_producer_; }

    // A fresh last-seen table for one consumer.
    std::vector<long> NewOrder() const
    {
        return std::vector<long>(producers_, -1);
    }

    // Notes that a consumer whose table is last took (producer, seq).
    void Record(int producer, long seq, std::vector<long> *last)
    {
        if (seen_[producer * per_producer_ + seq].fetch_add(1) != 0) {
            duplicates_++;
        }
        if (seq <= (*last)[producer]) disorder_++;
        (*last)[producer] = seq;
    }

    // The same for a record sent as the non-null value
    // 1 + producer * per_producer + seq.
    void RecordValue(uintptr_t value, std::vector<long> *last)
    {
        uintptr_t per = static_cast<uintptr_t>(per_producer_);
        Record(static_cast<int>((value - 1) / per),
               static_cast<long>((value - 1) % per), last);
    }

    // Each record arrived exactly once, in order per producer per consumer.
    void ExpectEachOnceInOrder() const
    {
        EXPECT_EQ(duplicates_.load(), 0);
        EXPECT_EQ(disorder_.load(), 0);
        long missing = 0;
        for (const auto &s : seen_) missing += s == 0;
        EXPECT_EQ(missing, 0);
    }

 private:
    int producers_;
    long per_producer_;
    std::vector<std::atomic<unsigned char>> seen_;
    std::atomic<long> duplicates_{0}, disorder_{0};
};

// Starts consumers running consume(c) and producers running produce(p);
// once the producers are done, stop() queues one stop record per consumer
// and wake() is repeated until every consumer has returned.
template <typename ConsumeFn, typename ProduceFn, typename StopFn,
          typename WakeFn>
void RunStress(int producers, int consumers, ConsumeFn consume,
               ProduceFn produce, StopFn stop, WakeFn wake)
{
    std::atomic<int> finished{0};
    std::vector<std::thread> consumer_threads;
    for (int c = 0; c < consumers; c++) {
        consumer_threads.emplace_back([&, c] {
            consume(c);
            finished++;
        });
    }
    std::vector<std::thread> producer_threads;
    for (int p = 0; p < producers; p++) {
        producer_threads.emplace_back([&, p] { produce(p); });
    }
    for (auto &t : producer_threads) t.join();
    stop();
    while (finished < consumers) {
        wake();
        usleep(1000);
    }
    for (auto &t : consumer_threads) t.join();
}

}  // namespace kite_test

#endif  // KITE_TESTS_QUEUE_TEST_UTIL_H
