// Gang programming: one download per port at once, each in a child process of this program
// (the library keeps one root and one console channel per process, so ports cannot disturb
// each other). The children report through their JSON events; the parent shows one line a
// port, a table at the end, an optional JSON report, and gives one exit status.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct GangCfg {
    std::vector<std::string> ports;      // as normalised, in the order given; at least two
    std::vector<std::string> child_args; // "download" and the options every child gets
    std::string log;                     // --log FILE: each port logs into FILE.<port's name>
    std::string report;                  // --report FILE; empty for none
    int32_t progress;                    // TermProgress: how the parent shows progress
};

// Runs the downloads and waits for all of them. SIGINT on a terminal asks once whether to
// interrupt all; SIGINT off a terminal, SIGTERM and SIGHUP interrupt all at their next block
// boundary. 0 when every port succeeded, else the exit status of the first port (in the order
// given) that failed.
int Gang_run(const GangCfg& cfg);

// The name of a port's log file: FILE.<the port without /dev/, '/' made '-'>, e.g. FILE.ttyUSB0.
std::string Gang_log_name(const std::string& log, const std::string& port);

// Checks the ports given: each exists, none twice (also not under two names, such as COM1 and
// the device it points to). Fills *p_ports with them as Uart_open takes them; false with
// *p_error set for the first bad one.
bool Gang_check_ports(const std::vector<std::string>& given, std::vector<std::string>* p_ports,
                      std::string* p_error);

// Reads a ports file: one port a line; blank lines and lines starting with '#' are skipped,
// blanks around a name are dropped. false with *p_error set when it cannot be read.
bool Gang_read_ports_file(const std::string& path, std::vector<std::string>* p_ports,
                          std::string* p_error);
