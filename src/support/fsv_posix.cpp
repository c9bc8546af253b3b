// File service over the POSIX file calls: the native service of POSIX builds.
#include "fsv.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

// Win32 opens these files without sharing; an exclusive lock keeps a second
// opener out the same way. File systems without locks are used unlocked.
static int32_t posix_open_locked(const char* p_name, int flags) {
    if (p_name == NULL) return -1;
    int fd;
    do {
        fd = open(p_name, flags | O_RDWR | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        close(fd);
        return -1;
    }
    return fd;
}

// Creates the file or empties an existing one. Emptied only once the lock is
// held, so a refused second creator cannot destroy the first one's data.
static int32_t posix_create(void*, const char* p_name) {
    int32_t fd = posix_open_locked(p_name, O_CREAT);
    if (fd < 0) return -1;
    if (ftruncate(fd, 0) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static int32_t posix_delete(void*, const char* p_name) {
    if (p_name == NULL) return 0;
    return unlink(p_name) == 0 ? 1 : 0;
}

static int32_t posix_open(void*, const char* p_name) {
    return posix_open_locked(p_name, 0);
}

static int32_t posix_close(void*, int32_t h_file) {
    return close(h_file) == 0 ? 1 : 0;
}

// Repeats step (read or write of the bytes from an offset) until n bytes
// moved, the end of the file or an error, as ReadFile and WriteFile do on a
// file; the count moved.
template <class Step> static int32_t posix_transfer(int32_t n, Step step) {
    int32_t done = 0;
    while (done < n) {
        ssize_t r = step(done, (size_t)(n - done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += (int32_t)r;
    }
    return done;
}

static int32_t posix_read(void*, int32_t h_file, void* p_dst, int32_t n) {
    if (h_file == -1 || p_dst == NULL || n <= 0) return 0;
    char* dst = static_cast<char*>(p_dst);
    return posix_transfer(n, [&](int32_t at, size_t k) { return read(h_file, dst + at, k); });
}

static int32_t posix_write(void*, int32_t h_file, const void* p_src, int32_t n) {
    if (h_file == -1 || p_src == NULL || n <= 0) return 0;
    const char* src = static_cast<const char*>(p_src);
    return posix_transfer(n, [&](int32_t at, size_t k) { return write(h_file, src + at, k); });
}

// Origin 1 from the current position, 2 from the end, anything else from the
// start. The new position, or -1 (also for one beyond the 32-bit range).
static int32_t posix_seek(void*, int32_t h_file, int32_t origin, int32_t offset) {
    if (h_file == -1) return -1;
    int whence = origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : SEEK_SET;
    off_t pos = lseek(h_file, (off_t)offset, whence);
    if (pos < 0 || pos > INT32_MAX) return -1;
    return (int32_t)pos;
}

static int32_t posix_tell(void* p_user, int32_t h_file) {
    return posix_seek(p_user, h_file, 1, 0);
}

Fsv* Fsv_alloc_posix(void) {
    return Fsv_alloc(NULL, posix_create, posix_delete, posix_open, posix_close, posix_read,
                     posix_write, posix_seek, posix_tell);
}

void Fsv_free_posix(Fsv* p) {
    Fsv_free(p);
}

Fsv* Fsv_alloc_native(void) {
    return Fsv_alloc_posix();
}

void Fsv_free_native(Fsv* p) {
    Fsv_free_posix(p);
}
