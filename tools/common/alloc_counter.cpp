// Interposed allocation functions: the executable's definitions win over the C library's for
// every library in the process, the plug-in included. Counting is per thread and only while a
// count is open, so the validator's own allocations on other threads do not show.
#include "tools/common/alloc_counter.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(__SANITIZE_MEMORY__)
#define ORVEX_NO_INTERPOSE 1
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define ORVEX_NO_INTERPOSE 1
#endif
#endif
#if !defined(__GLIBC__)
#define ORVEX_NO_INTERPOSE 1
#endif

namespace orvex::tools {

#ifdef ORVEX_NO_INTERPOSE

const AllocationProbe* interposedAllocationProbe() { return nullptr; }

}  // namespace orvex::tools

#else

namespace {
// Initial-exec TLS: reading it never allocates, which matters inside malloc itself.
__attribute__((tls_model("initial-exec"))) thread_local bool tCounting = false;
__attribute__((tls_model("initial-exec"))) thread_local std::uint64_t tAllocations = 0;
__attribute__((tls_model("initial-exec"))) thread_local std::uint64_t tReleases = 0;

void beginCount() {
    tAllocations = 0;
    tReleases = 0;
    tCounting = true;
}

AllocationCount endCount() {
    tCounting = false;
    return {tAllocations, tReleases};
}

const AllocationProbe kProbe{beginCount, endCount};
}  // namespace

const AllocationProbe* interposedAllocationProbe() { return &kProbe; }

}  // namespace orvex::tools

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}

namespace {
inline void countAllocation() {
    if (orvex::tools::tCounting) ++orvex::tools::tAllocations;
}
inline void countRelease(void* p) {
    if (p && orvex::tools::tCounting) ++orvex::tools::tReleases;
}
}  // namespace

extern "C" {
void* malloc(std::size_t n) {
    countAllocation();
    return __libc_malloc(n);
}
void* calloc(std::size_t count, std::size_t n) {
    countAllocation();
    return __libc_calloc(count, n);
}
void* realloc(void* p, std::size_t n) {
    countAllocation();
    return __libc_realloc(p, n);
}
void free(void* p) {
    countRelease(p);
    __libc_free(p);
}
void* memalign(std::size_t alignment, std::size_t n) {
    countAllocation();
    return __libc_memalign(alignment, n);
}
void* aligned_alloc(std::size_t alignment, std::size_t n) {
    countAllocation();
    return __libc_memalign(alignment, n);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t n) {
    countAllocation();
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
    void* p = __libc_memalign(alignment, n);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}
void* valloc(std::size_t n) {
    countAllocation();
    return __libc_memalign(4096, n);
}
}

namespace {
void* newOrThrow(std::size_t n) {
    countAllocation();
    for (;;) {
        if (void* p = __libc_malloc(n ? n : 1)) return p;
        std::new_handler handler = std::get_new_handler();
        if (!handler) throw std::bad_alloc();
        handler();
    }
}
void* newAligned(std::size_t n, std::align_val_t alignment) {
    countAllocation();
    const std::size_t a = static_cast<std::size_t>(alignment);
    if (void* p = __libc_memalign(a < sizeof(void*) ? sizeof(void*) : a, n ? n : 1)) return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) { return newOrThrow(n); }
void* operator new[](std::size_t n) { return newOrThrow(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    countAllocation();
    return __libc_malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    countAllocation();
    return __libc_malloc(n ? n : 1);
}
void* operator new(std::size_t n, std::align_val_t a) { return newAligned(n, a); }
void* operator new[](std::size_t n, std::align_val_t a) { return newAligned(n, a); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, std::size_t) noexcept { free(p); }
void operator delete[](void* p, std::size_t) noexcept { free(p); }
void operator delete(void* p, std::align_val_t) noexcept { free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { free(p); }

#endif
