// Helpers shared by the tests of the two skiplist modules, whose elements
// are uint64_t keys at stable addresses.
#ifndef KITE_TESTS_SKIPLIST_TEST_UTIL_H
#define KITE_TESTS_SKIPLIST_TEST_UTIL_H

#include <cstdint>
#include <string>
#include <vector>

namespace kite_test {

// Orders pointers to uint64_t by value.
inline int CompareU64(const void *a, const void *b)
{
    uint64_t x = *static_cast<const uint64_t *>(a);
    uint64_t y = *static_cast<const uint64_t *>(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

// True when message was logged from source file `file` (base name) with
// the standard prefix and ends with text.
inline bool LoggedFromEndsWith(const std::string &message,
                               const std::string &file,
                               const std::string &text)
{
    return message.rfind("file: " + file + ", line: ", 0) == 0 &&
           message.size() > text.size() &&
           message.compare(message.size() - text.size(), text.size(), text) ==
               0;
}

// The keys an iterator yields through next (the module's iterator_next),
// in order, until it returns null.
template <class Iterator>
std::vector<uint64_t> DrainU64(Iterator *it, void *(*next)(Iterator *))
{
    std::vector<uint64_t> out;
    while (void *d = next(it)) {
        out.push_back(*static_cast<uint64_t *>(d));
    }
    return out;
}

}  // namespace kite_test

#endif
