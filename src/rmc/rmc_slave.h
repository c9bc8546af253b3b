// RMC slave side: takes requests from a 3964R link and answers them with a
// normal reply or an exception reply. The device model's half of a
// transaction (the simulated device and the tests use it).
#pragma once

#include <cstdint>

struct Co3964;

// Capacity of the request and of the reply kept in the record.
enum { RMC_SLAVE_M_MSG = 1024 };

// One slave endpoint over a link owned by the caller. The request last taken
// stays in req until the next one is taken; the reply is built in rep.
struct RmcSlave {
    Co3964* p_co;
    int32_t n_req; // length of the request in req; 0 before the first
    uint8_t req[RMC_SLAVE_M_MSG];
    int32_t n_rep; // length of the reply built so far
    uint8_t rep[RMC_SLAVE_M_MSG];
};

// Stores the link and empties both messages. Returns p; null for a null p or
// a null p_co (logged).
RmcSlave* RmcSlave_init(RmcSlave* p, Co3964* p_co);

// Takes the message waiting in the link's inbound slot, without running the
// link (for callers inside the link's own waits, such as a link pair's peer
// callback). Returns the function code (0 to 255) of a request now in req /
// n_req; -1 when none waits. Empty messages and messages longer than
// RMC_SLAVE_M_MSG are dropped (-1). -1 for a null p.
int RmcSlave_take_request(RmcSlave* p);
// Runs the link once (Co3964_poll returns when the link is idle, so a reply
// handed over goes out within it), then takes a request as
// RmcSlave_take_request does.
int RmcSlave_poll_request(RmcSlave* p);

// Word i (0 for the first) of the request's arguments, read little-endian at
// offset 1 + 4 * i; 0 when the request is shorter.
uint32_t RmcSlave_get_arg(const RmcSlave* p, int i);

// The signature length of command fc as the master checks it (1, 5, 9 or
// 13); -1 for a code the command set does not know.
int RmcSlave_get_n_signa(int fc);

// Starts the normal reply with the request's first n_signa bytes (bytes the
// request does not hold come out as 0). A negative n_signa takes the command's
// own signature length (RmcSlave_get_n_signa of the request's code, 1 when
// unknown). Returns 1; 0 for a null p or n_signa above RMC_SLAVE_M_MSG.
int RmcSlave_reply_begin(RmcSlave* p, int n_signa);
// Append a 32-bit little-endian word / n raw bytes to the reply. 1; 0 (and
// nothing appended) when it would not fit or an argument is bad.
int RmcSlave_reply_put_u32(RmcSlave* p, uint32_t value);
int RmcSlave_reply_put_bytes(RmcSlave* p, const uint8_t* p_bytes, int n);
// Hands the reply built to the link. Co3964_ob_set_msg's result: 2 accepted
// (the link sends it while it is polled), 1 refused (a message still pending),
// 3 longer than the link's outbound buffer; 1 for a null p.
int RmcSlave_reply_send(RmcSlave* p);

// Hands over the exception reply to the request: its code OR 0x80 and the
// byte code (the master takes 1 to 7 as its result). Result as
// RmcSlave_reply_send.
int RmcSlave_send_exception(RmcSlave* p, int code);
// Hands over any n bytes as they are (stale or malformed replies, fault
// injection). Result as RmcSlave_reply_send.
int RmcSlave_send_raw(RmcSlave* p, int n, const uint8_t* p_bytes);

// 1 while a reply handed over is still waiting to leave; 0 otherwise.
int RmcSlave_is_sending(const RmcSlave* p);
