// File service over the Win32 file calls: the native service of Windows builds.
#include "fsv.h"

#include <windows.h>

#include <cstdint>

// Kernel handles carry 32 significant bits, also in 64-bit processes, so a
// handle travels as the service's signed 32-bit value.
static HANDLE w32_handle(int32_t h_file) {
    return (HANDLE)(intptr_t)h_file;
}

static int32_t w32_create_file(const char* p_name, DWORD disposition) {
    if (p_name == NULL) return -1;
    HANDLE h = CreateFileA(p_name, GENERIC_READ | GENERIC_WRITE, 0, NULL, disposition,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return -1;
    return (int32_t)(intptr_t)h;
}

// Creates the file; an existing one is emptied.
static int32_t w32_create(void*, const char* p_name) {
    return w32_create_file(p_name, CREATE_ALWAYS);
}

static int32_t w32_delete(void*, const char* p_name) {
    if (p_name == NULL) return 0;
    return DeleteFileA(p_name) ? 1 : 0;
}

static int32_t w32_open(void*, const char* p_name) {
    return w32_create_file(p_name, OPEN_EXISTING);
}

static int32_t w32_close(void*, int32_t h_file) {
    return CloseHandle(w32_handle(h_file)) ? 1 : 0;
}

static int32_t w32_read(void*, int32_t h_file, void* p_dst, int32_t n) {
    if (h_file == -1 || p_dst == NULL || n <= 0) return 0;
    DWORD n_read = 0;
    if (!ReadFile(w32_handle(h_file), p_dst, (DWORD)n, &n_read, NULL)) return 0;
    return (int32_t)n_read;
}

static int32_t w32_write(void*, int32_t h_file, const void* p_src, int32_t n) {
    if (h_file == -1 || p_src == NULL || n <= 0) return 0;
    DWORD n_written = 0;
    if (!WriteFile(w32_handle(h_file), p_src, (DWORD)n, &n_written, NULL)) return 0;
    return (int32_t)n_written;
}

// Origin 1 from the current position, 2 from the end, anything else from the
// start. The new position, or INVALID_SET_FILE_POINTER (-1).
static int32_t w32_seek(void*, int32_t h_file, int32_t origin, int32_t offset) {
    if (h_file == -1) return -1;
    DWORD method = origin == 1 ? FILE_CURRENT : origin == 2 ? FILE_END : FILE_BEGIN;
    DWORD pos = SetFilePointer(w32_handle(h_file), (LONG)offset, NULL, method);
    return (int32_t)pos;
}

static int32_t w32_tell(void* p_user, int32_t h_file) {
    return w32_seek(p_user, h_file, 1, 0);
}

Fsv* Fsv_alloc_win32(void) {
    return Fsv_alloc(NULL, w32_create, w32_delete, w32_open, w32_close, w32_read, w32_write,
                     w32_seek, w32_tell);
}

void Fsv_free_win32(Fsv* p) {
    Fsv_free(p);
}

Fsv* Fsv_alloc_native(void) {
    return Fsv_alloc_win32();
}

void Fsv_free_native(Fsv* p) {
    Fsv_free_win32(p);
}
