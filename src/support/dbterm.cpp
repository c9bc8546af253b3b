// Debug terminal: a ring of fixed-width rows behind a recursive lock.
#include "dbterm.h"

#include "con.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

enum { DBTERM_PRINTF_SIZE = 4096 };

static char* row(DbTerm* p, int i) {
    return p->p_scr + ((p->i_top + i) % p->ny_scr) * p->l_row;
}

// Counts a change; the count starts again at 0 instead of turning negative.
// Stored atomically because DbTerm_to_string reads it without the lock.
static void count_change(DbTerm* p) {
    int n = p->n_change == INT_MAX ? 0 : p->n_change + 1;
    __atomic_store_n(&p->n_change, n, __ATOMIC_RELAXED);
}

DbTerm* DbTerm_alloc(int nx_scr, int ny_scr) {
    // A screen needs a row and a whole size that an int can count.
    if (nx_scr < 0 || ny_scr <= 0 || (long long)(nx_scr + 1LL) * ny_scr > INT_MAX) {
        CON_LOG("error", "invalid size (nx_scr=%d, ny_scr=%d)\n", nx_scr, ny_scr);
        return nullptr;
    }
    auto* p = static_cast<DbTerm*>(std::calloc(1, sizeof(DbTerm)));
    if (!p) return nullptr;
    bool ok = true;
    p->p_mutex = CspMutex_alloc();
    if (!p->p_mutex) {
        CON_LOG("error", "__XALLOC failed (p -> p_mutex=CspMutex_alloc ())\n");
        ok = false;
    }
    p->p_scr = static_cast<char*>(std::malloc((size_t)(nx_scr + 1) * ny_scr));
    if (!p->p_scr) {
        CON_LOG("error", "__XALLOC failed (p -> p_scr=__ALLOC ((nx_scr + 1) * ny_scr * sizeof (* "
                         "p -> p_scr)))\n");
        ok = false;
    }
    p->nx_scr = nx_scr;
    p->ny_scr = ny_scr;
    p->l_row = nx_scr + 1;
    p->x_cur = 0;
    p->y_cur = 0;
    p->i_top = 0;
    p->n_change = 0;
    p->n_str = (nx_scr + 1) * ny_scr;
    p->p_str = static_cast<char*>(std::malloc((size_t)p->n_str));
    if (!p->p_str) {
        CON_LOG("error", "__XALLOC failed (p -> p_str=__ALLOC (p -> n_str * sizeof (* p -> "
                         "p_scr)))\n");
        ok = false;
    }
    if (!ok) {
        DbTerm_free(p);
        return nullptr;
    }
    DbTerm_clear(p);
    return p;
}

int DbTerm_free(DbTerm* p) {
    if (!p) return 0;
    CspMutex_free(p->p_mutex);
    std::free(p->p_scr);
    std::free(p->p_str);
    std::free(p);
    return 1;
}

int DbTerm_clear(DbTerm* p) {
    DbTerm_enter(p);
    int result = 0;
    if (!p) {
        CON_LOG("error", "p == NULL\n");
    } else {
        std::memset(p->p_scr, 0, (size_t)p->l_row * p->ny_scr);
        p->x_cur = 0;
        p->y_cur = 0;
        p->i_top = 0;
        p->p_str[0] = 0;
        count_change(p);
        result = 1;
    }
    DbTerm_exit(p);
    return result;
}

// One character at the cursor: a newline starts the next row (scrolling the
// oldest out on the bottom row), anything else goes into the cursor row or
// is dropped beyond the right margin.
static void put_char(DbTerm* p, char c) {
    if (c == '\n') {
        if (++p->y_cur >= p->ny_scr) {
            p->y_cur = p->ny_scr - 1;
            p->i_top = (p->i_top + 1) % p->ny_scr;
        }
        p->x_cur = 0;
        row(p, p->y_cur)[0] = 0;
    } else if (p->x_cur < p->nx_scr) {
        char* p_row = row(p, p->y_cur);
        p_row[p->x_cur] = c;
        p_row[p->x_cur + 1] = 0;
        p->x_cur++;
    }
}

int DbTerm_print(void* p_db_term, const char* p_src) {
    auto* p = static_cast<DbTerm*>(p_db_term);
    DbTerm_enter(p);
    int result = 0;
    if (!p) {
        CON_LOG("error", "p == NULL\n");
    } else if (!p_src) {
        CON_LOG("error", "p_src == NULL\n");
    } else {
        for (const char* s = p_src; *s; s++)
            put_char(p, *s);
        count_change(p);
        result = 1;
    }
    DbTerm_exit(p);
    return result;
}

int DbTerm_printf(DbTerm* p, const char* p_format, ...) {
    if (!p_format) {
        CON_LOG("error", "p_format == NULL\n");
        return 0;
    }
    char buffer[DBTERM_PRINTF_SIZE];
    va_list args;
    va_start(args, p_format);
    std::vsnprintf(buffer, sizeof buffer, p_format, args);
    va_end(args);
    return DbTerm_print(p, buffer);
}

int DbTerm_enter(DbTerm* p) {
    if (!p) {
        CON_LOG("error", "p == NULL\n");
        return 0;
    }
    return CspMutex_lock(p->p_mutex, -1);
}

int DbTerm_exit(DbTerm* p) {
    if (!p) {
        CON_LOG("error", "p == NULL\n");
        return 0;
    }
    return CspMutex_unlock(p->p_mutex);
}

int DbTerm_to_string(DbTerm* p, int n_change_seen) {
    if (!p) {
        CON_LOG("error", "p == NULL\n");
        return -1;
    }
    // Read without the lock: a viewer polls often, and a stale answer only
    // delays its refresh to the next poll.
    if (n_change_seen != -1 && n_change_seen == __atomic_load_n(&p->n_change, __ATOMIC_RELAXED))
        return -1;
    DbTerm_enter(p);
    char* p_out = p->p_str;
    for (int i = 0; i < p->ny_scr; i++) {
        const char* p_row = row(p, i);
        size_t n = std::strlen(p_row);
        std::memcpy(p_out, p_row, n);
        p_out += n;
        *p_out++ = i + 1 < p->ny_scr ? '\n' : 0;
    }
    int n_change = p->n_change;
    DbTerm_exit(p);
    return n_change;
}

int DbTerm_get_n_str(DbTerm* p) {
    return p ? p->n_str : 0;
}

char* DbTerm_get_p_str(DbTerm* p) {
    return p ? p->p_str : nullptr;
}
