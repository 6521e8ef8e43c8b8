/*
 * kt_atomic_ref: internal to the library, not installed API; the one way a
 * module reaches a field that its public record declares volatile (or that
 * another thread reads without a lock).
 *
 * C callers see plain or volatile fields; inside the library every access
 * to such a field goes through std::atomic_ref, never through volatile
 * reads or __atomic builtins.  atomic_of strips const and volatile from the
 * field's type: a field reached through a const record must only be loaded.
 * C++ only.
 */
#ifndef KITE_KT_ATOMIC_REF_H
#define KITE_KT_ATOMIC_REF_H

#ifdef __cplusplus

#include <atomic>
#include <type_traits>

namespace kite {

template <class T>
std::atomic_ref<std::remove_cv_t<T>> atomic_of(T &field) noexcept
{
    return std::atomic_ref<std::remove_cv_t<T>>(
        const_cast<std::remove_cv_t<T> &>(field));
}

}  // namespace kite

#endif  // __cplusplus

#endif
