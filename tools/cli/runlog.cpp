// The run's clock and the time-stamped log file.
#include "runlog.h"

#include <chrono>
#include <cstdio>

namespace {

std::chrono::steady_clock::time_point s_t_start = std::chrono::steady_clock::now();
FILE* s_fp_log = nullptr;
bool s_is_line_start = true;

} // namespace

void RunLog_start(void) {
    s_t_start = std::chrono::steady_clock::now();
}

double RunLog_seconds(void) {
    std::chrono::duration<double> t = std::chrono::steady_clock::now() - s_t_start;
    return t.count();
}

int32_t RunLog_open(const char* p_path) {
    RunLog_close();
    s_fp_log = fopen(p_path, "w");
    s_is_line_start = true;
    return s_fp_log ? 1 : 0;
}

void RunLog_close(void) {
    if (!s_fp_log) return;
    if (!s_is_line_start) fputc('\n', s_fp_log);
    fclose(s_fp_log);
    s_fp_log = nullptr;
}

int32_t RunLog_is_open(void) {
    return s_fp_log ? 1 : 0;
}

void RunLog_write(const char* p_text) {
    if (!s_fp_log || !p_text) return;
    for (const char* c = p_text; *c; c++) {
        if (s_is_line_start)
            fprintf(s_fp_log, "%8lld ms  ", static_cast<long long>(RunLog_seconds() * 1000));
        fputc(*c, s_fp_log);
        s_is_line_start = *c == '\n';
    }
    fflush(s_fp_log);
}

void RunLog_result(int32_t exit_status, const char* p_failed_step) {
    char s[160];
    snprintf(s, sizeof s, "result: %s, exit status %d, %.3f s%s%s\n",
             exit_status == 0 ? "ok" : "failed", exit_status, RunLog_seconds(),
             p_failed_step ? ", step " : "", p_failed_step ? p_failed_step : "");
    RunLog_write(s);
}
