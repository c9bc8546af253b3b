// Gang programming, the portable part: what the children's JSON events mean for each port, the
// lines on the terminal, the table at the end, the JSON report and the exit status.
#include "gang_internal.h"

#include "ports.h"
#include "termwin.h"
#include "uart.h"
#include "termwin_platform.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

using Json = nlohmann::ordered_json;

double Gang_now(void) {
    static const auto t0 = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double Gang_wall(void) {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

static double ms_round(double t) {
    return static_cast<double>(static_cast<int64_t>(t * 1000 + 0.5)) / 1000;
}

// UTC time in ISO 8601 with milliseconds.
static std::string iso_time(double t_wall) {
    time_t s = static_cast<time_t>(t_wall);
    char text[40];
    size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", std::gmtime(&s));
    snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>((t_wall - s) * 1000) % 1000);
    return text;
}

std::string Gang_log_name(const std::string& log, const std::string& port) {
    std::string name = port.rfind("/dev/", 0) == 0 ? port.substr(5) : port;
    for (char& c : name)
        if (c == '/' || c == '\\') c = '-';
    return log + "." + name;
}

bool Gang_read_ports_file(const std::string& path, std::vector<std::string>* p_ports,
                          std::string* p_error) {
    std::ifstream in(path);
    if (!in) {
        *p_error = "cannot read the ports file " + path;
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        size_t b = line.find_first_not_of(" \t\r");
        size_t e = line.find_last_not_of(" \t\r");
        if (b == std::string::npos || line[b] == '#') continue;
        p_ports->push_back(line.substr(b, e - b + 1));
    }
    return true;
}

bool Gang_check_ports(const std::vector<std::string>& given, std::vector<std::string>* p_ports,
                      std::string* p_error) {
    std::vector<std::string> devices;
    for (const std::string& name : given) {
        std::string port = Ports_normalize_name(name);
        char path[512];
        std::error_code ec;
        if (!Uart_get_device_path(port.c_str(), path, sizeof path) ||
            !std::filesystem::exists(path, ec)) {
            *p_error = "the port " + name + " does not exist ('orvo-loader-cli ports' lists them)";
            return false;
        }
        std::string device = std::filesystem::canonical(path, ec).string();
        if (ec) device = path;
        for (size_t i = 0; i < devices.size(); i++) {
            if (devices[i] == device) {
                *p_error = "the port " + name + " is given twice (as " + (*p_ports)[i] + ")";
                return false;
            }
        }
        devices.push_back(device);
        p_ports->push_back(port);
    }
    if (p_ports->empty()) {
        *p_error = "no port given";
        return false;
    }
    return true;
}

void Gang_begin(GangRun* p, const GangCfg& cfg) {
    Gang_now(); // the gang's time starts here
    p->p_cfg = &cfg;
    p->ports.clear();
    for (const std::string& port : cfg.ports) {
        GangPort g;
        g.port = port;
        g.t_begin = Gang_wall();
        p->ports.push_back(g);
    }
    p->progress = cfg.progress;
    if (p->progress == TERM_PROGRESS_BAR && !TermWin_platform_is_bar_terminal())
        p->progress = TERM_PROGRESS_PLAIN;
    p->n_drawn = 0;
    p->t_drawn = -1;
    p->is_asking = false;
}

// Takes back the lines drawn last, so that a note or the table can be written in their place.
static void undraw(GangRun* p) {
    if (p->n_drawn == 0) return;
    fprintf(stderr, "\r\033[%dA\033[J", p->n_drawn);
    p->n_drawn = 0;
}

void Gang_note(GangRun* p, const std::string& line) {
    if (p->is_asking) fputs("\n", stderr); // the question's line stays
    undraw(p);
    fprintf(stderr, "%s\n", line.c_str());
    fflush(stderr);
    Gang_draw(p, true);
}

void Gang_ask(GangRun* p, const std::string& question) {
    // Ctrl-C makes the terminal drop output still queued, so what was drawn last may be
    // incomplete: the question goes below it, and the drawing starts afresh after the answer.
    // The answer typed ends the question's line; the terminal echoes it.
    p->n_drawn = 0;
    fprintf(stderr, "\r\n%s ", question.c_str());
    fflush(stderr);
    p->is_asking = true;
}

void Gang_answered(GangRun* p) {
    p->is_asking = false;
    Gang_draw(p, true);
}

static void emit(const Json& event) {
    printf("%s\n", event.dump().c_str());
    fflush(stdout);
}

static std::string result_text(const GangPort& g) {
    char text[64];
    snprintf(text, sizeof text, "%s, %.1f s", g.ok ? "ok" : "failed", g.seconds);
    std::string s = text;
    if (!g.ok) s += " (exit " + std::to_string(g.exit_status) + ")";
    if (!g.ok && !g.failed_step.empty()) s += " at " + g.failed_step;
    if (!g.ok && !g.box.empty()) s += ": " + g.box;
    return s;
}

void Gang_on_line(GangRun* p, size_t i, const std::string& line, bool is_stderr) {
    GangPort& g = p->ports[i];
    if (is_stderr) {
        // The child's hints (a busy port's holder, a silent device) belong to its failure.
        if (line.empty()) return;
        // Shown with the table when the port failed, not in between the other ports' lines.
        g.err.push_back(line);
        if (g.err.size() > 4) g.err.erase(g.err.begin());
        return;
    }
    Json e = Json::parse(line, nullptr, false);
    if (e.is_discarded() || !e.is_object() || !e.contains("event")) return;
    const std::string kind = e.value("event", "");
    if (kind == "start") {
        if (e.contains("images")) g.images = e["images"];
    } else if (kind == "step") {
        g.step = e.value("step", "");
        g.text = e.value("text", "");
        g.done = g.total = 0;
        if (p->progress == TERM_PROGRESS_PLAIN) Gang_note(p, g.port + ": " + g.text);
    } else if (kind == "progress") {
        if (g.done == 0 && g.total == 0) g.t_loop = Gang_now();
        g.done = e.value("done", int64_t{0});
        g.total = e.value("total", int64_t{0});
    } else if (kind == "box") {
        if (e.value("caption", "") == "Error...") g.box = e.value("text", "");
    } else if (kind == "result") {
        g.has_result = true;
        g.ok = e.value("ok", false);
        g.exit_status = e.value("exit", 1);
        g.seconds = e.value("seconds", 0.0);
        g.failed_step = e["failed_step"].is_string() ? e["failed_step"].get<std::string>() : "";
    }
    if (p->progress == TERM_PROGRESS_JSON) {
        Json out = {{"event", kind}, {"port", g.port}};
        for (auto& [key, value] : e.items())
            if (key != "event") out[key] = value;
        emit(out);
    }
    if (kind == "result" && p->progress == TERM_PROGRESS_PLAIN)
        Gang_note(p, g.port + ": " + result_text(g));
}

void Gang_on_exit(GangRun* p, size_t i, int exit_status) {
    GangPort& g = p->ports[i];
    g.is_running = false;
    g.t_end = Gang_wall();
    if (g.has_result) return;
    // A child that ended without its result event (it crashed or could not start): its own
    // status stands, and the parent says what it knows.
    g.has_result = true;
    g.ok = false;
    g.exit_status = exit_status == 0 ? 1 : exit_status;
    g.seconds = g.t_end - g.t_begin;
    g.failed_step = g.step;
    if (g.box.empty() && !g.err.empty()) g.box = g.err.back();
    if (p->progress == TERM_PROGRESS_JSON) {
        emit({{"event", "result"},
              {"port", g.port},
              {"ok", false},
              {"exit", g.exit_status},
              {"seconds", ms_round(g.seconds)},
              {"failed_step", g.failed_step.empty() ? Json(nullptr) : Json(g.failed_step)}});
    } else if (p->progress == TERM_PROGRESS_PLAIN) {
        Gang_note(p, g.port + ": " + result_text(g));
    }
}

// One port's line: port, step, bar, bytes and rate (or the result once it is known).
static std::string port_line(const GangPort& g, size_t w_port, int columns) {
    std::string s = g.port + std::string(w_port > g.port.size() ? w_port - g.port.size() : 0, ' ');
    s += "  ";
    if (g.has_result) {
        s += result_text(g);
    } else {
        std::string text = g.text.empty() ? "starting" : g.text;
        if (text.size() < 38) text += std::string(38 - text.size(), ' ');
        s += text;
        if (g.total > 0) {
            const int w_bar = 20;
            int n = static_cast<int>(g.done * w_bar / g.total);
            double t = Gang_now() - g.t_loop;
            char tail[96];
            snprintf(tail, sizeof tail, " [%s%s] %3d %% %lld/%lld B", std::string(n, '#').c_str(),
                     std::string(w_bar - n, '.').c_str(), static_cast<int>(g.done * 100 / g.total),
                     static_cast<long long>(g.done), static_cast<long long>(g.total));
            s += tail;
            if (t > 0.5) {
                snprintf(tail, sizeof tail, " %.1f kB/s", g.done / t / 1000);
                s += tail;
            }
        }
    }
    if (columns > 1 && static_cast<int>(s.size()) >= columns) s.resize(columns - 1);
    return s;
}

void Gang_draw(GangRun* p, bool is_forced) {
    if (p->progress != TERM_PROGRESS_BAR || p->is_asking) return;
    double now = Gang_now();
    if (!is_forced && p->t_drawn >= 0 && now - p->t_drawn < 0.1) return;
    p->t_drawn = now;
    size_t w_port = 0;
    for (const GangPort& g : p->ports)
        w_port = std::max(w_port, g.port.size());
    int columns = TermWin_platform_columns();
    std::string out;
    if (p->n_drawn > 0) out += "\033[" + std::to_string(p->n_drawn) + "A";
    for (const GangPort& g : p->ports)
        out += "\r\033[2K" + port_line(g, w_port, columns) + "\n";
    fputs(out.c_str(), stderr);
    fflush(stderr);
    p->n_drawn = static_cast<int>(p->ports.size());
}

// Writes the report next to its place and moves it there, so that a reader never sees half.
static bool write_report(const std::string& path, const Json& report) {
    std::string tmp = path + ".tmp";
    FILE* fp = fopen(tmp.c_str(), "w");
    if (!fp) return false;
    std::string text = report.dump(2) + "\n";
    bool ok = fwrite(text.data(), 1, text.size(), fp) == text.size();
    ok = fclose(fp) == 0 && ok;
    if (ok) ok = rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) remove(tmp.c_str());
    return ok;
}

int Gang_finish(GangRun* p) {
    Gang_draw(p, true);
    int status = 0;
    size_t n_ok = 0;
    for (const GangPort& g : p->ports) {
        if (g.ok) n_ok++;
        if (!g.ok && status == 0) status = g.exit_status ? g.exit_status : 1;
    }
    double seconds = Gang_now();
    if (p->progress != TERM_PROGRESS_JSON) {
        // The table: port, result, seconds, failing step.
        size_t w_port = 4;
        for (const GangPort& g : p->ports)
            w_port = std::max(w_port, g.port.size());
        std::string pad(w_port - 4, ' ');
        printf("port%s  result  seconds  failed step\n", pad.c_str());
        for (const GangPort& g : p->ports) {
            std::string step = g.ok ? "" : (g.failed_step.empty() ? "-" : g.failed_step);
            if (!g.ok) step += " (exit " + std::to_string(g.exit_status) + ")";
            printf("%s%s  %-6s  %7.1f  %s\n", g.port.c_str(),
                   std::string(w_port - g.port.size(), ' ').c_str(), g.ok ? "ok" : "failed",
                   g.seconds, step.c_str());
        }
        printf("%zu of %zu ports programmed in %.1f s\n", n_ok, p->ports.size(), seconds);
        fflush(stdout);
        for (const GangPort& g : p->ports)
            if (!g.ok)
                for (const std::string& line : g.err)
                    fprintf(stderr, "%s: %s\n", g.port.c_str(), line.c_str());
    }
    if (!p->p_cfg->report.empty()) {
        Json records = Json::array();
        for (const GangPort& g : p->ports) {
            Json crcs = Json::array();
            for (const Json& image : g.images) {
                Json one = Json::object();
                for (const char* key : {"name", "source", "crc32"})
                    if (image.is_object() && image.contains(key)) one[key] = image[key];
                crcs.push_back(one);
            }
            records.push_back({{"port", g.port},
                               {"ok", g.ok},
                               {"exit", g.exit_status},
                               {"seconds", ms_round(g.seconds)},
                               {"start", iso_time(g.t_begin)},
                               {"end", iso_time(g.t_end)},
                               {"failed_step", g.ok || g.failed_step.empty() ? Json(nullptr)
                                                                             : Json(g.failed_step)},
                               {"images", crcs}});
        }
        Json report = {{"ok", status == 0},
                       {"exit", status},
                       {"seconds", ms_round(seconds)},
                       {"ports", records}};
        if (!write_report(p->p_cfg->report, report)) {
            fprintf(stderr, "orvo-loader-cli: cannot write the report %s\n",
                    p->p_cfg->report.c_str());
            if (status == 0) status = 1;
        }
    }
    if (p->progress == TERM_PROGRESS_JSON) {
        Json failed = Json::array();
        for (const GangPort& g : p->ports)
            if (!g.ok) failed.push_back(g.port);
        emit({{"event", "result"},
              {"t", ms_round(seconds)},
              {"ok", status == 0},
              {"exit", status},
              {"seconds", ms_round(seconds)},
              {"ports", p->ports.size()},
              {"failed_ports", failed}});
    }
    return status;
}
