// File streams: a stream over a buffered file of a file service.
#pragma once

#include "fsv.h"
#include "stream.h"

// Buffer size that FcsOpenRead and FcsOpenCreate take for m_buf = -1.
enum { FCS_DEFAULT_BUF = 10240 };

// A reading stream over FsvBuf_open_read (null p_fsv: the default service).
// Null when the file cannot be opened ("pc == NULL cannot open file <name>")
// or the stream cannot be made ("ps == NULL", the file is closed again).
Stream* FcsOpenRead(Fsv* p_fsv, const char* p_name, int32_t m_buf);
// A writing stream over FsvBuf_create: the file is created or emptied. Null
// as FcsOpenRead.
Stream* FcsOpenCreate(Fsv* p_fsv, const char* p_name, int32_t m_buf);
// Closes the buffered file under the stream (which writes what is buffered)
// and frees the stream. 1; 0 for null.
int FcsClose(Stream* ps);
