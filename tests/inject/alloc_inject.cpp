// Allocation-failure injection: the countdown behind malloc, calloc, realloc,
// fopen and operator new, and the table of blocks obtained while it runs.
//
// The C functions are redirected at link time (ld --wrap) for the objects of
// this program, so the library's own calls land here while the C and C++
// runtimes keep theirs; operator new is replaced for the whole process.
#include "alloc_inject.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <new>

extern "C" {
void* __real_malloc(size_t n);
void* __real_calloc(size_t n, size_t size);
void* __real_realloc(void* p, size_t n);
void __real_free(void* p);
FILE* __real_fopen(const char* path, const char* mode);
int __real_fclose(FILE* fp);
}

namespace {

bool s_counting;
int64_t s_n_fail;
int64_t s_count;
bool s_hit;
uintptr_t s_failed_caller;

// Open addressing over the block addresses; a removed entry leaves a
// tombstone so that later probes go on past it.
constexpr size_t k_slots = 1u << 16;
constexpr uintptr_t k_tomb = 1;
uintptr_t s_slots[k_slots];
int64_t s_live;

size_t slot_of(uintptr_t a) {
    return (size_t)((a >> 4) * 0x9E3779B97F4A7C15ull >> 48) & (k_slots - 1);
}

void track(const void* p) {
    if (!s_counting || !p) return;
    uintptr_t a = (uintptr_t)p;
    size_t i = slot_of(a);
    for (size_t k = 0; k < k_slots; k++, i = (i + 1) & (k_slots - 1)) {
        if (s_slots[i] == 0 || s_slots[i] == k_tomb) {
            s_slots[i] = a;
            s_live++;
            return;
        }
    }
    std::abort(); // more live blocks than the table holds: make the case smaller
}

void untrack(const void* p) {
    if (!s_counting || !p) return;
    uintptr_t a = (uintptr_t)p;
    size_t i = slot_of(a);
    for (size_t k = 0; k < k_slots && s_slots[i] != 0; k++, i = (i + 1) & (k_slots - 1)) {
        if (s_slots[i] == a) {
            s_slots[i] = k_tomb;
            s_live--;
            return;
        }
    }
}

// Distinct callers whose allocation was failed, over the whole run.
constexpr int k_sites = 512;
uintptr_t s_sites[k_sites];
int s_n_sites;

void note_site(uintptr_t caller) {
    for (int i = 0; i < s_n_sites; i++)
        if (s_sites[i] == caller) return;
    if (s_n_sites < k_sites) s_sites[s_n_sites++] = caller;
}

// True when this allocation is the one to fail.
bool must_fail(void* caller) {
    if (!s_counting) return false;
    s_count++;
    if (s_n_fail <= 0 || s_count != s_n_fail) return false;
    s_hit = true;
    s_failed_caller = (uintptr_t)caller;
    note_site(s_failed_caller);
    errno = ENOMEM;
    return true;
}

void* new_block(size_t n, void* caller) {
    if (must_fail(caller)) return nullptr;
    void* p = __real_malloc(n ? n : 1);
    track(p);
    return p;
}

void delete_block(void* p) {
    untrack(p);
    __real_free(p);
}

} // namespace

void inject_arm(int64_t n) {
    for (uintptr_t& s : s_slots)
        s = 0;
    s_live = 0;
    s_count = 0;
    s_hit = false;
    s_failed_caller = 0;
    s_n_fail = n;
    s_counting = true;
}
void inject_disarm(void) {
    s_n_fail = 0;
}
void inject_stop(void) {
    s_n_fail = 0;
    s_counting = false;
}
int64_t inject_count(void) {
    return s_count;
}
bool inject_hit(void) {
    return s_hit;
}
int64_t inject_live(void) {
    return s_live;
}
uintptr_t inject_failed_caller(void) {
    return s_failed_caller;
}
int inject_n_failed_sites(void) {
    return s_n_sites;
}
std::string inject_failed_sites(void) {
    std::string out;
    for (int i = 0; i < s_n_sites; i++) {
        Dl_info info{};
        char line[600];
        // The address just before the return address lies in the calling line.
        uintptr_t a = s_sites[i] - 1;
        if (dladdr((void*)a, &info) && info.dli_fname)
            std::snprintf(line, sizeof line, "%s:0x%lx\n", info.dli_fname,
                          (unsigned long)(a - (uintptr_t)info.dli_fbase));
        else
            std::snprintf(line, sizeof line, "?:0x%lx\n", (unsigned long)a);
        out += line;
    }
    return out;
}

extern "C" {

void* __wrap_malloc(size_t n) {
    if (must_fail(__builtin_return_address(0))) return nullptr;
    void* p = __real_malloc(n);
    track(p);
    return p;
}

void* __wrap_calloc(size_t n, size_t size) {
    if (must_fail(__builtin_return_address(0))) return nullptr;
    void* p = __real_calloc(n, size);
    track(p);
    return p;
}

void* __wrap_realloc(void* p, size_t n) {
    if (must_fail(__builtin_return_address(0))) return nullptr;
    void* q = __real_realloc(p, n);
    if (q) {
        untrack(p);
        track(q);
    }
    return q;
}

void __wrap_free(void* p) {
    untrack(p);
    __real_free(p);
}

FILE* __wrap_fopen(const char* path, const char* mode) {
    if (must_fail(__builtin_return_address(0))) return nullptr;
    FILE* fp = __real_fopen(path, mode);
    track(fp);
    return fp;
}

int __wrap_fclose(FILE* fp) {
    untrack(fp);
    return __real_fclose(fp);
}

} // extern "C"

void* operator new(size_t n) {
    void* p = new_block(n, __builtin_return_address(0));
    if (!p) throw std::bad_alloc();
    return p;
}
void* operator new[](size_t n) {
    void* p = new_block(n, __builtin_return_address(0));
    if (!p) throw std::bad_alloc();
    return p;
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    return new_block(n, __builtin_return_address(0));
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
    return new_block(n, __builtin_return_address(0));
}
void operator delete(void* p) noexcept {
    delete_block(p);
}
void operator delete[](void* p) noexcept {
    delete_block(p);
}
void operator delete(void* p, size_t) noexcept {
    delete_block(p);
}
void operator delete[](void* p, size_t) noexcept {
    delete_block(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    delete_block(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    delete_block(p);
}
