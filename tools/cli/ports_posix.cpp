// Serial ports on POSIX: the device scan of sysfs with its descriptions, the COM names from
// the environment, errno codes, the device's group for a denied open and the processes that
// hold a device (/proc). ORVO_SYSFS_ROOT, when set, stands for /sys (tests use a fake tree).
#include "ports_platform.h"

#include "uart.h"

#include <algorithm>
#include <cctype>
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

std::string sys_root() {
    const char* p_root = getenv("ORVO_SYSFS_ROOT");
    return p_root && *p_root ? p_root : "/sys";
}

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

// The serial devices the kernel has, in prefix order and by number.
std::vector<Port> scan_ports() {
    std::vector<Port> ports;
    DIR* dir = opendir((sys_root() + "/class/tty").c_str());
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
    std::string link = sys_root() + "/class/tty/" + name + "/device";
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
        std::string base = sys_root() + "/class/tty/" + port.name + "/";
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

// The latency timer of the tty's USB serial driver (FTDI and kin), -1 when it has none.
int latency_of(const std::string& name) {
    std::string v = read_line_of(sys_root() + "/class/tty/" + name + "/device/latency_timer");
    if (v.empty() || !isdigit(static_cast<unsigned char>(v[0]))) return -1;
    return atoi(v.c_str());
}

// The tty name of a device path, symlinks followed ("/dev/ttyUSB0" -> "ttyUSB0").
std::string tty_name_of(const char* p_path) {
    char real[PATH_MAX];
    std::string path = realpath(p_path, real) ? real : p_path;
    return path.substr(path.rfind('/') + 1);
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
        int latency_ms = latency_of(port.name);
        std::string text = description(port) + access_note(path);
        if (latency_ms >= 0) text += ", latency timer " + std::to_string(latency_ms) + " ms";
        found.push_back({path, text, latency_ms});
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

std::string Ports_platform_normalize(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name.compare(0, 3, "COM") == 0)
        return name;
    return "/dev/" + name;
}

std::vector<PortHolder> Ports_platform_holders(const char* p_path) {
    std::vector<PortHolder> holders;
    char real[PATH_MAX];
    if (!p_path || !realpath(p_path, real)) return holders;
    DIR* proc = opendir("/proc");
    if (!proc) return holders;
    long self = static_cast<long>(getpid());
    while (dirent* e = readdir(proc)) {
        char* end;
        long pid = strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self) continue;
        std::string fd_dir = std::string("/proc/") + e->d_name + "/fd";
        DIR* fds = opendir(fd_dir.c_str());
        if (!fds) continue; // another user's process: the system does not tell
        bool is_holder = false, is_line_end = false;
        while (dirent* f = readdir(fds)) {
            char target[PATH_MAX];
            ssize_t n = readlink((fd_dir + "/" + f->d_name).c_str(), target, sizeof target - 1);
            if (n <= 0) continue;
            target[n] = '\0';
            if (strcmp(target, real) == 0) is_holder = true;
            if (strcmp(target, "/dev/ptmx") == 0 || strcmp(target, "/dev/pts/ptmx") == 0)
                is_line_end = true;
        }
        closedir(fds);
        if (is_holder)
            holders.push_back(
                {pid, read_line_of(fd_dir.substr(0, fd_dir.size() - 3) + "/comm"), is_line_end});
    }
    closedir(proc);
    std::sort(holders.begin(), holders.end(),
              [](const PortHolder& a, const PortHolder& b) { return a.pid < b.pid; });
    return holders;
}

int Ports_platform_latency_ms(const char* p_path) {
    return p_path ? latency_of(tty_name_of(p_path)) : -1;
}
