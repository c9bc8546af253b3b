// RMC master: request/response transactions over the 3964R link and the
// remote memory command set.
#pragma once

#include <cstdint>

struct Co3964;

// Result codes of every command: 0 success, 1 to 7 the slave's exception
// codes, 8 to 10 the master's own failures.
enum {
    RMC_RES_OK = 0,
    RMC_RES_ILL_FC = 1,
    RMC_RES_ILL_DATA_ADR = 2,
    RMC_RES_ILL_DATA_VAL = 3,
    RMC_RES_DEV_FAIL = 4,
    RMC_RES_ACK = 5,
    RMC_RES_BUSY = 6,
    RMC_RES_NAK = 7,
    RMC_RES_ERR_SEND = 8,
    RMC_RES_ERR_REC = 9,
    RMC_RES_ERR_ELSE = 10,
};

// Function codes of the commands, shared with the slave side.
enum {
    RMC_FC_GET_WORDS_5 = 5,
    RMC_FC_GET_WORDS_6 = 6,
    RMC_FC_ACTIVATE_BOOTLOADER = 7,
    RMC_FC_START_APPL = 8,
    RMC_FC_READ_MEM = 9,
    RMC_FC_JUMP = 18,
    RMC_FC_WRITE_XBRAM = 19,
    RMC_FC_ERASE_APPL = 35,
    RMC_FC_BLANK_CHECK_APPL = 36,
    RMC_FC_WRITE_FLASH = 37,
    RMC_FC_EXEC_64 = 64,
    RMC_FC_EXEC_65 = 65,
    RMC_FC_WRITE_BLOCK_66 = 66,
    RMC_FC_GET_PAIR_67 = 67,
    RMC_FC_SET_PAIR_68 = 68,
    RMC_FC_GET_WORDS_69 = 69,
    RMC_FC_SET_WORDS_70 = 70,
    RMC_FC_GET_TEXT_71 = 71,
    RMC_FC_SET_TEXT_72 = 72,
    RMC_FC_GET_WORDS_80 = 80,
    RMC_FC_GET_INDEXED_WORDS_81 = 81,
    RMC_FC_GET_WORDS_82 = 82,
    RMC_FC_GET_INDEXED_WORDS_83 = 83,
    RMC_FC_FRAM_READ = 84,
    RMC_FC_FRAM_WRITE = 85,
    RMC_FC_GET_WORDS_86 = 86,
    RMC_FC_SET_WORDS_87 = 87,
};

// Bytes of text carried by the text commands 71 and 72 (the last one is the
// terminator).
enum { RMC_N_TEXT = 40 };

// One RMC endpoint. The buffer and the link belong to the owner. The slave
// fields are only stored: the master role never reads them.
struct Rmc {
    int32_t m_msg_buffer;     // capacity of p_msg_buffer, > 0
    int32_t n_msg;            // length of the request being built or the message received
    uint8_t* p_msg_buffer;    // the one buffer for request and reply
    Co3964* p_co;             // link carrying the messages
    int32_t send_timeout_ms;  // how long a request may take to leave
    int32_t reply_timeout_ms; // how long one wait for an inbound message lasts
    int32_t slave_par[3];
    int32_t slave_state[2];
    int32_t slave_table[23];
};

// The six words of the record output of Rmc_do_get_words_69.
struct RmcRec6 {
    uint32_t w[6];
};

// Fills every field of p in order (n_msg 0, both time-outs 5000, slave state
// 0 and 1), then checks m_msg_buffer > 0, p_msg_buffer and p_co, logging one
// line per failed check. Returns p; null when p is null (no log) or a check
// failed.
Rmc* Rmc_init_as_slave(Rmc* p, int32_t m_msg_buffer, uint8_t* p_msg_buffer, Co3964* p_co,
                       int32_t par_1, int32_t par_2, int32_t par_3, int32_t tab_1, int32_t tab_2,
                       int32_t tab_3, int32_t tab_4, int32_t tab_5, int32_t tab_6, int32_t tab_7,
                       int32_t tab_8, int32_t tab_9, int32_t tab_10, int32_t tab_11, int32_t tab_12,
                       int32_t tab_13, int32_t tab_14, int32_t tab_15, int32_t tab_16,
                       int32_t tab_17, int32_t tab_18, int32_t tab_19, int32_t tab_20,
                       int32_t tab_21, int32_t tab_22, int32_t tab_23);
// Rmc_init_as_slave with the slave parameters -1 and a slave table of zeros.
Rmc* Rmc_init_as_master(Rmc* p, int32_t m_msg_buffer, uint8_t* p_msg_buffer, Co3964* p_co);

// The twenty-character name of a failing result code 1 to 10, padded with
// blanks ("RMC_RES_BUSY        "); null for 0 and any other value. The
// static text lives as long as the program.
const char* Rmc_get_result_name(int code);

// The commands. Each builds one request in p's buffer, runs one transaction,
// logs a failing result and returns the result code. A null p returns
// RMC_RES_ERR_ELSE at once without a transaction or log line. Outputs are
// filled after every transaction, whatever its result, from the reply bytes
// in the buffer (0 where the buffer holds none); use them only after
// RMC_RES_OK and before the next command on p. A null word output is skipped.
// Byte outputs hold at least n bytes; data arguments n readable bytes.

// Code 5, 6, 80, 82: three words back.
int Rmc_do_get_words_5(Rmc* p, uint32_t* p_w1, uint32_t* p_w2, uint32_t* p_w3);
int Rmc_do_get_words_6(Rmc* p, uint32_t* p_w1, uint32_t* p_w2, uint32_t* p_w3);
int Rmc_do_get_words_80(Rmc* p, uint32_t* p_w1, uint32_t* p_w2, uint32_t* p_w3);
int Rmc_do_get_words_82(Rmc* p, uint32_t* p_w1, uint32_t* p_w2, uint32_t* p_w3);
// Codes 7, 8, 35, 36, 64, 65: the code alone, repeated in the reply.
int Rmc_do_activate_bootloader(Rmc* p);
int Rmc_do_start_appl(Rmc* p);
int Rmc_do_erase_appl(Rmc* p);
int Rmc_do_blank_check_appl(Rmc* p);
int Rmc_do_exec_64(Rmc* p);
int Rmc_do_exec_65(Rmc* p);
// Code 9: reads n_bytes of device memory at a_mem into p_bytes.
int Rmc_do_read_mem(Rmc* p, uint32_t a_mem, uint8_t* p_bytes, uint32_t n_bytes);
// Code 18: starts the code at a_mem.
int Rmc_do_jump(Rmc* p, uint32_t a_mem);
// Codes 19, 37, 66: write n_bytes from p_bytes to a_mem (RAM, flash, block).
// A request that does not fit the buffer is not sent: RMC_RES_ERR_SEND.
int Rmc_do_write_xbram(Rmc* p, uint32_t a_mem, const uint8_t* p_bytes, uint32_t n_bytes);
int Rmc_do_write_flash(Rmc* p, uint32_t a_mem, const uint8_t* p_bytes, uint32_t n_bytes);
int Rmc_do_write_block_66(Rmc* p, uint32_t a_mem, const uint8_t* p_bytes, uint32_t n_bytes);
// Code 67: two words of an item.
int Rmc_do_get_pair_67(Rmc* p, uint32_t item, uint32_t* p_w1, uint32_t* p_w2);
// Code 68: sets two words of an item.
int Rmc_do_set_pair_68(Rmc* p, uint32_t item, uint32_t w1, uint32_t w2);
// Code 69: two words, a record of six words (reply words 3 to 8), one word.
int Rmc_do_get_words_69(Rmc* p, uint32_t* p_w1, uint32_t* p_w2, RmcRec6* p_rec, uint32_t* p_w9);
// Code 70: sends eight words.
int Rmc_do_set_words_70(Rmc* p, uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4, uint32_t w5,
                        uint32_t w6, uint32_t w7, uint32_t w8);
// Code 71: a text of at most 39 characters into p_text (40 bytes), always
// terminated. A null p_text returns RMC_RES_ERR_ELSE without a transaction.
int Rmc_do_get_text_71(Rmc* p, char* p_text);
// Code 72: sends the first 39 bytes of p_text as they are (at least 39 must
// be readable) and a 0 byte. A null p_text returns RMC_RES_ERR_ELSE without a
// transaction.
int Rmc_do_set_text_72(Rmc* p, const char* p_text);
// Codes 81, 83: three words of an item.
int Rmc_do_get_indexed_words_81(Rmc* p, uint32_t item, uint32_t* p_w1, uint32_t* p_w2,
                                uint32_t* p_w3);
int Rmc_do_get_indexed_words_83(Rmc* p, uint32_t item, uint32_t* p_w1, uint32_t* p_w2,
                                uint32_t* p_w3);
// Code 84: reads n_data bytes at a_fram of FRAM i_fram into p_data; a failure
// also logs the three arguments.
int Rmc_do_fram_read(Rmc* p, uint32_t i_fram, uint32_t a_fram, uint32_t n_data, uint8_t* p_data);
// Code 85: writes n_data bytes from p_data at a_fram of FRAM i_fram.
int Rmc_do_fram_write(Rmc* p, uint32_t i_fram, uint32_t a_fram, uint32_t n_data,
                      const uint8_t* p_data);
// Code 86: six words back.
int Rmc_do_get_words_86(Rmc* p, uint32_t* p_w1, uint32_t* p_w2, uint32_t* p_w3, uint32_t* p_w4,
                        uint32_t* p_w5, uint32_t* p_w6);
// Code 87: sends six words.
int Rmc_do_set_words_87(Rmc* p, uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4, uint32_t w5,
                        uint32_t w6);
