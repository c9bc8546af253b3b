// orvo-bench: runs the benchmarks, prints one table and writes the figures as JSON.
#include "bench.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

void usage(void) {
    fprintf(stderr,
            "usage: orvo-bench [--json FILE] [--only GROUP[,GROUP...]] [--keep]\n"
            "  groups: srec; download = paced (with the line's minimum), gui, parallel; wire (the\n"
            "  line's minimum alone)\n"
            "  --keep leaves the generated files and logs in the temporary directory.\n"
            "environment: ORVO_BENCH_REPEAT=N runs of the S-record and paced-CLI figures;\n"
            "  for looking into the line: ORVO_BENCH_TAP_PACED=1 relays a paced line,\n"
            "  ORVO_BENCH_TAP_DUMP=FILE writes every relayed byte with its time,\n"
            "  ORVO_BENCH_SIM_SLACK_NS=N sets the simulators' timer slack.\n");
}

std::string json_escape(const std::string& s) {
    std::string r;
    for (char c : s) {
        if (c == '"' || c == '\\') {
            r.push_back('\\');
            r.push_back(c);
        } else if ((unsigned char)c < 0x20) {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\u%04x", (unsigned char)c);
            r += buf;
        } else {
            r.push_back(c);
        }
    }
    return r;
}

std::string format_value(double v) {
    char buf[64];
    if (v != 0 && (std::fabs(v) < 0.001 || std::fabs(v) >= 1e7))
        snprintf(buf, sizeof(buf), "%.4g", v);
    else if (v == std::floor(v) && std::fabs(v) < 1e7)
        snprintf(buf, sizeof(buf), "%.0f", v);
    else
        snprintf(buf, sizeof(buf), "%.4f", v);
    return buf;
}

const char* verdict(const BenchFigure& f) {
    if (f.target <= 0) return "";
    return f.value <= f.target ? "ok" : "MISSED";
}

void print_table(const BenchFigures& figs) {
    printf("%-22s %-24s %14s %-11s %8s %-6s %s\n", "group", "figure", "value", "unit", "target", "",
           "note");
    for (const BenchFigure& f : figs) {
        std::string target = f.target > 0 ? "<= " + format_value(f.target) : "";
        printf("%-22s %-24s %14s %-11s %8s %-6s %s\n", f.group.c_str(), f.name.c_str(),
               format_value(f.value).c_str(), f.unit.c_str(), target.c_str(), verdict(f),
               f.note.c_str());
    }
}

int write_json(const std::string& path, const BenchFigures& figs) {
    FILE* fp = fopen(path.c_str(), "w");
    if (fp == nullptr) return 0;
    struct utsname un;
    uname(&un);
    char host[256] = "";
    gethostname(host, sizeof(host) - 1);
    fprintf(fp, "{\n  \"host\": {\"cpus\": %ld, \"system\": \"%s %s %s\"},\n  \"figures\": [\n",
            sysconf(_SC_NPROCESSORS_ONLN), json_escape(un.sysname).c_str(),
            json_escape(un.release).c_str(), json_escape(un.machine).c_str());
    for (size_t i = 0; i < figs.size(); i++) {
        const BenchFigure& f = figs[i];
        fprintf(fp, "    {\"group\": \"%s\", \"name\": \"%s\", \"value\": %.9g, \"unit\": \"%s\"",
                json_escape(f.group).c_str(), json_escape(f.name).c_str(), f.value,
                json_escape(f.unit).c_str());
        if (f.target > 0)
            fprintf(fp, ", \"target_max\": %.9g, \"met\": %s", f.target,
                    f.value <= f.target ? "true" : "false");
        fprintf(fp, ", \"note\": \"%s\"}%s\n", json_escape(f.note).c_str(),
                i + 1 < figs.size() ? "," : "");
    }
    fprintf(fp, "  ]\n}\n");
    return fclose(fp) == 0;
}

bool wanted(const std::string& only, const char* group) {
    if (only.empty()) return true;
    size_t start = 0;
    for (;;) {
        size_t end = only.find(',', start);
        if (only.compare(start, end == std::string::npos ? std::string::npos : end - start,
                         group) == 0)
            return true;
        if (end == std::string::npos) return false;
        start = end + 1;
    }
}

} // namespace

int main(int argc, char** argv) {
    std::string json_path;
    std::string only;
    bool keep = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--json") == 0 && i + 1 < argc) {
            json_path = argv[++i];
        } else if (strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else if (strcmp(argv[i], "--keep") == 0) {
            keep = true;
        } else {
            usage();
            return 2;
        }
    }
    std::string dir = bench_temp_dir();
    if (dir.empty()) {
        fprintf(stderr, "orvo-bench: cannot create a temporary directory\n");
        return 1;
    }
    BenchFigures figs;
    int ok = 1;
    // Other work on the machine shows in every time; the load says how much there was.
    double load[1] = {0};
    if (getloadavg(load, 1) == 1)
        bench_add(&figs, "host", "load_at_start", load[0], "load", 0,
                  "1-minute load average; " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) +
                      " CPUs");
    if (wanted(only, "srec")) {
        fprintf(stderr, "orvo-bench: S-record files ...\n");
        if (!bench_srec(&figs, dir)) {
            fprintf(stderr, "orvo-bench: the S-record benchmark met unexpected results\n");
            ok = 0;
        }
    }
    int parts = 0;
    if (wanted(only, "download")) parts = BENCH_DL_ALL;
    if (wanted(only, "paced")) parts |= BENCH_DL_PACED;
    if (wanted(only, "gui")) parts |= BENCH_DL_GUI;
    if (wanted(only, "parallel")) parts |= BENCH_DL_PARALLEL;
    bool wire_only = parts == 0 && wanted(only, "wire");
    if ((parts != 0 || wire_only) && !bench_download_available()) {
        fprintf(stderr, "orvo-bench: orvo-devsim or orvo-loader-cli not built: no download "
                        "figures\n");
    } else if (wire_only) {
        double t0 = 0;
        if (!bench_wire_minimum(&figs, dir, &t0)) ok = 0;
    } else if (parts != 0) {
        fprintf(stderr, "orvo-bench: downloads (%s) ...\n",
                parts == BENCH_DL_ALL ? "about 9 minutes" : "a minute or more each");
        if (!bench_download(&figs, dir, parts)) {
            fprintf(stderr, "orvo-bench: a download failed; logs in %s\n", dir.c_str());
            keep = true;
            ok = 0;
        }
    }
    if (bench_download_slow_runs() > 0) {
        fprintf(stderr, "orvo-bench: %d downloads were far slower than expected; files kept\n",
                bench_download_slow_runs());
        keep = true;
    }
    print_table(figs);
    if (!json_path.empty() && !write_json(json_path, figs)) {
        fprintf(stderr, "orvo-bench: cannot write %s\n", json_path.c_str());
        ok = 0;
    }
    if (keep)
        fprintf(stderr, "orvo-bench: files kept in %s\n", dir.c_str());
    else
        bench_remove_tree(dir);
    return ok ? 0 : 1;
}
