// File service: an exchangeable record of eight file operations, the default
// service, open files over a service and buffered files over those.
//
// These layers log nothing; they answer with null, 0, -1 or short counts.
// Wherever a service argument is null, the default service is used.
#pragma once

#include <cstdint>

typedef int32_t (*tyFsv_cb_create)(void* p_user, const char* p_name);
typedef int32_t (*tyFsv_cb_delete)(void* p_user, const char* p_name);
typedef int32_t (*tyFsv_cb_open)(void* p_user, const char* p_name);
typedef int32_t (*tyFsv_cb_close)(void* p_user, int32_t h_file);
typedef int32_t (*tyFsv_cb_read)(void* p_user, int32_t h_file, void* p_dst, int32_t n);
typedef int32_t (*tyFsv_cb_write)(void* p_user, int32_t h_file, const void* p_src, int32_t n);
typedef int32_t (*tyFsv_cb_seek)(void* p_user, int32_t h_file, int32_t origin, int32_t offset);
typedef int32_t (*tyFsv_cb_tell)(void* p_user, int32_t h_file);

// Seek origins.
enum { FSV_SEEK_SET = 0, FSV_SEEK_CUR = 1, FSV_SEEK_END = 2 };

struct Fsv {
    void* p_user;              // passed back as the first argument of every operation
    tyFsv_cb_create cb_create; // create or empty; handle, negative on failure
    tyFsv_cb_delete cb_delete; // nonzero on success
    tyFsv_cb_open cb_open;     // open existing for reading and writing; negative on failure
    tyFsv_cb_close cb_close;   // nonzero on success
    tyFsv_cb_read cb_read;     // bytes read; 0 on failure or at the end
    tyFsv_cb_write cb_write;   // bytes written; 0 on failure
    tyFsv_cb_seek cb_seek;     // new position; negative on failure
    tyFsv_cb_tell cb_tell;     // current position
};

// A new service record; null when out of memory.
Fsv* Fsv_alloc(void* p_user, tyFsv_cb_create cb_create, tyFsv_cb_delete cb_delete,
               tyFsv_cb_open cb_open, tyFsv_cb_close cb_close, tyFsv_cb_read cb_read,
               tyFsv_cb_write cb_write, tyFsv_cb_seek cb_seek, tyFsv_cb_tell cb_tell);
// Frees the record; nothing for null.
void Fsv_free(Fsv* p);
// The default service; null until one is set.
Fsv* Fsv_get_default(void);
// Makes p the default (null clears it). 1 when p is not null, else 0.
int Fsv_set_default(Fsv* p);
// Deletes the file through p (or the default). Nonzero on success; 0 when
// there is no service.
int32_t Fsv_delete(Fsv* p, const char* p_name);

// The platform's own file service: the program start installs it with
// Fsv_set_default(Fsv_alloc_native()), before the application root exists.
Fsv* Fsv_alloc_native(void);
void Fsv_free_native(Fsv* p);
// File service over POSIX open/read/write/lseek (POSIX builds only). Files
// are opened exclusively (flock), like the Win32 files without sharing.
Fsv* Fsv_alloc_posix(void);
void Fsv_free_posix(Fsv* p);
// File service over CreateFileA/ReadFile/WriteFile/SetFilePointer (Windows
// builds only), context null.
Fsv* Fsv_alloc_win32(void);
void Fsv_free_win32(Fsv* p);

// An open file: its service and the handle the service gave.
struct FsvFile {
    Fsv* p_fsv;
    int32_t h_file;
};

// Create (or empty) / open an existing file. Null when memory is short, there
// is no service, or the service refused (the record is released again).
FsvFile* FsvFile_create(Fsv* p_fsv, const char* p_name);
FsvFile* FsvFile_open(Fsv* p_fsv, const char* p_name);
// Closes the handle (when not negative) and frees the record. 1; 0 when the
// service reported a failed close. 1 for null.
int FsvFile_close(FsvFile* pf);
// The service's read, write, seek and tell on the file's handle. A null file
// reads and writes 0 bytes and seeks and tells -1.
int32_t FsvFile_read(FsvFile* pf, void* p_dst, int32_t n);
int32_t FsvFile_write(FsvFile* pf, const void* p_src, int32_t n);
int32_t FsvFile_seek(FsvFile* pf, int32_t origin, int32_t offset);
int32_t FsvFile_tell(FsvFile* pf);

// A file read or written through a buffer of m_buf bytes.
struct FsvBuf {
    int32_t is_write; // 0 reading, 1 writing
    int32_t m_buf;    // buffer size in bytes
    uint8_t* p_buf;   // the buffer
    int32_t i_buf;    // reading: next unread byte; writing: bytes buffered
    int32_t n_buf;    // reading: valid bytes in the buffer; writing: m_buf
    FsvFile* p_file;
};

// A reading buffer over an existing file. Null (nothing kept) when m_buf is
// less than 1, or the buffer or the file cannot be had.
FsvBuf* FsvBuf_open_read(Fsv* p_fsv, const char* p_name, int32_t m_buf);
// A writing buffer over an existing file, writing from its start; bytes
// beyond the written end stay. Null as FsvBuf_open_read.
FsvBuf* FsvBuf_open_write(Fsv* p_fsv, const char* p_name, int32_t m_buf);
// A writing buffer over a created (emptied) file. Null as FsvBuf_open_read.
FsvBuf* FsvBuf_create(Fsv* p_fsv, const char* p_name, int32_t m_buf);
// Flushes a writing buffer (its result ignored), closes the file, frees the
// buffer and the record. 1, also for null.
int FsvBuf_close(FsvBuf* pc);
// Bytes delivered; a short count means end of file or failure. 0 for a
// writing buffer. Requests of at least m_buf bytes bypass the buffer.
int32_t FsvBuf_read(FsvBuf* pc, void* p_dst, int32_t n);
// Bytes taken; 0 for a reading buffer. Small writes gather into m_buf-sized
// file writes; what remains of a write of at least m_buf bytes goes to the
// file directly.
int32_t FsvBuf_write(FsvBuf* pc, const void* p_src, int32_t n);
// Seeks the file and empties the buffer (a writing buffer is flushed first;
// -1 when that fails). The file's new position. Origin FSV_SEEK_CUR counts
// from the file's own position, which for a reading buffer lies behind the
// bytes already read ahead.
int32_t FsvBuf_seek(FsvBuf* pc, int32_t origin, int32_t offset);
// Writes the buffered bytes of a writing buffer. 1 when none are left; 0 when
// some could not be written (those stay buffered). 1 in every other case.
int FsvBuf_flush(FsvBuf* pc);
