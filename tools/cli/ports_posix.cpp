// Serial ports on POSIX: the device scan of /dev with sysfs descriptions, the COM names from
// the environment, errno codes and the device's group for a denied open.
#include "ports_platform.h"

#include "uart.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

const char Ports_platform_k_com_note[] =
    "  (COM1..COM8 open ORVO_COM1..ORVO_COM8 when set, else /dev/ttyS0..7;"
    " see 'orvo-loader-cli ports')\n";

const char Ports_platform_k_name_help[] =
    "PORT is COM1..COM8 (the device in ORVO_COM1..ORVO_COM8 when set, else /dev/ttyS0..7)\n"
    "or a device path such as /dev/ttyUSB0.\n";

namespace {

const char* const k_prefixes[] = {"ttyS", "ttyUSB", "ttyACM"};

struct Port {
    int i_prefix; // index into k_prefixes
    long number;
    std::string name; // "ttyUSB0"
};

std::string read_line_of(const std::string& path) {
    FILE* fp = fopen(path.c_str(), "r");
    if (!fp) return "";
    char buf[256];
    std::string s = fgets(buf, sizeof buf, fp) ? buf : "";
    fclose(fp);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    return s;
}

// The serial devices under /dev, in prefix order and by number.
std::vector<Port> scan_ports() {
    std::vector<Port> ports;
    DIR* dir = opendir("/dev");
    if (!dir) return ports;
    while (dirent* e = readdir(dir)) {
        for (int i = 0; i < 3; i++) {
            size_t n = strlen(k_prefixes[i]);
            const char* tail = e->d_name + n;
            if (strncmp(e->d_name, k_prefixes[i], n) != 0 || *tail < '0' || *tail > '9') continue;
            char* end;
            long number = strtol(tail, &end, 10);
            if (*end == '\0') ports.push_back({i, number, e->d_name});
        }
    }
    closedir(dir);
    std::sort(ports.begin(), ports.end(), [](const Port& a, const Port& b) {
        return a.i_prefix != b.i_prefix ? a.i_prefix < b.i_prefix : a.number < b.number;
    });
    return ports;
}

// The USB device above a tty: the first directory upward from its sysfs device that has ids.
std::string usb_description(const std::string& name) {
    char real[PATH_MAX];
    std::string link = "/sys/class/tty/" + name + "/device";
    if (!realpath(link.c_str(), real)) return "";
    std::string dir = real;
    for (int up = 0; up < 4 && dir.size() > 1; up++) {
        std::string vendor = read_line_of(dir + "/idVendor");
        if (!vendor.empty()) {
            std::string text = "USB " + vendor + ":" + read_line_of(dir + "/idProduct");
            for (const char* field : {"manufacturer", "product"}) {
                std::string v = read_line_of(dir + "/" + field);
                if (!v.empty()) text += " " + v;
            }
            std::string serial = read_line_of(dir + "/serial");
            if (!serial.empty()) text += " (serial " + serial + ")";
            return text;
        }
        dir = dir.substr(0, dir.rfind('/'));
    }
    return "";
}

std::string description(const Port& port) {
    if (port.i_prefix == 0) {
        std::string base = "/sys/class/tty/" + port.name + "/";
        std::string type = read_line_of(base + "type");
        if (type == "0") return "no UART detected";
        std::string text = "serial port";
        std::string io = read_line_of(base + "port");
        if (!io.empty() && io != "0x0") text += " at " + io;
        std::string irq = read_line_of(base + "irq");
        if (!irq.empty() && irq != "0") text += ", irq " + irq;
        return text;
    }
    std::string usb = usb_description(port.name);
    return usb.empty() ? "USB serial" : usb;
}

std::string group_of(gid_t gid) {
    group* g = getgrgid(gid);
    return g ? g->gr_name : std::to_string(gid);
}

// " (no access: group dialout)" when this process cannot read and write the device.
std::string access_note(const std::string& path) {
    if (access(path.c_str(), R_OK | W_OK) == 0) return "";
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return "";
    return " (no access: group " + group_of(st.st_gid) + ")";
}

} // namespace

std::vector<PortFound> Ports_platform_scan(void) {
    std::vector<PortFound> found;
    for (const Port& port : scan_ports()) {
        std::string path = "/dev/" + port.name;
        found.push_back({path, description(port) + access_note(path)});
    }
    return found;
}

PortCom Ports_platform_com(int i) {
    char name[16], env[16], path[PATH_MAX];
    snprintf(name, sizeof name, "COM%d", i);
    snprintf(env, sizeof env, "ORVO_COM%d", i);
    if (!Uart_get_device_path(name, path, sizeof path)) path[0] = '\0';
    const char* p_env = getenv(env);
    bool is_from_env = p_env && *p_env;
    struct stat st;
    return {path, is_from_env ? env : "default", stat(path, &st) == 0 ? "present" : "missing"};
}

int32_t Ports_platform_classify(const char* p_path, uint32_t last_error) {
    int err = static_cast<int>(last_error);
    struct stat st;
    int err_stat = stat(p_path, &st) == 0 ? 0 : errno;
    if (err == ENOENT || err == ENOTDIR || err_stat == ENOENT || err_stat == ENOTDIR)
        return PORT_PROBLEM_MISSING;
    if (err == EACCES || err == EPERM || err_stat == EACCES) return PORT_PROBLEM_DENIED;
    if (err == EBUSY || err == EWOULDBLOCK || err == EAGAIN) return PORT_PROBLEM_BUSY;
    return PORT_PROBLEM_OTHER;
}

void Ports_platform_print_denied(FILE* fp, const char* p_path) {
    struct stat st;
    if (stat(p_path, &st) != 0) {
        fprintf(fp, "hint: permission denied on %s: a folder on its path cannot be entered.\n",
                p_path);
        return;
    }
    std::string group = group_of(st.st_gid);
    passwd* pw = getpwuid(getuid());
    const char* p_user = pw ? pw->pw_name : getenv("USER");
    if (!p_user || !*p_user) p_user = "$USER";
    fprintf(fp,
            "hint: permission denied on %s: the device belongs to group '%s'.\n"
            "      Add yourself to it with 'sudo usermod -aG %s %s' and log in again.\n",
            p_path, group.c_str(), group.c_str(), p_user);
}

std::string Ports_platform_error_text(uint32_t last_error) {
    return strerror(static_cast<int>(last_error));
}
