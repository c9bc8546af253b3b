// Parameter file of the application root: "data/param.dat" below the program
// directory, holding a 4-byte little-endian version (written as 1).
#pragma once

#include <cstdint>

struct Root;

// Reads the root's parameter file. 1 when its first 4 bytes were read (the
// value is neither checked nor kept); 0 for a null root (no log) or when
// reading failed (logged).
int32_t Root_load(Root* p);
// Writes the root's parameter file. 0 for a null root (no log); 1 otherwise,
// also when writing failed (logged).
int32_t Root_save(Root* p);

// Reads the first 4 bytes of the file p_path through a buffered file stream
// of the default file service. 1 on success; 0 for a null root or path, a
// missing file or a file shorter than 4 bytes (logged).
int32_t Root_param_load(Root* p, const char* p_path);
// Creates (or empties) the file p_path and writes the version 1 as the four
// bytes 01 00 00 00. 1 when all four bytes reached the file; 0 for a null root
// or path, or when the file could not be created or written (logged).
int32_t Root_param_save(Root* p, const char* p_path);
