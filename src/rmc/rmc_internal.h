// RMC transaction layer inside the module: message building, the one
// transaction, and result logging. Used by the commands and by the tests.
#pragma once

#include "rmc.h"

#include <cstdint>

// Longest signature a reply can be asked to repeat.
enum { N_SIGNA = 16 };

// Writes fc at offset 0 and the first min(n_args, 9) of the following
// uint32_t arguments little-endian at offsets 1, 5, ..., 33, and sets n_msg to
// 1 + 4 * n_args. Pass the arguments as uint32_t. Writes nothing when the
// request would not fit the buffer (send_and_receive then refuses it).
// Returns 1.
int build_message(Rmc* p, int n_args, int fc, ...);

// Store one byte / four bytes least significant first; return the next
// position.
uint8_t* put_u8(uint8_t* position, uint8_t value);
uint8_t* put_u32_le(uint8_t* position, uint32_t value);
// Read one byte / four bytes least significant first.
uint8_t get_u8(const uint8_t* position);
uint32_t get_u32_le(const uint8_t* position);

// Runs one transaction for the request now in the buffer: the reply must
// begin with the request's first n_signa bytes (0..N_SIGNA) and be exactly
// n_expected bytes long. Returns a result code; the buffer then holds the last
// message received and n_msg its length. A request longer than the buffer
// (n_msg > m_msg_buffer) is not sent: RMC_RES_ERR_SEND.
int send_and_receive(Rmc* p, int n_signa, int n_expected);

// Steps of send_and_receive. send_message hands the request to the link and
// waits until it has left (1) or not (0). receive_message waits for an
// inbound message, takes it into buffer (capacity m) and returns its length,
// or -1 at the reply time-out or for a message longer than m.
int send_message(Rmc* p, int n, const uint8_t* buffer);
int wait_message_sent(Rmc* p);
int receive_message(Rmc* p, int m, uint8_t* buffer);
int wait_message_received(Rmc* p);
// 1 when the first n_signa (> 0) bytes of both are equal; 0 otherwise.
int signa_is_ok(int n_signa, const uint8_t* p_signa_a, const uint8_t* p_signa_b);

// Logs a failing code with its name (nothing for 0) and returns code.
int log_result(int code);
