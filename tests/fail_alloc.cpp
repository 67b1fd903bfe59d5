// Preloaded into the filter to make its page-buffer allocations fail, as
// when memory runs out. Only allocations of RTM_FAIL_MALLOC_SIZE bytes are
// touched (the tests pick a width that gives the row buffer an unusual
// size); the first RTM_FAIL_MALLOC_AFTER of them still succeed.
#include <cstddef>
#include <cstdlib>

// glibc's own allocator, which the interposed malloc hands on to.
extern "C" void* __libc_malloc(std::size_t size);  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace {

bool configured = false;
std::size_t failSize = 0;
long succeedFirst = 0;

}  // namespace

extern "C" void* malloc(std::size_t size)  // NOLINT(readability-inconsistent-declaration-parameter-name)
{
    if (!configured) {
        // getenv and strtol do not allocate.
        const char* sizeText = std::getenv("RTM_FAIL_MALLOC_SIZE");
        const char* afterText = std::getenv("RTM_FAIL_MALLOC_AFTER");
        failSize = sizeText != nullptr ? std::strtoul(sizeText, nullptr, 10) : 0;
        succeedFirst = afterText != nullptr ? std::strtol(afterText, nullptr, 10) : 0;
        configured = true;
    }
    if (failSize != 0 && size == failSize && succeedFirst-- <= 0)
        return nullptr;
    return __libc_malloc(size);
}
