// Serial ports on Win32: the COM devices the system names (QueryDosDevice), Win32 error codes
// and their texts. Nothing is opened to list them: opening a port can reset the board on it.
#include "ports_platform.h"

#include "uart.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <windows.h>

const char Ports_platform_k_com_note[] =
    "  (COMn is the system's port of that name; see 'orvo-loader-cli ports')\n";

const char Ports_platform_k_name_help[] =
    "PORT is COM1..COM8, or any other name of a serial port (\\\\.\\COM10 for COM10 on).\n";

namespace {

// The number of a "COM<n>" name; 0 for any other name.
long com_number(const char* p_name) {
    if (_strnicmp(p_name, "COM", 3) != 0 || p_name[3] < '1' || p_name[3] > '9') return 0;
    char* end;
    long n = strtol(p_name + 3, &end, 10);
    return *end == '\0' ? n : 0;
}

// The device a DOS name stands for ("\Device\Serial0"); "" when the system has no such name.
std::string target_of(const char* p_name) {
    char buf[1024];
    if (!QueryDosDeviceA(p_name, buf, sizeof buf)) return "";
    return buf;
}

} // namespace

std::vector<PortFound> Ports_platform_scan(void) {
    // Every DOS device name, each ended by a NUL, the list by a second one; grown until it fits.
    std::vector<char> names(16384);
    for (;;) {
        DWORD n = QueryDosDeviceA(NULL, names.data(), static_cast<DWORD>(names.size()));
        if (n != 0) break;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() >= (1u << 22)) return {};
        names.resize(names.size() * 2);
    }
    std::vector<std::pair<long, std::string>> coms;
    for (const char* p = names.data(); *p; p += strlen(p) + 1) {
        long number = com_number(p);
        if (number > 0) coms.push_back({number, p});
    }
    std::sort(coms.begin(), coms.end());
    std::vector<PortFound> found;
    for (const auto& com : coms) {
        std::string path = "COM" + std::to_string(com.first);
        std::string target = target_of(com.second.c_str());
        found.push_back({path, target.empty() ? "serial port" : target, -1});
    }
    return found;
}

PortCom Ports_platform_com(int i) {
    char name[16], path[1024];
    snprintf(name, sizeof name, "COM%d", i);
    if (!Uart_get_device_path(name, path, sizeof path)) path[0] = '\0';
    std::string target = target_of(name);
    return {path, target.empty() ? "system" : target, target.empty() ? "missing" : "present"};
}

int32_t Ports_platform_classify(const char* p_path, uint32_t last_error) {
    (void)p_path;
    switch (last_error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_UNIT:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_NAME:
        return PORT_PROBLEM_MISSING;
    // A COM port is opened for one program alone: the next opener is refused access.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        return PORT_PROBLEM_BUSY;
    default:
        return PORT_PROBLEM_OTHER;
    }
}

void Ports_platform_print_denied(FILE* fp, const char* p_path) {
    fprintf(fp, "hint: permission denied on %s: ask the machine's administrator for access.\n",
            p_path);
}

std::string Ports_platform_error_text(uint32_t last_error) {
    char buf[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                             last_error, 0, buf, sizeof buf, NULL);
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == ' '))
        n--;
    char code[32];
    snprintf(code, sizeof code, "error %lu", static_cast<unsigned long>(last_error));
    return n > 0 ? std::string(buf, n) + " (" + code + ")" : std::string(code);
}

std::string Ports_platform_normalize(const std::string& name) {
    return name;
}

std::vector<PortHolder> Ports_platform_holders(const char*) {
    return {};
}

int Ports_platform_latency_ms(const char*) {
    return -1;
}
