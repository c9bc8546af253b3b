// Generic byte stream: forwards read, write, flush and seek to the functions
// it was opened with and counts the bytes that pass. A counting stream has
// no target and only counts.
#pragma once

#include <cstdint>

typedef int32_t (*tyStream_cb_read)(void* p_user, void* p_dst, int32_t n);
typedef int32_t (*tyStream_cb_write)(void* p_user, const void* p_src, int32_t n);
typedef int32_t (*tyStream_cb_flush)(void* p_user);
typedef int32_t (*tyStream_cb_seek)(void* p_user, int32_t origin, int32_t offset);

enum { STREAM_PRINTF_SIZE = 1024 };

struct Stream {
    void* p_user; // the target; null for a counting stream
    tyStream_cb_read cb_read;
    tyStream_cb_write cb_write;
    tyStream_cb_flush cb_flush;
    tyStream_cb_seek cb_seek;
    int64_t n_bytes; // sum of all read and write results
};

// A record with no target, no functions and n_bytes 0; null ("p == NULL")
// when out of memory.
Stream* Stream_alloc(void);
// Frees the record; nothing for null.
void Stream_free(Stream* ps);
// A stream reading from p_user. Null ("p == NULL") for a null p_user or
// when out of memory.
Stream* StreamOpenRead(void* p_user, tyStream_cb_read cb_read, tyStream_cb_seek cb_seek);
// A stream writing to p_user. Null as StreamOpenRead.
Stream* StreamOpenWrite(void* p_user, tyStream_cb_write cb_write, tyStream_cb_seek cb_seek,
                        tyStream_cb_flush cb_flush);
// A counting stream; null ("p == NULL") when out of memory.
Stream* StreamOpenCount(void);
// Frees the record and returns its target, for the caller to close; null for
// null.
void* StreamClose(Stream* ps);

// cb_read's result, added to n_bytes. -1 for a stream without a reading
// function (n_bytes unchanged); -1 and "p == NULL" for null.
int32_t StreamRead(Stream* ps, void* p_dst, int32_t n);
// cb_write's result, added to n_bytes; a counting stream adds and returns n.
// -1 for a target stream without a writing function; -1 and "p == NULL" for
// null.
int32_t StreamWrite(Stream* ps, const void* p_src, int32_t n);
// cb_flush's result; 1 when there is nothing to flush (counting stream, no
// flush function); 0 and "p == NULL" for null.
int32_t StreamFlush(Stream* ps);
// cb_seek's result; 0 for a counting stream, -1 for a target stream without
// a seek function; 0 and "p == NULL" for null.
int32_t StreamSeek(Stream* ps, int32_t origin, int32_t offset);
// Formats into a buffer of its own of 1024 characters (a longer text is cut
// to 1023) and writes the text with StreamWrite; its result.
int32_t StreamPrintf(Stream* ps, const char* p_format, ...) __attribute__((format(printf, 2, 3)));
// n_bytes; 0 for null.
int64_t StreamGetCount(Stream* ps);
