// Target memory image: construction, zone rules, byte access and writing segment sets.
#include "uvmem.h"

#include "con.h"
#include "msrlin.h"

#include <cstdlib>
#include <cstring>

UvMem* UvMem_alloc_val(int32_t attr, uint32_t a_vmem, uint32_t n_vmem, int32_t n_wpz,
                       const uint32_t* p_wpz_a_mem, const uint32_t* p_wpz_n_mem) {
    UvMem* p = static_cast<UvMem*>(calloc(1, sizeof(UvMem)));
    if (p == nullptr) return nullptr;
    int ok = 1;
    p->attr = attr;
    p->a_vmem = a_vmem;
    p->n_vmem = n_vmem;
    // An image of 0 bytes still gets a block, so it is not taken for a failure.
    p->p_vmem = static_cast<uint8_t*>(malloc(n_vmem == 0 ? 1 : n_vmem));
    if (p->p_vmem == nullptr) {
        CON_LOG("error", "p -> p_vmem = __ALLOC (p -> n_vmem * sizeof (*p -> p_vmem)))\n");
        ok = 0;
    }
    p->n_wpz = n_wpz;
    uint32_t* p_a = nullptr;
    uint32_t* p_n = nullptr;
    if (n_wpz > 0) {
        // Zeroed, so a table the caller left out holds empty zones, not garbage.
        p_a = static_cast<uint32_t*>(calloc(static_cast<size_t>(n_wpz), sizeof(*p_a)));
        if (p_a == nullptr) {
            CON_LOG("error",
                    "p -> p_wpz_a_mem = __ALLOC (p -> n_wpz * sizeof (* p -> p_wpz_a_mem)))\n");
            ok = 0;
        }
        p_n = static_cast<uint32_t*>(calloc(static_cast<size_t>(n_wpz), sizeof(*p_n)));
        if (p_n == nullptr) {
            CON_LOG("error",
                    "p -> p_wpz_n_mem = __ALLOC (p -> n_wpz * sizeof (* p -> p_wpz_n_mem)))\n");
            ok = 0;
        }
    }
    p->p_wpz_a_mem = p_a;
    p->p_wpz_n_mem = p_n;
    if (!ok) {
        UvMem_free(p);
        return nullptr;
    }
    if (n_wpz > 0 && p_wpz_a_mem != nullptr && p_wpz_n_mem != nullptr) {
        for (int32_t i = 0; i < n_wpz; i++) {
            p_a[i] = p_wpz_a_mem[i];
            p_n[i] = p_wpz_n_mem[i];
        }
    }
    return p;
}

UvMem* UvMem_init(UvMem* p, int32_t attr, uint32_t a_vmem, uint32_t n_vmem, uint8_t* p_vmem,
                  int32_t n_wpz, const uint32_t* p_wpz_a_mem, const uint32_t* p_wpz_n_mem) {
    if (p == nullptr) return nullptr;
    int ok = 1;
    p->attr = attr;
    p->a_vmem = a_vmem;
    p->n_vmem = n_vmem;
    p->p_vmem = p_vmem;
    p->n_wpz = n_wpz;
    p->p_wpz_a_mem = p_wpz_a_mem;
    p->p_wpz_n_mem = p_wpz_n_mem;
    if (p_vmem == nullptr) {
        CON_LOG("error", "p -> p_vmem = p_vmem)\n");
        ok = 0;
    }
    if (n_wpz > 0) {
        if (p_wpz_a_mem == nullptr) {
            CON_LOG("error", "p -> p_wpz_a_mem = p_wpz_a_mem)\n");
            ok = 0;
        }
        if (p_wpz_n_mem == nullptr) {
            CON_LOG("error", "p -> p_wpz_n_mem = p_wpz_n_mem)\n");
            ok = 0;
        }
    }
    return ok ? p : nullptr;
}

int UvMem_free(UvMem* p) {
    if (p == nullptr) return 1;
    free(p->p_vmem);
    free(const_cast<uint32_t*>(p->p_wpz_a_mem));
    free(const_cast<uint32_t*>(p->p_wpz_n_mem));
    free(p);
    return 1;
}

UvMem* UvMem_alloc_as_orvo_code_k52(void) {
    return UvMem_alloc_val(1, 0x80000, 0x74000, 0, nullptr, nullptr);
}

UvMem* UvMem_alloc_as_region_ff0000(void) {
    static const uint32_t a_zone[1] = {0xFFA000};
    static const uint32_t n_zone[1] = {0x2000};
    return UvMem_alloc_val(0, 0xFF0000, 0x10000, 1, a_zone, n_zone);
}

UvMem* UvMem_alloc_as_region_400000(void) {
    return UvMem_alloc_val(1, 0x400000, 0x100000, 0, nullptr, nullptr);
}

UvMem* UvMem_alloc_as_region_180000(void) {
    return UvMem_alloc_val(1, 0x180000, 0x60000, 0, nullptr, nullptr);
}

UvMem* UvMem_alloc_as_region_1e0000(void) {
    return UvMem_alloc_val(1, 0x1E0000, 0x14000, 0, nullptr, nullptr);
}

UvMem* UvMem_alloc_as_region_000000(void) {
    return UvMem_alloc_val(1, 0, 0x20000, 0, nullptr, nullptr);
}

int32_t UvMem_get_attr(const UvMem* p) {
    return p ? p->attr : 0;
}
uint32_t UvMem_get_a_vmem(const UvMem* p) {
    return p ? p->a_vmem : 0;
}
uint32_t UvMem_get_n_vmem(const UvMem* p) {
    return p ? p->n_vmem : 0;
}
uint8_t* UvMem_get_p_vmem(const UvMem* p) {
    return p ? p->p_vmem : nullptr;
}
int32_t UvMem_get_n_wpz(const UvMem* p) {
    return p ? p->n_wpz : 0;
}
const uint32_t* UvMem_get_p_wpz_a_mem(const UvMem* p) {
    return p ? p->p_wpz_a_mem : nullptr;
}
const uint32_t* UvMem_get_p_wpz_n_mem(const UvMem* p) {
    return p ? p->p_wpz_n_mem : nullptr;
}
int UvMem_has_attr(const UvMem* p) {
    return (p && p->attr != 0) ? 1 : 0;
}

uint32_t UvMem_adr_to_offset(const UvMem* p, uint32_t adr) {
    return p ? adr - p->a_vmem : 0;
}

uint32_t UvMem_offset_to_adr(const UvMem* p, uint32_t offset) {
    return p ? offset + p->a_vmem : 0;
}

int UvMem_offset_is_inside(const UvMem* p, uint32_t offset) {
    return (p && offset < p->n_vmem) ? 1 : 0;
}

int UvMem_adr_is_inside(const UvMem* p, uint32_t adr) {
    return p ? UvMem_offset_is_inside(p, adr - p->a_vmem) : 0;
}

int32_t UvMem_get_wpz_of_adr(const UvMem* p, uint32_t adr) {
    if (p == nullptr || p->p_wpz_a_mem == nullptr || p->p_wpz_n_mem == nullptr) return -1;
    for (int32_t i = 0; i < p->n_wpz; i++) {
        // The end is taken in 64 bits, so a zone that reaches the top of the
        // address space still protects its bytes instead of wrapping to empty.
        uint64_t a = p->p_wpz_a_mem[i];
        uint64_t e = a + p->p_wpz_n_mem[i];
        if (a <= adr && adr < e) return i;
    }
    return -1;
}

int UvMem_adr_is_writable(const UvMem* p, uint32_t adr) {
    return (UvMem_adr_is_inside(p, adr) && UvMem_get_wpz_of_adr(p, adr) < 0) ? 1 : 0;
}

int UvMem_offset_is_writable(const UvMem* p, uint32_t offset) {
    return (UvMem_offset_is_inside(p, offset) && UvMem_get_wpz_of_adr(p, offset + p->a_vmem) < 0)
               ? 1
               : 0;
}

int UvMem_fill(UvMem* p, int32_t value) {
    if (p == nullptr) return 0;
    if (p->p_vmem != nullptr) memset(p->p_vmem, value & 0xFF, p->n_vmem);
    return 1;
}

uint8_t UvMem_read_byte(const UvMem* p, uint32_t adr) {
    if (!UvMem_adr_is_inside(p, adr)) return 0xFF;
    return p->p_vmem[adr - p->a_vmem];
}

int UvMem_write_byte(UvMem* p, uint32_t adr, int32_t value) {
    if (!UvMem_adr_is_writable(p, adr)) return 0;
    p->p_vmem[adr - p->a_vmem] = static_cast<uint8_t>(value & 0xFF);
    return 1;
}

int UvMem_block_equals_val(const UvMem* p, uint32_t adr, int32_t n_bytes, int32_t value) {
    const uint8_t v = static_cast<uint8_t>(value & 0xFF);
    for (int32_t i = 0; i < n_bytes; i++) {
        if (UvMem_read_byte(p, adr + static_cast<uint32_t>(i)) != v) return 0;
    }
    return 1;
}

int UvMem_MsrLin_write(UvMem* p, const MsrLin* p_set, uint32_t* p_adr_error) {
    if (p == nullptr || p_set == nullptr) return 1;
    const int32_t n_set = MsrLin_get_n_set(p_set);
    const uint32_t* p_a = MsrLin_get_p_set_a_bytes(p_set);
    const uint32_t* p_n = MsrLin_get_p_set_n_bytes(p_set);
    const uint8_t* const* p_b = MsrLin_get_p_set_p_bytes(p_set);
    // A set whose tables or bytes are missing cannot be walked: treat it as
    // no set at all rather than read through null.
    if (n_set > 0 && (p_a == nullptr || p_n == nullptr || p_b == nullptr)) return 1;
    for (int32_t k = 0; k < n_set; k++) {
        if (p_n[k] > 0 && p_b[k] == nullptr) return 1;
    }

    const uint32_t a_vm = p->a_vmem;
    const uint32_t e_vm = p->a_vmem + p->n_vmem;
    Con_printf("**** a_vm=%08x e_vm=%08x\n", a_vm, e_vm);

    for (int32_t k = 0; k < n_set; k++) {
        const uint32_t a = p_a[k];
        const uint32_t n = p_n[k];
        const uint8_t* b = p_b[k];
        // Only feed the partition line; the byte writes below decide.
        const int is_valid_0 = (a >= a_vm && uint64_t{a} + n <= uint64_t{a_vm} + p->n_vmem) ? 1 : 0;
        const int is_valid_1 =
            (UvMem_adr_is_writable(p, a) && UvMem_adr_is_writable(p, a + n - 1)) ? 1 : 0;
        if (is_valid_0 != is_valid_1) {
            Con_printf("partition: a_mem=%08x e_mem=%08x, is_valid_0=%d, is_valid_1=%d\n", a, a + n,
                       is_valid_0, is_valid_1);
        }
        for (uint32_t i = 0; i < n; i++) {
            if (!UvMem_write_byte(p, a + i, b[i])) {
                if (p_adr_error != nullptr) *p_adr_error = a + i;
                return 2;
            }
        }
    }
    return 0;
}
