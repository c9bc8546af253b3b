// Serial ports of the machine: the listing of `ports` and the hints for a port that cannot be
// opened, over the platform's device scan.
#include "ports.h"

#include "ports_platform.h"
#include "uart.h"

#include <string>
#include <vector>

namespace {

void print_found(FILE* fp, const std::vector<PortFound>& ports, const char* p_indent) {
    for (const PortFound& port : ports)
        fprintf(fp, "%s%-14s %s\n", p_indent, port.path.c_str(), port.text.c_str());
}

} // namespace

int32_t Ports_print(FILE* fp) {
    std::vector<PortFound> ports = Ports_platform_scan();
    fprintf(fp, "Serial ports:\n");
    if (ports.empty()) fprintf(fp, "  none found\n");
    print_found(fp, ports, "  ");
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
    case PORT_PROBLEM_BUSY:
        fprintf(fp, "hint: %s is busy: another program holds it (close that program first).\n",
                path);
        break;
    default:
        fprintf(fp, "hint: %s cannot be used: %s\n", path,
                Ports_platform_error_text(last_error).c_str());
        break;
    }
}
