// Generic byte stream: forwarding to the target's functions, counting streams.
#include "stream.h"

#include "con.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The record without any message, for the callers that log in their own name.
static Stream* stream_new(void) {
    return static_cast<Stream*>(calloc(1, sizeof(Stream)));
}

// A record over p_user; null without a target or memory.
static Stream* stream_new_over(void* p_user) {
    Stream* ps = p_user ? stream_new() : NULL;
    if (ps) ps->p_user = p_user;
    return ps;
}

Stream* Stream_alloc(void) {
    Stream* ps = stream_new();
    if (ps == NULL) {
        CON_LOG("error", "p == NULL\n");
        return NULL;
    }
    return ps;
}

void Stream_free(Stream* ps) {
    free(ps);
}

Stream* StreamOpenRead(void* p_user, tyStream_cb_read cb_read, tyStream_cb_seek cb_seek) {
    Stream* ps = stream_new_over(p_user);
    if (ps == NULL) {
        CON_LOG("error", "p == NULL\n");
        return NULL;
    }
    ps->cb_read = cb_read;
    ps->cb_seek = cb_seek;
    return ps;
}

Stream* StreamOpenWrite(void* p_user, tyStream_cb_write cb_write, tyStream_cb_seek cb_seek,
                        tyStream_cb_flush cb_flush) {
    Stream* ps = stream_new_over(p_user);
    if (ps == NULL) {
        CON_LOG("error", "p == NULL\n");
        return NULL;
    }
    ps->cb_write = cb_write;
    ps->cb_seek = cb_seek;
    ps->cb_flush = cb_flush;
    return ps;
}

Stream* StreamOpenCount(void) {
    Stream* ps = stream_new();
    if (ps == NULL) {
        CON_LOG("error", "p == NULL\n");
        return NULL;
    }
    return ps;
}

void* StreamClose(Stream* ps) {
    if (ps == NULL) return NULL;
    void* p_user = ps->p_user;
    free(ps);
    return p_user;
}

int32_t StreamRead(Stream* ps, void* p_dst, int32_t n) {
    if (ps == NULL) {
        CON_LOG("error", "p == NULL\n");
        return -1;
    }
    if (ps->cb_read == NULL) return -1;
    int32_t r = ps->cb_read(ps->p_user, p_dst, n);
    ps->n_bytes += r;
    return r;
}

int32_t StreamWrite(Stream* ps, const void* p_src, int32_t n) {
    if (ps == NULL) {
        CON_LOG("error", "p == NULL\n");
        return -1;
    }
    if (ps->p_user == NULL) {
        ps->n_bytes += n;
        return n;
    }
    if (ps->cb_write == NULL) return -1;
    int32_t r = ps->cb_write(ps->p_user, p_src, n);
    ps->n_bytes += r;
    return r;
}

int32_t StreamFlush(Stream* ps) {
    if (ps == NULL) {
        CON_LOG("error", "p == NULL\n");
        return 0;
    }
    if (ps->p_user == NULL || ps->cb_flush == NULL) return 1;
    return ps->cb_flush(ps->p_user);
}

int32_t StreamSeek(Stream* ps, int32_t origin, int32_t offset) {
    if (ps == NULL) {
        CON_LOG("error", "p == NULL\n");
        return 0;
    }
    if (ps->p_user == NULL) return 0;
    if (ps->cb_seek == NULL) return -1;
    return ps->cb_seek(ps->p_user, origin, offset);
}

int32_t StreamPrintf(Stream* ps, const char* p_format, ...) {
    char buf[STREAM_PRINTF_SIZE];
    buf[0] = 0;
    va_list args;
    va_start(args, p_format);
    if (p_format != NULL) vsnprintf(buf, sizeof buf, p_format, args);
    va_end(args);
    return StreamWrite(ps, buf, (int32_t)strlen(buf));
}

int64_t StreamGetCount(Stream* ps) {
    return ps ? ps->n_bytes : 0;
}
