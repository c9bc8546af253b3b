// Target memory image: constructors, inside and zone rules, byte access, blank test, writing
// segment sets.
#include "con.h"
#include "msrlin.h"
#include "uvmem.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

int collect(void* p, const char* text) {
    static_cast<std::vector<std::string>*>(p)->emplace_back(text);
    return 0;
}

struct ImageDeleter {
    void operator()(UvMem* p) const { UvMem_free(p); }
};
using Image = std::unique_ptr<UvMem, ImageDeleter>;

struct UvMemTest : ::testing::Test {
    std::vector<std::string> log;
    void SetUp() override { Con_set_cb_output(collect, &log); }
    void TearDown() override { Con_set_cb_output(nullptr, nullptr); }
};

// One segment set over owned vectors.
struct Segments {
    std::vector<uint32_t> a, n;
    std::vector<uint8_t> heap;
    std::vector<const uint8_t*> p;
    MsrLin set{};

    Segments& add(uint32_t adr, uint32_t len, uint8_t first) {
        a.push_back(adr);
        n.push_back(len);
        for (uint32_t i = 0; i < len; i++)
            heap.push_back(static_cast<uint8_t>(first + i));
        return *this;
    }
    const MsrLin* get() {
        p.clear();
        size_t offset = 0;
        for (uint32_t len : n) {
            p.push_back(heap.data() + offset);
            offset += len;
        }
        return MsrLin_init_val(&set, static_cast<int32_t>(a.size()), a.data(), n.data(), nullptr,
                               p.data(), static_cast<int32_t>(heap.size()), heap.data());
    }
};

TEST_F(UvMemTest, ConstructorsMakeTheirRegions) {
    struct Case {
        const char* name;
        UvMem* (*make)(void);
        int32_t attr;
        uint32_t a, n;
        int32_t n_wpz;
    };
    const Case cases[] = {
        {"orvo_code_k52", UvMem_alloc_as_orvo_code_k52, 1, 0x80000, 0x74000, 0},
        {"ff0000", UvMem_alloc_as_region_ff0000, 0, 0xFF0000, 0x10000, 1},
        {"400000", UvMem_alloc_as_region_400000, 1, 0x400000, 0x100000, 0},
        {"180000", UvMem_alloc_as_region_180000, 1, 0x180000, 0x60000, 0},
        {"1e0000", UvMem_alloc_as_region_1e0000, 1, 0x1E0000, 0x14000, 0},
        {"000000", UvMem_alloc_as_region_000000, 1, 0, 0x20000, 0},
    };
    for (const Case& c : cases) {
        Image p(c.make());
        ASSERT_NE(p, nullptr) << c.name;
        EXPECT_EQ(UvMem_get_attr(p.get()), c.attr) << c.name;
        EXPECT_EQ(UvMem_has_attr(p.get()), c.attr != 0 ? 1 : 0) << c.name;
        EXPECT_EQ(UvMem_get_a_vmem(p.get()), c.a) << c.name;
        EXPECT_EQ(UvMem_get_n_vmem(p.get()), c.n) << c.name;
        EXPECT_NE(UvMem_get_p_vmem(p.get()), nullptr) << c.name;
        EXPECT_EQ(UvMem_get_n_wpz(p.get()), c.n_wpz) << c.name;
        if (c.n_wpz == 0) {
            EXPECT_EQ(UvMem_get_p_wpz_a_mem(p.get()), nullptr) << c.name;
            EXPECT_EQ(UvMem_get_p_wpz_n_mem(p.get()), nullptr) << c.name;
        }
        // The whole region is usable.
        EXPECT_EQ(UvMem_fill(p.get(), 0xFF), 1);
        EXPECT_TRUE(UvMem_block_equals_val(p.get(), c.a, static_cast<int32_t>(c.n), 0xFF));
    }
    Image z(UvMem_alloc_as_region_ff0000());
    EXPECT_EQ(UvMem_get_p_wpz_a_mem(z.get())[0], 0xFFA000u);
    EXPECT_EQ(UvMem_get_p_wpz_n_mem(z.get())[0], 0x2000u);
    EXPECT_TRUE(log.empty());
}

TEST_F(UvMemTest, ReadsOutsideTheImageGiveTheErasedValue) {
    Image p(UvMem_alloc_as_orvo_code_k52());
    ASSERT_NE(p, nullptr);
    UvMem_fill(p.get(), 0x5A);
    const uint32_t a = 0x80000, e = 0x80000 + 0x74000;
    EXPECT_EQ(UvMem_read_byte(p.get(), a - 1), 0xFF);
    EXPECT_EQ(UvMem_read_byte(p.get(), a), 0x5A);
    EXPECT_EQ(UvMem_read_byte(p.get(), e - 1), 0x5A);
    EXPECT_EQ(UvMem_read_byte(p.get(), e), 0xFF);
    EXPECT_EQ(UvMem_read_byte(p.get(), 0), 0xFF);
    EXPECT_EQ(UvMem_read_byte(p.get(), 0xFFFFFFFF), 0xFF);
    EXPECT_EQ(UvMem_read_byte(nullptr, a), 0xFF);

    // Below a_vmem the offset wraps to a huge value, so it is outside too.
    EXPECT_EQ(UvMem_adr_to_offset(p.get(), a - 1), 0xFFFFFFFFu);
    EXPECT_EQ(UvMem_offset_to_adr(p.get(), 0x10), 0x80010u);
    EXPECT_EQ(UvMem_adr_is_inside(p.get(), a - 1), 0);
    EXPECT_EQ(UvMem_adr_is_inside(p.get(), a), 1);
    EXPECT_EQ(UvMem_adr_is_inside(p.get(), e - 1), 1);
    EXPECT_EQ(UvMem_adr_is_inside(p.get(), e), 0);
    EXPECT_EQ(UvMem_offset_is_inside(p.get(), 0x73FFF), 1);
    EXPECT_EQ(UvMem_offset_is_inside(p.get(), 0x74000), 0);
}

TEST_F(UvMemTest, WritesOutsideAreRefusedAndChangeNothing) {
    Image p(UvMem_alloc_as_orvo_code_k52());
    ASSERT_NE(p, nullptr);
    UvMem_fill(p.get(), 0xFF);
    EXPECT_EQ(UvMem_write_byte(p.get(), 0x7FFFF, 0x00), 0);
    EXPECT_EQ(UvMem_write_byte(p.get(), 0xF4000, 0x00), 0);
    EXPECT_EQ(UvMem_write_byte(nullptr, 0x80000, 0x00), 0);
    EXPECT_TRUE(UvMem_block_equals_val(p.get(), 0x80000, 0x74000, 0xFF));
    // Only the low 8 bits of the value are stored.
    EXPECT_EQ(UvMem_write_byte(p.get(), 0x80010, 0x147), 1);
    EXPECT_EQ(UvMem_read_byte(p.get(), 0x80010), 0x47);
    EXPECT_EQ(UvMem_get_p_vmem(p.get())[UvMem_adr_to_offset(p.get(), 0x80010)], 0x47);
}

// The region at 0xFF0000 with its zone 0xFFA000..0xFFBFFF.
TEST_F(UvMemTest, ZoneBordersAt0xFFA000) {
    Image p(UvMem_alloc_as_region_ff0000());
    ASSERT_NE(p, nullptr);
    UvMem_fill(p.get(), 0x33);
    struct Case {
        uint32_t adr;
        int writable;
        int32_t zone;
    };
    const Case cases[] = {
        {0xFF0000, 1, -1}, {0xFF9FFF, 1, -1}, {0xFFA000, 0, 0},  {0xFFB000, 0, 0},
        {0xFFBFFF, 0, 0},  {0xFFC000, 1, -1}, {0xFFFFFF, 1, -1}, {0x1000000, 0, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UvMem_get_wpz_of_adr(p.get(), c.adr), c.zone) << std::hex << c.adr;
        EXPECT_EQ(UvMem_adr_is_writable(p.get(), c.adr), c.writable) << std::hex << c.adr;
        EXPECT_EQ(UvMem_offset_is_writable(p.get(), c.adr - 0xFF0000), c.writable)
            << std::hex << c.adr;
        EXPECT_EQ(UvMem_write_byte(p.get(), c.adr, 0x77), c.writable) << std::hex << c.adr;
    }
    // Reading ignores the zones.
    EXPECT_EQ(UvMem_read_byte(p.get(), 0xFFA000), 0x33);
    EXPECT_EQ(UvMem_read_byte(p.get(), 0xFF9FFF), 0x77);
    EXPECT_EQ(UvMem_read_byte(p.get(), 0xFFC000), 0x77);
    // Filling is no write through the zone rules: it sets every byte.
    UvMem_fill(p.get(), 0x100);
    EXPECT_TRUE(UvMem_block_equals_val(p.get(), 0xFF0000, 0x10000, 0));
}

// Zones are searched in table order, may overlap and may lie outside the image.
TEST_F(UvMemTest, ZonesAreSearchedInTableOrder) {
    const uint32_t a[] = {0x2000, 0x1000, 0x1800, 0xFFFFF000};
    const uint32_t n[] = {0x100, 0x1000, 0x100, 0x1000};
    Image p(UvMem_alloc_val(1, 0x1000, 0x2000, 4, a, n));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(UvMem_get_wpz_of_adr(p.get(), 0x0FFF), -1);
    EXPECT_EQ(UvMem_get_wpz_of_adr(p.get(), 0x1000), 1);
    EXPECT_EQ(UvMem_get_wpz_of_adr(p.get(), 0x1800), 1); // zone 2 overlaps zone 1
    EXPECT_EQ(UvMem_get_wpz_of_adr(p.get(), 0x2000), 0);
    EXPECT_EQ(UvMem_get_wpz_of_adr(p.get(), 0x20FF), 0);
    EXPECT_EQ(UvMem_get_wpz_of_adr(p.get(), 0x2100), -1);
    EXPECT_EQ(UvMem_adr_is_writable(p.get(), 0x2100), 1);
    // A zone that ends exactly at the top of the address space protects its last byte.
    EXPECT_EQ(UvMem_get_wpz_of_adr(p.get(), 0xFFFFFFFF), 3);
    EXPECT_EQ(UvMem_get_wpz_of_adr(nullptr, 0x1000), -1);
}

TEST_F(UvMemTest, AllocValCopiesTheZoneTables) {
    uint32_t a[] = {0x100};
    uint32_t n[] = {0x10};
    Image p(UvMem_alloc_val(7, 0, 0x200, 1, a, n));
    ASSERT_NE(p, nullptr);
    a[0] = 0;
    n[0] = 0x200;
    EXPECT_NE(UvMem_get_p_wpz_a_mem(p.get()), a);
    EXPECT_EQ(UvMem_get_wpz_of_adr(p.get(), 0x100), 0);
    EXPECT_EQ(UvMem_get_wpz_of_adr(p.get(), 0x0), -1);
    EXPECT_EQ(UvMem_get_attr(p.get()), 7);

    // Zones without source tables hold empty zones: nothing is protected.
    Image q(UvMem_alloc_val(1, 0, 0x200, 2, nullptr, nullptr));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(UvMem_get_n_wpz(q.get()), 2);
    EXPECT_EQ(UvMem_adr_is_writable(q.get(), 0), 1);

    // An image of no bytes is an image; nothing is inside it.
    Image e(UvMem_alloc_val(1, 0x1000, 0, 0, nullptr, nullptr));
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(UvMem_adr_is_inside(e.get(), 0x1000), 0);
    EXPECT_EQ(UvMem_fill(e.get(), 0), 1);
    EXPECT_TRUE(log.empty());
}

TEST_F(UvMemTest, InitUsesTheCallersStorage) {
    uint8_t bytes[16] = {};
    const uint32_t a[] = {0x108};
    const uint32_t n[] = {2};
    UvMem vm;
    EXPECT_EQ(UvMem_init(&vm, 1, 0x100, 16, bytes, 1, a, n), &vm);
    EXPECT_EQ(UvMem_write_byte(&vm, 0x101, 0xAB), 1);
    EXPECT_EQ(bytes[1], 0xAB);
    EXPECT_EQ(UvMem_write_byte(&vm, 0x108, 0xAB), 0);
    EXPECT_EQ(UvMem_get_p_wpz_a_mem(&vm), a);
    // No zones: the zone tables may be null.
    EXPECT_EQ(UvMem_init(&vm, 1, 0x100, 16, bytes, 0, nullptr, nullptr), &vm);
    EXPECT_TRUE(log.empty());
}

TEST_F(UvMemTest, InitLogsEachMissingTable) {
    uint8_t bytes[4];
    const uint32_t a[] = {0};
    UvMem vm;
    const std::string f = "error-src/image/uvmem.cpp-UvMem_init: ";
    struct Case {
        uint8_t* p_vmem;
        int32_t n_wpz;
        const uint32_t *p_a, *p_n;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {nullptr, 0, nullptr, nullptr, {f + "p -> p_vmem = p_vmem)\n"}},
        {bytes, 1, nullptr, a, {f + "p -> p_wpz_a_mem = p_wpz_a_mem)\n"}},
        {bytes, 1, a, nullptr, {f + "p -> p_wpz_n_mem = p_wpz_n_mem)\n"}},
        {nullptr,
         2,
         nullptr,
         nullptr,
         {f + "p -> p_vmem = p_vmem)\n", f + "p -> p_wpz_a_mem = p_wpz_a_mem)\n",
          f + "p -> p_wpz_n_mem = p_wpz_n_mem)\n"}},
    };
    for (const Case& c : cases) {
        log.clear();
        EXPECT_EQ(UvMem_init(&vm, 1, 0, 4, c.p_vmem, c.n_wpz, c.p_a, c.p_n), nullptr);
        EXPECT_EQ(log, c.lines);
    }
    log.clear();
    EXPECT_EQ(UvMem_init(nullptr, 1, 0, 4, bytes, 0, nullptr, nullptr), nullptr);
    EXPECT_TRUE(log.empty());
}

TEST_F(UvMemTest, NullImageAnswersNeutrally) {
    EXPECT_EQ(UvMem_free(nullptr), 1);
    EXPECT_EQ(UvMem_get_attr(nullptr), 0);
    EXPECT_EQ(UvMem_has_attr(nullptr), 0);
    EXPECT_EQ(UvMem_get_a_vmem(nullptr), 0u);
    EXPECT_EQ(UvMem_get_n_vmem(nullptr), 0u);
    EXPECT_EQ(UvMem_get_p_vmem(nullptr), nullptr);
    EXPECT_EQ(UvMem_get_n_wpz(nullptr), 0);
    EXPECT_EQ(UvMem_get_p_wpz_a_mem(nullptr), nullptr);
    EXPECT_EQ(UvMem_get_p_wpz_n_mem(nullptr), nullptr);
    EXPECT_EQ(UvMem_adr_is_inside(nullptr, 0), 0);
    EXPECT_EQ(UvMem_offset_is_inside(nullptr, 0), 0);
    EXPECT_EQ(UvMem_adr_is_writable(nullptr, 0), 0);
    EXPECT_EQ(UvMem_offset_is_writable(nullptr, 0), 0);
    EXPECT_EQ(UvMem_fill(nullptr, 0xFF), 0);
}

TEST_F(UvMemTest, BlockEqualsValComparesMissingBytesAsErased) {
    Image p(UvMem_alloc_as_orvo_code_k52());
    ASSERT_NE(p, nullptr);
    UvMem_fill(p.get(), 0xFF);
    const uint32_t last = 0xF4000 - 256;
    // A block reaching 128 bytes past the end: the missing bytes count as 0xFF.
    EXPECT_EQ(UvMem_block_equals_val(p.get(), last + 128, 256, 0xFF), 1);
    EXPECT_EQ(UvMem_block_equals_val(p.get(), last + 128, 256, 0x00), 0);
    EXPECT_EQ(UvMem_block_equals_val(p.get(), 0x7FF80, 256, 0xFF), 1);
    EXPECT_EQ(UvMem_block_equals_val(p.get(), last, 256, 0x1FF), 1); // low 8 bits
    UvMem_write_byte(p.get(), 0xF3FFF, 0xFE);
    EXPECT_EQ(UvMem_block_equals_val(p.get(), last, 256, 0xFF), 0);
    EXPECT_EQ(UvMem_block_equals_val(p.get(), last, 255, 0xFF), 1);
    EXPECT_EQ(UvMem_block_equals_val(p.get(), last + 255, 1, 0xFE), 1);
    EXPECT_EQ(UvMem_block_equals_val(p.get(), last, 0, 0x00), 1);
    EXPECT_EQ(UvMem_block_equals_val(p.get(), last, -5, 0x00), 1);
    // Wholly outside, and the top of the address space wrapping to 0.
    EXPECT_EQ(UvMem_block_equals_val(p.get(), 0xFFFFFF80, 256, 0xFF), 1);
}

struct MsrLinWriteTest : UvMemTest {
    Image vm{UvMem_alloc_as_orvo_code_k52()};
    Image z{UvMem_alloc_as_region_ff0000()}; // with its zone 0xFFA000..0xFFBFFF
    uint32_t adr_error = 0xDEADBEEF;
    const std::string image_line = "**** a_vm=00080000 e_vm=000f4000\n";
    void SetUp() override {
        UvMemTest::SetUp();
        ASSERT_NE(vm, nullptr);
        ASSERT_NE(z, nullptr);
        UvMem_fill(vm.get(), 0xFF);
        UvMem_fill(z.get(), 0xFF);
    }
};

TEST_F(MsrLinWriteTest, WritesEverySegmentAndPrintsTheImageLine) {
    Segments s;
    s.add(0x80000, 0x20, 1).add(0x80100, 3, 0xA0);
    EXPECT_EQ(UvMem_MsrLin_write(vm.get(), s.get(), &adr_error), 0);
    EXPECT_EQ(adr_error, 0xDEADBEEFu);
    EXPECT_EQ(log, std::vector<std::string>{image_line});
    EXPECT_EQ(UvMem_read_byte(vm.get(), 0x80000), 1);
    EXPECT_EQ(UvMem_read_byte(vm.get(), 0x8001F), 0x20);
    EXPECT_EQ(UvMem_read_byte(vm.get(), 0x80020), 0xFF); // the gap stays erased
    EXPECT_EQ(UvMem_read_byte(vm.get(), 0x80102), 0xA2);
    EXPECT_EQ(UvMem_read_byte(vm.get(), 0x80103), 0xFF);
}

TEST_F(MsrLinWriteTest, SegmentEndingExactlyAtTheEndIsWrittenCompletely) {
    Segments s;
    s.add(0xF4000 - 0x40, 0x40, 0);
    EXPECT_EQ(UvMem_MsrLin_write(vm.get(), s.get(), &adr_error), 0);
    EXPECT_EQ(log, std::vector<std::string>{image_line}); // no partition line
    EXPECT_EQ(UvMem_read_byte(vm.get(), 0xF3FFF), 0x3F);
}

TEST_F(MsrLinWriteTest, SegmentOneBytePastTheEndStopsAtTheEnd) {
    Segments s;
    s.add(0xF4000 - 0x40, 0x41, 0).add(0x80000, 1, 0x55);
    EXPECT_EQ(UvMem_MsrLin_write(vm.get(), s.get(), &adr_error), 2);
    EXPECT_EQ(adr_error, 0xF4000u);
    // Both verdicts are 0, so they agree and no partition line is printed.
    EXPECT_EQ(log, std::vector<std::string>{image_line});
    EXPECT_EQ(UvMem_read_byte(vm.get(), 0xF3FFF), 0x3F); // written before the failure
    EXPECT_EQ(UvMem_read_byte(vm.get(), 0x80000), 0xFF); // later segments are not written
    // Without an out-address the result is the same.
    EXPECT_EQ(UvMem_MsrLin_write(vm.get(), s.get(), nullptr), 2);
}

TEST_F(MsrLinWriteTest, SegmentBelowTheImageFailsAtItsFirstByte) {
    Segments s;
    s.add(0x7FFF0, 0x20, 0);
    EXPECT_EQ(UvMem_MsrLin_write(vm.get(), s.get(), &adr_error), 2);
    EXPECT_EQ(adr_error, 0x7FFF0u);
    EXPECT_TRUE(UvMem_block_equals_val(vm.get(), 0x80000, 0x100, 0xFF));
}

TEST_F(MsrLinWriteTest, SegmentEndingInAZonePrintsThePartitionLine) {
    Segments s;
    s.add(0xFF9F00, 0x200, 0);
    EXPECT_EQ(UvMem_MsrLin_write(z.get(), s.get(), &adr_error), 2);
    EXPECT_EQ(adr_error, 0xFFA000u);
    EXPECT_EQ(log, (std::vector<std::string>{
                       "**** a_vm=00ff0000 e_vm=01000000\n",
                       "partition: a_mem=00ff9f00 e_mem=00ffa100, is_valid_0=1, is_valid_1=0\n"}));
    EXPECT_EQ(UvMem_read_byte(z.get(), 0xFF9FFF), 0xFF);
    EXPECT_EQ(UvMem_read_byte(z.get(), 0xFF9FFE), 0xFE);
    EXPECT_EQ(UvMem_read_byte(z.get(), 0xFFA000), 0xFF);
}

// Both ends of the segment are writable, so no line, but the bytes in between
// hit the zone.
TEST_F(MsrLinWriteTest, ZoneInsideASegmentStopsTheWriteWithoutALine) {
    Segments s;
    s.add(0xFF9000, 0x4000, 0);
    EXPECT_EQ(UvMem_MsrLin_write(z.get(), s.get(), &adr_error), 2);
    EXPECT_EQ(adr_error, 0xFFA000u);
    EXPECT_EQ(log, std::vector<std::string>{"**** a_vm=00ff0000 e_vm=01000000\n"});
    EXPECT_EQ(UvMem_read_byte(z.get(), 0xFF9FFF), 0xFF);
    EXPECT_EQ(UvMem_read_byte(z.get(), 0xFF9FFE), 0xFE);
    EXPECT_TRUE(UvMem_block_equals_val(z.get(), 0xFFA000, 0x2000, 0xFF));
    EXPECT_TRUE(UvMem_block_equals_val(z.get(), 0xFFC000, 0x1000, 0xFF));
}

// Only the first byte lies in the zone: the line, and a failure at once.
TEST_F(MsrLinWriteTest, SegmentStartingInAZoneFailsAtItsFirstByte) {
    Segments s;
    s.add(0xFFBFFF, 2, 0);
    EXPECT_EQ(UvMem_MsrLin_write(z.get(), s.get(), &adr_error), 2);
    EXPECT_EQ(adr_error, 0xFFBFFFu);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1], "partition: a_mem=00ffbfff e_mem=00ffc001, is_valid_0=1, is_valid_1=0\n");
}

TEST_F(MsrLinWriteTest, NullArgumentsAndUnwalkableSetsGiveOne) {
    Segments s;
    s.add(0x80000, 4, 0);
    EXPECT_EQ(UvMem_MsrLin_write(nullptr, s.get(), &adr_error), 1);
    EXPECT_EQ(UvMem_MsrLin_write(vm.get(), nullptr, &adr_error), 1);
    MsrLin broken;
    MsrLin_init_val(&broken, 1, nullptr, nullptr, nullptr, nullptr, 4, nullptr);
    EXPECT_EQ(UvMem_MsrLin_write(vm.get(), &broken, &adr_error), 1);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(adr_error, 0xDEADBEEFu);
}

TEST_F(MsrLinWriteTest, EmptySetWritesNothing) {
    MsrLin empty;
    MsrLin_init_val(&empty, 0, nullptr, nullptr, nullptr, nullptr, 0, nullptr);
    EXPECT_EQ(UvMem_MsrLin_write(vm.get(), &empty, &adr_error), 0);
    EXPECT_EQ(log, std::vector<std::string>{image_line});
}

} // namespace
