// Pseudo-terminal pair for tests: the test holds the master, the code under
// test opens the slave by its path as it would open a serial port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class PtyPair {
  public:
    // Opens a master and makes its slave openable; ok() tells whether it did.
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return fd_master_ >= 0; }
    // The slave's device path, e.g. "/dev/pts/3"; stays valid after close_master().
    const std::string& slave_path() const { return slave_path_; }
    // The master's descriptor; -1 once closed.
    int master_fd() const { return fd_master_; }

    // Reads from the master until n bytes arrived or t_ms of real time
    // passed; returns what arrived (fewer than n on time-out or hang-up).
    std::vector<uint8_t> read(size_t n, int t_ms = 2000);
    // Everything that arrives until the line has been quiet for t_quiet_ms.
    std::vector<uint8_t> read_until_quiet(int t_quiet_ms = 50);
    // Writes all bytes to the master. false on a failed write.
    bool write(const std::vector<uint8_t>& bytes);
    bool write(const void* p_bytes, size_t n);
    // Closes the master: for the slave's holder the device has gone.
    void close_master();

    // Opens the slave as a plain descriptor (O_RDWR | O_NOCTTY | O_NONBLOCK);
    // -1 on failure. The caller closes it.
    int open_slave() const;

  private:
    int fd_master_ = -1;
    std::string slave_path_;
};
