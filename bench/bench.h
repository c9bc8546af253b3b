// Benchmark toolkit: figures with units, clocks, child processes with their CPU time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One reported figure. A ratio or a count is what a run is judged by; times
// are for information. target is the bound the figure should stay within
// (at most), 0 when there is none.
struct BenchFigure {
    std::string group; // e.g. "srec", "paced"
    std::string name;  // e.g. "load_s"
    double value;
    std::string unit; // "s", "ratio", "records", ...
    double target;
    std::string note;
};

typedef std::vector<BenchFigure> BenchFigures;

void bench_add(BenchFigures* p, const std::string& group, const std::string& name, double value,
               const std::string& unit, double target = 0, const std::string& note = "");

// Monotonic seconds.
double bench_now_s(void);
// CPU seconds (user + system) of this process so far.
double bench_self_cpu_s(void);

// A finished child process: exit status (-1 when it could not be run or
// waited for), wall seconds from start to exit, its user + system CPU seconds.
struct BenchRun {
    int status;
    double wall_s;
    double cpu_s;
};

// A started child: its pid and the start time. pid is -1 when it failed.
struct BenchChild {
    int pid;
    double t_start;
};

// Starts argv[0] (a path) with the arguments; stdout and stderr go to
// out_path when given (else /dev/null), with extra_env ("NAME=value")
// added to the environment.
BenchChild bench_spawn(const std::vector<std::string>& argv, const std::string& out_path = "",
                       const std::vector<std::string>& extra_env = {});
// Waits for the child; status, wall time and CPU time (from wait4).
BenchRun bench_wait(BenchChild child);
// bench_spawn and bench_wait in one.
BenchRun bench_run(const std::vector<std::string>& argv, const std::string& out_path = "",
                   const std::vector<std::string>& extra_env = {});

// A fresh temporary directory (removed by bench_remove_tree).
std::string bench_temp_dir(void);
void bench_remove_tree(const std::string& dir);

// The S-record benchmark (bench_srec.cpp): adds its figures. work_dir holds
// the generated file. 1 when every step gave the expected result.
int bench_srec(BenchFigures* p_fig, const std::string& work_dir);

// The download benchmarks (bench_download.cpp): 1 when orvo-devsim and
// orvo-loader-cli are built beside this program.
int bench_download_available(void);
// Parts of the download benchmarks; the window's ratio needs the paced CLI
// time, and that needs the line's minimum, so those run along.
enum { BENCH_DL_PACED = 1, BENCH_DL_GUI = 2, BENCH_DL_PARALLEL = 4, BENCH_DL_ALL = 7 };
// Paced download against the line's minimum, CPU cost, the window, parallel
// downloads (as parts says). 1 when every download succeeded.
int bench_download(BenchFigures* p_fig, const std::string& work_dir, int parts);
// Only the exact bytes of one download (through a tap, unpaced) and the
// line's minimum T0 from them; 1 on success.
int bench_wire_minimum(BenchFigures* p_fig, const std::string& work_dir, double* p_t0);
// Downloads so far that took far longer than their reference (their files
// are worth keeping).
int bench_download_slow_runs(void);
