// Gang programming, between the portable part (what the children's events mean, the display,
// the table, the report) and the platform part (the child processes, signals).
#pragma once

#include "gang.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

// What the parent knows of one port's download.
struct GangPort {
    std::string port;
    std::string step, text;        // the running step's id and the window's text
    int64_t done = 0, total = 0;   // bytes of the running block loop
    double t_loop = 0;             // when the running block loop began (seconds since start)
    double t_begin = 0, t_end = 0; // wall clock (seconds since the epoch)
    bool is_running = true;
    bool has_result = false;
    bool ok = false;
    int exit_status = 0;
    double seconds = 0;
    std::string failed_step;
    nlohmann::ordered_json images = nlohmann::ordered_json::array();
    std::string box;              // the last error box of the child
    std::vector<std::string> err; // the child's own stderr lines (hints), the last few
};

struct GangRun {
    const GangCfg* p_cfg;
    std::vector<GangPort> ports;
    int32_t progress; // the parent's display (a bar off a terminal became plain)
    int n_drawn;      // lines of the last drawing
    double t_drawn;
    bool is_asking; // a question waits for its answer: no drawing meanwhile
};

// Seconds since the gang started (monotonic), and since the epoch.
double Gang_now(void);
double Gang_wall(void);

void Gang_begin(GangRun* p, const GangCfg& cfg);
// One line of port i's stdout (a JSON event) or stderr.
void Gang_on_line(GangRun* p, size_t i, const std::string& line, bool is_stderr);
// Port i's child ended with exit_status (128 + the signal's number when a signal ended it).
void Gang_on_exit(GangRun* p, size_t i, int exit_status);
// Redraws the terminal lines (at most ten times a second unless is_forced).
void Gang_draw(GangRun* p, bool is_forced);
// A line of the parent's own on stderr, without breaking the drawing.
void Gang_note(GangRun* p, const std::string& line);
// Asks a yes/no question on the terminal (the drawing pauses until Gang_answered).
void Gang_ask(GangRun* p, const std::string& question);
void Gang_answered(GangRun* p);
// The table, the report and the summary result; the exit status of the whole run.
int Gang_finish(GangRun* p);
