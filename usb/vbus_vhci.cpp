// Local attach: the device is handed to this machine's own USB stack through
// vhci-hcd. The kernel gets one end of a loopback TCP connection through the
// attach file and speaks the USB/IP URB stream on it; the other end is ours.
#include "usb/vbus_vhci.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/usbip.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/log.h"
#include "usb/vbus_urb_stream.h"

namespace {

int write_sysfs(const std::string &path, const std::string &line) {
    int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t n = write(fd, line.data(), line.size());
    int err = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(line.size())) {
        errno = n < 0 ? err : EIO;
        return -1;
    }
    return 0;
}

// A connected loopback TCP pair: the kernel's vhci only takes stream sockets
// of the kind a remote attach would give it.
int tcp_pair(int *ours, int *theirs) {
    int lst = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (lst < 0) return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t sl = sizeof sa;
    int a = -1, b = -1;
    if (bind(lst, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 && listen(lst, 1) == 0 &&
        getsockname(lst, reinterpret_cast<sockaddr *>(&sa), &sl) == 0) {
        a = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (a >= 0 && connect(a, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0)
            b = accept4(lst, nullptr, nullptr, SOCK_CLOEXEC);
    }
    int err = errno;
    ::close(lst);
    if (a < 0 || b < 0) {
        if (a >= 0) ::close(a);
        errno = err;
        return -1;
    }
    *ours = b;
    *theirs = a;
    return 0;
}

class vhci_backend : public vbus_stream_backend {
  public:
    explicit vhci_backend(std::string dir) : dir_(std::move(dir)) {}
    ~vhci_backend() override { close(); }

    int open() override;
    int port_status(uint8_t status[VBUS_PORT_COUNT]) override;
    int plug_in(const vbus_plugin_info &info, const vbus_device_summary &summary) override;
    void close() override;

  private:
    std::string dir_;
    std::atomic<bool> opened_{false};
    bool finished_ = false;  // closed for good
    int vhci_port_ = -1;
};

int vhci_backend::open() {
    if (opened_) return 0;
    if (finished_) {
        log_print(0, LL_ERR, "%s: a closed bus cannot be opened again\n", "vhci");
        return -1;
    }
    std::ifstream in(dir_ + "/status");
    if (!in) {
        log_print(0, LL_ERR, "vhci: %s/status not found, vhci-hcd is not loaded\n", dir_.c_str());
        return -1;
    }
    if (stream_.init() < 0) return -1;
    opened_ = true;
    log_print(0, LL_INFO, "vhci: using %s\n", dir_.c_str());
    return 0;
}

int vhci_backend::port_status(uint8_t status[VBUS_PORT_COUNT]) {
    std::ifstream in(dir_ + "/status");
    if (!opened_ || !in) {
        log_print(0, LL_ERR, "vhci: cannot read %s/status\n", dir_.c_str());
        return -1;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    if (vbus_vhci_parse_status(ss.str(), status) < 0) {
        log_print(0, LL_ERR, "vhci: %s/status is not a port table\n", dir_.c_str());
        return -1;
    }
    return 0;
}

int vhci_backend::plug_in(const vbus_plugin_info &info, const vbus_device_summary &summary) {
    if (!opened_ || vhci_port_ >= 0) {
        log_print(0, LL_ERR, "vhci: plug-in refused (%s)\n",
                  opened_ ? "already attached" : "not open");
        return -1;
    }
    if (info.port == 0 || info.port >= VBUS_PORT_COUNT) {
        log_print(0, LL_ERR, "vhci: plug-in on invalid port %u\n", info.port);
        return -1;
    }
    int ours, theirs;
    if (tcp_pair(&ours, &theirs) < 0) {
        log_print(0, LL_ERR, "vhci: cannot make the loopback connection: %s\n", strerror(errno));
        return -1;
    }
    const int port = info.port - 1;
    std::string line = vbus_vhci_attach_line(port, theirs, info.devid, info.speed);
    if (write_sysfs(dir_ + "/attach", line) < 0) {
        log_print(0, LL_ERR, "vhci: attach \"%s\" failed: %s\n", line.c_str(), strerror(errno));
        ::close(ours);
        ::close(theirs);
        return -1;
    }
    // The kernel holds its own reference to the socket now.
    ::close(theirs);
    if (stream_.attach(ours, "vhci port " + std::to_string(port)) < 0) {
        ::close(ours);
        return -1;
    }
    vhci_port_ = port;
    log_print(0, LL_INFO, "vhci: device %04x:%04x attached on vhci port %d\n", summary.vid,
              summary.pid, port);
    return 0;
}

void vhci_backend::close() {
    if (!opened_.exchange(false)) return;
    finished_ = true;
    if (vhci_port_ >= 0 && write_sysfs(dir_ + "/detach", std::to_string(vhci_port_)) < 0)
        log_print(0, LL_ERR, "vhci: detach of port %d failed: %s\n", vhci_port_, strerror(errno));
    vhci_port_ = -1;
    stream_.close();
}

}  // namespace

int vbus_vhci_parse_status(const std::string &text, uint8_t status[VBUS_PORT_COUNT]) {
    memset(status, 1, VBUS_PORT_COUNT);
    std::istringstream in(text);
    std::string line;
    bool table = false;
    int free_ports = 0;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string first;
        if (!(ls >> first)) continue;
        if (first == "hub" || first == "prt") {
            table = true;  // column titles
            continue;
        }
        // Current kernels start each row with the hub; older ones had one hub
        // and start with the port.
        std::string port_text = first;
        bool high_speed_hub = true;
        if (first == "hs" || first == "ss") {
            high_speed_hub = first == "hs";
            if (!(ls >> port_text)) continue;
        }
        int state;
        if (!(ls >> state)) continue;
        char *end = nullptr;
        long port = strtol(port_text.c_str(), &end, 10);
        if (!end || *end || port < 0) continue;
        table = true;
        if (port + 1 >= VBUS_PORT_COUNT) continue;
        if (high_speed_hub && state == VDEV_ST_NULL) {
            status[port + 1] = 0;
            free_ports++;
        }
    }
    return table ? free_ports : -1;
}

std::string vbus_vhci_attach_line(int vhci_port, int sockfd, uint32_t devid, uint32_t speed) {
    return std::to_string(vhci_port) + " " + std::to_string(sockfd) + " " + std::to_string(devid) +
           " " + std::to_string(speed);
}

std::unique_ptr<vbus_backend> vbus_vhci_create_at(const std::string &sysfs_dir) {
    return std::make_unique<vhci_backend>(sysfs_dir);
}

std::unique_ptr<vbus_backend> vbus_vhci_create() {
    return vbus_vhci_create_at(VBUS_VHCI_SYSFS);
}
