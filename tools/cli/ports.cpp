// Serial ports of the machine: the listing of `ports` and the hints for a port that cannot be
// opened, over the platform's device scan.
#include "ports.h"

#include "ports_platform.h"
#include "uart.h"

#include <cctype>
#include <string>
#include <vector>

namespace {

void print_found(FILE* fp, const std::vector<PortFound>& ports, const char* p_indent) {
    for (const PortFound& port : ports)
        fprintf(fp, "%s%-14s %s\n", p_indent, port.path.c_str(), port.text.c_str());
}

// "process 1234 (minicom), process 99 (cat)"
std::string holders_text(const std::vector<PortHolder>& holders) {
    std::string text;
    for (const PortHolder& h : holders) {
        if (!text.empty()) text += ", ";
        text += "process " + std::to_string(h.pid) + " (" + h.name + ")";
    }
    return text;
}

// The device path of a port name; "" when it has none.
std::string device_path(const char* p_name) {
    char path[4096];
    return Uart_get_device_path(p_name, path, sizeof path) ? path : "";
}

} // namespace

int32_t Ports_print(FILE* fp) {
    std::vector<PortFound> ports = Ports_platform_scan();
    fprintf(fp, "Serial ports:\n");
    if (ports.empty()) fprintf(fp, "  none found\n");
    print_found(fp, ports, "  ");
    for (const PortFound& port : ports) {
        if (port.latency_ms > 1)
            fprintf(fp,
                    "note: %s holds received bytes up to %d ms; the loader asks its driver for"
                    " low latency when it opens the port\n",
                    port.path.c_str(), port.latency_ms);
    }
    fprintf(fp, "COM names:\n");
    for (int i = 1; i <= 8; i++) {
        char name[16];
        snprintf(name, sizeof name, "COM%d", i);
        PortCom com = Ports_platform_com(i);
        fprintf(fp, "  %-5s -> %-14s (%s, %s)\n", name, com.path.c_str(), com.source.c_str(),
                com.state.c_str());
    }
    return static_cast<int32_t>(ports.size());
}

std::string Ports_normalize_name(const std::string& name) {
    bool is_com = name.size() > 3 && name.size() <= 6;
    for (size_t i = 0; is_com && i < name.size(); i++)
        is_com = i < 3 ? toupper(static_cast<unsigned char>(name[i])) == "COM"[i]
                       : isdigit(static_cast<unsigned char>(name[i])) != 0;
    if (is_com) return "COM" + name.substr(3);
    return Ports_platform_normalize(name);
}

std::vector<std::string> Ports_open_warnings(const char* p_name) {
    std::vector<std::string> lines;
    std::string path = device_path(p_name);
    if (path.empty()) return lines;
    std::vector<PortHolder> others;
    for (const PortHolder& h : Ports_platform_holders(path.c_str()))
        if (!h.is_line_end) others.push_back(h);
    if (!others.empty())
        lines.push_back("warning: " + path + " is also open in " + holders_text(others) +
                        ", which may take the device's replies");
    int latency_ms = Ports_platform_latency_ms(path.c_str());
    if (latency_ms > 1)
        lines.push_back("warning: the latency timer of " + path + " stayed at " +
                        std::to_string(latency_ms) +
                        " ms although the loader asked for low latency: each of the about 8000"
                        " line turnarounds of a download can wait that long (set it to 1 ms in"
                        " the driver's latency_timer file)");
    return lines;
}

const char* Ports_get_p_name_help(void) {
    return Ports_platform_k_name_help;
}

void Ports_print_open_hint(FILE* fp, const char* p_name, uint32_t last_error) {
    if (!p_name) return;
    char path[4096];
    if (!Uart_get_device_path(p_name, path, sizeof path)) {
        fprintf(fp, "hint: %s is not a usable port name\n", p_name);
        return;
    }
    switch (Ports_platform_classify(path, last_error)) {
    case PORT_PROBLEM_MISSING: {
        fprintf(fp, "hint: %s does not exist. Ports found:\n", path);
        std::vector<PortFound> ports = Ports_platform_scan();
        if (ports.empty()) fprintf(fp, "  none\n");
        print_found(fp, ports, "  ");
        fputs(Ports_platform_k_com_note, fp);
        break;
    }
    case PORT_PROBLEM_DENIED:
        Ports_platform_print_denied(fp, path);
        break;
    case PORT_PROBLEM_BUSY: {
        std::string holders = holders_text(Ports_platform_holders(path));
        fprintf(fp, "hint: %s is busy: %s holds it (close that program first).\n", path,
                holders.empty() ? "another program" : holders.c_str());
        break;
    }
    default:
        fprintf(fp, "hint: %s cannot be used: %s\n", path,
                Ports_platform_error_text(last_error).c_str());
        break;
    }
}
