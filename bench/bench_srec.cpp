// S-record benchmark: a 16 MiB file through reader, partitions and memory image, against srec_cat.
#include "bench.h"

#include "con.h"
#include "msrecin.h"
#include "msrpart.h"
#include "uvmem.h"
#include "uvmemx.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const uint32_t kImageBytes = 16u << 20; // 16 MiB
const uint32_t kLineBytes = 16;         // data bytes per S3 line

int g_n_error_lines = 0;

// Keeps the library's log quiet but counts its error lines: a benchmark that
// ran into errors measured the wrong thing.
int count_errors(void*, const char* text) {
    if (strncmp(text, "error-", 6) == 0) g_n_error_lines++;
    return 0;
}

uint32_t next_random(uint32_t* p_state) {
    uint32_t x = *p_state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    *p_state = x;
    return x;
}

std::vector<uint8_t> make_image_bytes(void) {
    std::vector<uint8_t> bytes(kImageBytes);
    uint32_t state = 0x2545F491;
    for (uint32_t i = 0; i < kImageBytes; i += 4) {
        uint32_t r = next_random(&state);
        memcpy(&bytes[i], &r, 4);
    }
    return bytes;
}

void put_hex(std::string* p, uint8_t b) {
    static const char hex[] = "0123456789ABCDEF";
    p->push_back(hex[b >> 4]);
    p->push_back(hex[b & 15]);
}

// One line: type, count, address (w bytes), data, checksum, CR LF.
void put_line(std::string* p, int type, uint32_t adr, int w, const uint8_t* data, uint32_t n) {
    std::vector<uint8_t> body;
    body.push_back((uint8_t)(w + n + 1));
    for (int i = w - 1; i >= 0; i--)
        body.push_back((uint8_t)(adr >> (8 * i)));
    body.insert(body.end(), data, data + n);
    uint8_t sum = 0;
    for (uint8_t b : body)
        sum = (uint8_t)(sum + b);
    body.push_back((uint8_t)~sum);
    p->push_back('S');
    p->push_back((char)('0' + type));
    for (uint8_t b : body)
        put_hex(p, b);
    p->append("\r\n");
}

// The file as a tool chain writes it: S0 header, S3 lines at ascending
// addresses from 0, S7 end line.
int write_srec_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::string text;
    text.reserve((size_t)bytes.size() / kLineBytes * 48 + 64);
    static const uint8_t hdr[3] = {'H', 'D', 'R'};
    put_line(&text, 0, 0, 2, hdr, 3);
    for (uint32_t a = 0; a < bytes.size(); a += kLineBytes)
        put_line(&text, 3, a, 4, &bytes[a], kLineBytes);
    put_line(&text, 7, 0, 4, nullptr, 0);
    FILE* fp = fopen(path.c_str(), "wb");
    if (fp == nullptr) return 0;
    int ok = fwrite(text.data(), 1, text.size(), fp) == text.size();
    return fclose(fp) == 0 && ok;
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::vector<uint8_t> v;
    FILE* fp = fopen(path.c_str(), "rb");
    if (fp == nullptr) return v;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), fp)) > 0)
        v.insert(v.end(), buf, buf + n);
    fclose(fp);
    return v;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The least disturbed of several runs: other work on the machine only ever adds time.
double best(const std::vector<double>& v) {
    return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}

struct ProjectRun {
    double load_s, part_s, image_s;
    int32_t n_records, n_partitions;
    int image_ok;
};

// Reader, partitions, memory image: the project's path from file to bytes.
ProjectRun run_project(const std::string& path, const std::vector<uint8_t>& expected) {
    ProjectRun r = {0, 0, 0, 0, 0, 0};
    MsRecSet* p_raw = MsRecSet_alloc();
    MsRecSet* p_coh = MsRecSet_alloc();
    double t0 = bench_now_s();
    int ok = MsRecIn_load_file(p_raw, path.c_str());
    double t1 = bench_now_s();
    ok = ok && MsrPart_create_coherent_partitions(p_coh, p_raw);
    double t2 = bench_now_s();
    UvMem* p_mem = UvMem_alloc_val(1, 0, kImageBytes, 0, nullptr, nullptr);
    ok = ok && p_mem != nullptr && UvMem_fill(p_mem, 0xFF);
    uint32_t adr_error = 0;
    ok = ok && UvMem_MsRecSet_write(p_mem, p_coh, &adr_error) == 0;
    double t3 = bench_now_s();
    r.load_s = t1 - t0;
    r.part_s = t2 - t1;
    r.image_s = t3 - t2;
    r.n_records = Us_get_n_elem(p_raw);
    r.n_partitions = Us_get_n_elem(p_coh);
    r.image_ok = ok && memcmp(UvMem_get_p_vmem(p_mem), expected.data(), kImageBytes) == 0;
    UvMem_free(p_mem);
    Us_free(p_raw);
    Us_free(p_coh);
    return r;
}

// A set of n 16-byte data records covering 0 .. 16 n, in ascending order or
// in a fixed shuffled order.
MsRecSet* make_rec_set(int32_t n, bool shuffled) {
    std::vector<uint32_t> order((size_t)n);
    for (int32_t i = 0; i < n; i++)
        order[(size_t)i] = (uint32_t)i;
    if (shuffled) {
        uint32_t state = 0x9E3779B9;
        for (int32_t i = n - 1; i > 0; i--)
            std::swap(order[(size_t)i], order[next_random(&state) % (uint32_t)(i + 1)]);
    }
    uint8_t data[kLineBytes];
    MsRecSet* p = MsRecSet_alloc();
    for (int32_t i = 0; i < n; i++) {
        uint32_t k = order[(size_t)i];
        for (uint32_t j = 0; j < kLineBytes; j++)
            data[j] = (uint8_t)(k + j);
        MsRecSet_postfix_val(p, MSREC_TAG_DATA, k * kLineBytes, kLineBytes, data);
    }
    return p;
}

// Seconds for one partition run over the set (the median of enough runs to
// last about a quarter of a second), and the partitions it gave.
double time_partitions(MsRecSet* p_src, int32_t* p_n_part) {
    std::vector<double> times;
    double t_total = 0;
    while (times.size() < 3 || (t_total < 0.25 && times.size() < 1000)) {
        MsRecSet* p_dst = MsRecSet_alloc();
        double t0 = bench_now_s();
        MsrPart_create_coherent_partitions(p_dst, p_src);
        double t = bench_now_s() - t0;
        *p_n_part = Us_get_n_elem(p_dst);
        Us_free(p_dst);
        times.push_back(t);
        t_total += t;
    }
    return median(times);
}

} // namespace

int bench_srec(BenchFigures* p_fig, const std::string& work_dir) {
    const char* env_repeat = getenv("ORVO_BENCH_REPEAT");
    int n_repeat = env_repeat ? std::max(1, atoi(env_repeat)) : 5;
    Con_set_cb_output(count_errors, nullptr);
    int ok = 1;

    std::vector<uint8_t> image = make_image_bytes();
    std::string path = work_dir + "/image16m.s37";
    std::string out_bin = work_dir + "/image16m.bin";
    if (!write_srec_file(path, image)) {
        fprintf(stderr, "bench: cannot write %s\n", path.c_str());
        Con_set_cb_output(nullptr, nullptr);
        return 0;
    }
    const int32_t n_lines = (int32_t)(kImageBytes / kLineBytes);

    // Side by side, alternating, so both meet the same machine state.
    std::vector<double> t_load, t_part, t_image, t_total, t_srec_cat;
    ProjectRun last = {};
    for (int i = 0; i < n_repeat; i++) {
        last = run_project(path, image);
        t_load.push_back(last.load_s);
        t_part.push_back(last.part_s);
        t_image.push_back(last.image_s);
        t_total.push_back(last.load_s + last.part_s + last.image_s);
        if (!last.image_ok || last.n_records != n_lines + 1 || last.n_partitions != 1) ok = 0;
        BenchRun r = bench_run({"/usr/bin/srec_cat", path, "-o", out_bin, "-binary"});
        if (r.status != 0) ok = 0;
        t_srec_cat.push_back(r.wall_s);
    }
    std::vector<uint8_t> bin = read_file(out_bin);
    if (bin != image) ok = 0;

    const std::string g = "srec";
    bench_add(p_fig, g, "records", n_lines, "records", 0, "16-byte S3 lines of a 16 MiB image");
    bench_add(p_fig, g, "partitions", last.n_partitions, "partitions", 0, "one run of addresses");
    bench_add(p_fig, g, "load", best(t_load), "s", 0, "MsRecIn_load_file");
    bench_add(p_fig, g, "partition", best(t_part), "s", 0, "MsrPart_create_coherent_partitions");
    bench_add(p_fig, g, "image", best(t_image), "s", 0, "UvMem_MsRecSet_write of the partitions");
    bench_add(p_fig, g, "project_total", best(t_total), "s", 0, "load + partitions + image");
    bench_add(p_fig, g, "srec_cat", best(t_srec_cat), "s", 0, "srec_cat file -o out.bin -binary");
    bench_add(p_fig, g, "project_vs_srec_cat", best(t_total) / best(t_srec_cat), "ratio", 0,
              "project total / srec_cat, same file, best of " + std::to_string(n_repeat) +
                  " alternating runs each");
    bench_add(p_fig, g, "same_bytes", (ok && bin == image) ? 1 : 0, "bool", 0,
              "memory image and srec_cat output equal the generated bytes");

    // Growth of the partition step: sorted input (as files come) and
    // shuffled input (the index's worst case).
    for (int shuffled = 0; shuffled <= 1; shuffled++) {
        const std::string gp = shuffled ? "partition_shuffled" : "partition_sorted";
        double t_prev = 0;
        for (int32_t n = 1000; n <= 1000000; n *= 10) {
            MsRecSet* p_src = make_rec_set(n, shuffled != 0);
            int32_t n_part = 0;
            double t = time_partitions(p_src, &n_part);
            Us_free(p_src);
            std::string tag = "1e" + std::to_string((int)std::lround(std::log10((double)n)));
            bench_add(p_fig, gp, "t_" + tag, t, "s", 0, std::to_string(n) + " records");
            bench_add(p_fig, gp, "per_record_" + tag, t / n * 1e9, "ns/record");
            bench_add(p_fig, gp, "partitions_" + tag, n_part, "partitions");
            if (t_prev > 0) {
                // n log n predicts 11.5 to 12.0 per decade here; n^2 would be 100.
                bench_add(p_fig, gp, "growth_to_" + tag, t / t_prev, "ratio", 0,
                          "time / time of a tenth of the records");
            }
            if (n_part < 1) ok = 0;
            t_prev = t;
        }
    }

    if (g_n_error_lines > 0) {
        fprintf(stderr, "bench: the library logged %d error lines\n", g_n_error_lines);
        ok = 0;
    }
    Con_set_cb_output(nullptr, nullptr);
    return ok;
}
