// S-record file reader and writer: token reader, line decoder, line writer and the two file
// operations.
#include "msrecin.h"

#include "con.h"
#include "ezserial.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

static int is_blank(int c) {
    return c == 9 || c == 10 || c == 13 || c == 32;
}

int32_t fread_line(FILE* fp, int32_t m_line, char* buf) {
    if (fp == NULL || buf == NULL) return -1;
    int c;
    do {
        c = fgetc(fp);
    } while (c != EOF && is_blank(c));
    if (c == EOF) {
        if (m_line > 0) buf[0] = 0;
        return -1;
    }
    int32_t l = 0;
    for (; c != EOF && !is_blank(c); c = fgetc(fp)) {
        // The character and the NUL behind it must both fit.
        if (l + 1 >= m_line) {
            if (m_line > 0) buf[m_line - 1] = 0;
            CON_LOG("error", "file contains line, which is too long !\n");
            return -2;
        }
        buf[l++] = (char)c;
    }
    buf[l] = 0;
    return l;
}

static int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

int32_t string_to_bin_vector(int32_t m_vector, uint8_t* p_vector, const char* p_str) {
    if (p_str == NULL) {
        CON_LOG("error", "p_str == NULL\n");
        return -1;
    }
    if (p_vector == NULL) {
        CON_LOG("error", "p_vector == NULL\n");
        return -1;
    }
    if (m_vector <= 0) {
        CON_LOG("error", "m_vector <= 0\n");
        return -1;
    }
    size_t l_str = strlen(p_str);
    if (l_str & 0x01) {
        CON_LOG("error", "(l_str & 0x01)\n");
        return -2;
    }
    if (l_str < 6) {
        CON_LOG("error", "(l_str < 6)\n");
        return -2;
    }
    if ((l_str / 2) > (size_t)m_vector) {
        CON_LOG("error", "((l_str / 2) > m_vector)\n");
        return -1;
    }
    if (p_str[0] != 'S') {
        CON_LOG("error", "(p_str [0] != 'S')\n");
        return -2;
    }
    char tag = p_str[1];
    // S6 (a 24-bit record count, as srec_cat writes past 65535 records) is a
    // standard line, read like S5; only S4 has no meaning.
    if (tag < '0' || tag > '9' || tag == '4') {
        Con_printf("unexpected tag S%c\n", tag);
        return -2;
    }
    p_vector[0] = (uint8_t)(tag - '0');
    int32_t n_vector = 1;
    for (size_t i = 2; i < l_str; i += 2) {
        int hi_nibble = hex_value(p_str[i]);
        if (hi_nibble < 0) {
            CON_LOG("error", "hi_nibble < 0\n");
            return -2;
        }
        int lo_nibble = hex_value(p_str[i + 1]);
        if (lo_nibble < 0) {
            CON_LOG("error", "lo_nibble < 0\n");
            return -2;
        }
        p_vector[n_vector++] = (uint8_t)(hi_nibble << 4 | lo_nibble);
    }
    if (n_vector != (p_vector[1] + 2)) {
        CON_LOG("error", "n_vector != (p_vector [1] + 2)\n");
        return -2;
    }
    int32_t count = p_vector[1];
    uint8_t bcc_eff = calc_bcc(count, &p_vector[1]);
    uint8_t bcc_nom = p_vector[count + 1];
    if (bcc_nom != bcc_eff) {
        CON_LOG("error", "bcc_nom != bcc_eff\n");
        Con_printf("string=<%s>\n", p_str);
        return -3;
    }
    return n_vector;
}

uint8_t calc_bcc(int32_t n, const uint8_t* bytes) {
    uint8_t sum = 0;
    for (int32_t i = 0; i < n && bytes != NULL; i++)
        sum = (uint8_t)(sum + bytes[i]);
    return (uint8_t)~sum;
}

// Big-endian value of n bytes.
static uint32_t get_be(const uint8_t* p, int32_t n) {
    uint32_t v = 0;
    for (int32_t i = 0; i < n; i++)
        v = v << 8 | p[i];
    return v;
}

int MsRecIn_load_file(MsRecSet* p_rec_set, const char* p_filename) {
    if (p_filename == NULL) {
        CON_LOG("error", "cannot open file <%s> for reading\n", "(null)");
        return 0;
    }
    FILE* fp = fopen(p_filename, "rb");
    if (fp == NULL) {
        CON_LOG("error", "cannot open file <%s> for reading\n", p_filename);
        return 0;
    }
    char line[MSRECIN_M_LINE];
    uint8_t vector[MSRECIN_M_VECTOR];
    int result = 0;
    for (;;) {
        if (fread_line(fp, sizeof(line), line) < 0) {
            CON_LOG("error", "fread_line returned an error\n");
            break;
        }
        int32_t error_code = string_to_bin_vector(sizeof(vector), vector, line);
        if (error_code < 0) {
            CON_LOG("error", "unexpected data detected, error_code=%d\n", error_code);
            break;
        }
        int32_t type = vector[0];
        int32_t count = vector[1];
        if (type == 0 || type == 5 || type == 6) continue;
        if (type >= 1 && type <= 3) {
            int32_t w = type + 1;
            int32_t n_data = count - w - 1;
            // A count too small for the address leaves no data bytes: no record.
            if (n_data < 0 || MsRecSet_postfix_val(p_rec_set, MSREC_TAG_DATA, get_be(&vector[2], w),
                                                   (uint32_t)n_data, &vector[2 + w]) < 0) {
                CON_LOG("error", "MsRecSet_postfix_val failed\n");
                break;
            }
            continue;
        }
        // 7, 8, 9: the start address ends the file. A count too small for the
        // address gives the bytes the line holds before its checksum.
        int32_t w = 11 - type;
        if (w > count - 1) w = count - 1;
        if (MsRecSet_postfix_val(p_rec_set, MSREC_TAG_START_ADR, get_be(&vector[2], w), 0, NULL) <
            0) {
            CON_LOG("error", "MsRecSet_postfix_val failed\n");
            break;
        }
        result = 1;
        break;
    }
    fclose(fp);
    return result;
}

int write_record(FILE* fp, int32_t type, int32_t n, const uint8_t* bytes) {
    if (fp == NULL || bytes == NULL) return 0;
    static const char hex[] = "0123456789ABCDEF";
    // "S", the digit(s), two characters a byte, CR LF: what fprintf("S%d"),
    // "%02X" per byte and "\r\n" give, in one write.
    char text[16 + 2 * 256];
    char* p_text = text;
    char* p_big = NULL;
    if (n > 256) {
        p_big = static_cast<char*>(malloc(16 + 2 * (size_t)n));
        if (p_big == NULL) return 0;
        p_text = p_big;
    }
    int l = snprintf(p_text, 16, "S%d", type);
    for (int32_t i = 0; i < n; i++) {
        p_text[l++] = hex[bytes[i] >> 4];
        p_text[l++] = hex[bytes[i] & 0x0F];
    }
    p_text[l++] = '\r';
    p_text[l++] = '\n';
    size_t n_written = fwrite(p_text, 1, (size_t)l, fp);
    free(p_big);
    return n_written == (size_t)l && !ferror(fp) ? 1 : 0;
}

// Assembles one line (count, w address bytes big-endian, n data bytes,
// checksum) in the 1024-byte line area and writes it. write_record's result.
static int put_line(FILE* fp, int32_t type, uint32_t adr, int32_t w, const uint8_t* data,
                    int32_t n) {
    uint8_t line[1024];
    EzSerial ez;
    EzSerial_init_write(&ez, sizeof(line) - 1, &line[1]);
    for (int32_t i = w - 1; i >= 0; i--)
        EzSerial_put_u8(&ez, (uint8_t)(adr >> (8 * i)));
    if (n > 0) EzSerial_put_bytes(&ez, n, data);
    line[0] = (uint8_t)(EzSerial_get_i_buffer(&ez) + 1);
    EzSerial_put_u8(&ez, calc_bcc(EzSerial_get_i_buffer(&ez) + 1, line));
    if (EzSerial_get_flags(&ez) != 0) return 0;
    return write_record(fp, type, EzSerial_get_i_buffer(&ez) + 1, line);
}

int MsRecIn_save_file(MsRecSet* p_rec_set, int32_t tag_value, const char* p_filename) {
    if (p_rec_set == NULL || p_filename == NULL) return 0;
    FILE* fp = fopen(p_filename, "wb");
    if (fp == NULL) {
        CON_LOG("error", "cannot open file %s\n", p_filename);
        return 0;
    }
    int ok = 1;
    static const uint8_t text[3] = {'H', 'D', 'R'};
    if (!put_line(fp, 0, 0, 2, text, sizeof(text))) {
        CON_LOG("error", "write_record failed\n");
        ok = 0;
    }
    int is_valid = tag_value >= 1 && tag_value <= 3;
    int32_t w = tag_value + 1;
    // Data bytes that one line holds with this address width.
    int32_t n_max = 255 - (w + 1);
    int32_t n_rec = Us_get_n_elem(p_rec_set);
    for (int32_t i = 0; i < n_rec && ok; i++) {
        if (!is_valid) {
            CON_LOG("error", "unexpected tag_value=%d\n", tag_value);
            continue;
        }
        MsRec* p_rec = MsRecSet_idx_to_ptr(p_rec_set, i);
        uint32_t adr = MsRec_get_adr(p_rec);
        uint32_t n_bytes = MsRec_get_n_bytes(p_rec);
        const uint8_t* p_bytes = MsRec_get_p_bytes(p_rec);
        // A record longer than one line goes out as several full lines.
        uint32_t i_bytes = 0;
        do {
            uint32_t n_piece = n_bytes - i_bytes < (uint32_t)n_max ? n_bytes - i_bytes : n_max;
            if (!put_line(fp, tag_value, adr + i_bytes, w, p_bytes + i_bytes, (int32_t)n_piece)) {
                CON_LOG("error", "write_record failed\n");
                ok = 0;
                break;
            }
            i_bytes += n_piece;
        } while (i_bytes < n_bytes);
    }
    if (ok) {
        if (!is_valid) {
            CON_LOG("error", "unexpected tag_value=%d\n", tag_value);
            ok = 0;
        } else if (!put_line(fp, 10 - tag_value, 0, w, NULL, 0)) {
            CON_LOG("error", "write_record failed\n");
            ok = 0;
        }
    }
    // Buffered bytes reach the disk here: a small file on a full disk fails only now.
    if (fclose(fp) != 0) {
        if (ok) CON_LOG("error", "cannot close file %s: %s\n", p_filename, strerror(errno));
        ok = 0;
    }
    return ok;
}
