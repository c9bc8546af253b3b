// File download: sends the coherent partitions of an S-record file into device RAM and may start
// code there.
#pragma once

#include "msrec.h"

#include <cstdint>

struct Rmc;

// Reads p_filename (unless it is null or empty), joins its data records into
// coherent partitions, writes each into device RAM with Rmc_do_write_xbram in
// pieces of at most 256 bytes, then, when adr_jump is not 0, starts the code
// at adr_jump with Rmc_do_jump (the file's own start address is not used).
// Logs progress lines and each failure. 1 on success (also for an empty name
// with adr_jump 0: nothing is done); 0 at the first failure, pieces already
// written staying in the device.
int MsrLoad_send_file_and_jump(Rmc* p_rmc, const char* p_filename, uint32_t adr_jump);

// Writes the bytes of p_rec from its address on in pieces of 256 bytes and a
// last shorter one (a record of 0 bytes is one write of 0 bytes). 1 when every
// piece was accepted; 0 (logged) at the first refused piece or for a null
// record.
int send_partition(Rmc* p_rmc, MsRec* p_rec);
