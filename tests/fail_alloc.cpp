// Preloaded into the filter to make its page-buffer allocations fail: the
// first RTM_FAIL_NOTHROW_NEW_AFTER nothrow array allocations succeed, every
// later one returns null, as when memory runs out.
#include <cstdlib>
#include <new>

namespace {

long remaining = -2;  // -2: not yet read; -1: never fail

}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t& /*tag*/) noexcept
{
    if (remaining == -2) {
        const char* after = std::getenv("RTM_FAIL_NOTHROW_NEW_AFTER");
        remaining = after != nullptr ? std::strtol(after, nullptr, 10) : -1;
    }
    if (remaining == 0)
        return nullptr;
    if (remaining > 0)
        --remaining;
    return std::malloc(size != 0 ? size : 1);
}
