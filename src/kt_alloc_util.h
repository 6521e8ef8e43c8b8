/*
 * kt_alloc_util: internal to the library, not installed API; owning handles
 * and a growable array over the allocation wrapper.
 *
 * Everything here allocates through kt_malloc/kt_realloc and frees through
 * kt_free, so allocation-failure injection (kt_set_allocator) reaches every
 * allocation, and nothing throws: a failed growth reports false and leaves
 * the array as it was.  kite::unique_ptr<T> releases on every error path;
 * release() hands the memory over once the set-up has succeeded.  The array
 * holds trivially copyable elements only, since growth moves them with
 * realloc.  C++ only.
 */
#ifndef KITE_KT_ALLOC_UTIL_H
#define KITE_KT_ALLOC_UTIL_H

#ifdef __cplusplus

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

#include "kt_memory.h"

namespace kite {

struct free_deleter {
    void operator()(void *ptr) const noexcept { kt_free(ptr); }
};

// Owns memory from the allocation wrapper; kt_free on destruction.
template <class T>
using unique_ptr = std::unique_ptr<T, free_deleter>;

// Growth arithmetic shared by every grower: doubling from at least min_alloc
// until need fits, refusing (0) when the result would pass limit.
constexpr int64_t grown_capacity(int64_t current, int64_t need,
                                 int64_t min_alloc, int64_t limit) noexcept
{
    if (need > limit) {
        return 0;
    }
    int64_t alloc = current > min_alloc ? current : min_alloc;
    while (alloc < need) {
        alloc *= 2;
    }
    return alloc < limit ? alloc : limit;
}

template <class T>
class growable_array {
    static_assert(std::is_trivially_copyable_v<T>,
                  "growable_array moves its elements with realloc");

 public:
    growable_array() noexcept = default;
    ~growable_array() { kt_free(data_); }
    growable_array(const growable_array &) = delete;
    growable_array &operator=(const growable_array &) = delete;

    T *data() noexcept { return data_; }
    const T *data() const noexcept { return data_; }
    int size() const noexcept { return count_; }
    int capacity() const noexcept { return alloc_; }
    T &operator[](int i) noexcept { return data_[i]; }
    const T &operator[](int i) const noexcept { return data_[i]; }
    T *begin() noexcept { return data_; }
    T *end() noexcept { return data_ + count_; }

    // Makes room for at least need elements; false (logged by the wrapper)
    // when the memory cannot be had or need passes INT32_MAX bytes.
    bool reserve(int need) noexcept
    {
        if (need <= alloc_) {
            return true;
        }
        const int64_t limit = INT32_MAX / static_cast<int64_t>(sizeof(T));
        const int64_t alloc = grown_capacity(alloc_, need, 8, limit);
        if (alloc == 0) {
            return false;
        }
        void *grown = kt_realloc(data_, static_cast<size_t>(alloc) * sizeof(T));
        if (grown == nullptr) {
            return false;
        }
        data_ = static_cast<T *>(grown);
        alloc_ = static_cast<int>(alloc);
        return true;
    }

    bool push_back(const T &value) noexcept
    {
        if (count_ == alloc_ && !reserve(count_ + 1)) {
            return false;
        }
        data_[count_++] = value;
        return true;
    }

    void clear() noexcept { count_ = 0; }

    // Hands the elements to the caller, who frees them with kt_free; the
    // array is left empty.
    T *release() noexcept
    {
        T *data = data_;
        data_ = nullptr;
        count_ = alloc_ = 0;
        return data;
    }

 private:
    T *data_ = nullptr;
    int count_ = 0;
    int alloc_ = 0;
};

}  // namespace kite

#endif  // __cplusplus

#endif
