// Coherent partitions: node forest over the data records, indexed joining of adjacent records,
// partition records.
#include "msrpart.h"

#include "con.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

MsrNode* MsrNode_alloc_val(MsRec* p_rec) {
    if (p_rec == NULL) return NULL;
    MsrNode* p = static_cast<MsrNode*>(malloc(sizeof(MsrNode)));
    if (p == NULL) return NULL;
    p->p_parent = NULL;
    p->adr = MsRec_get_adr(p_rec);
    p->n_bytes = MsRec_get_n_bytes(p_rec);
    p->p_rec = p_rec;
    p->p_next = NULL;
    return p;
}

MsrNode* MsrNode_alloc_copy(const MsrNode* p) {
    if (p == NULL) return NULL;
    MsrNode* p_new = static_cast<MsrNode*>(malloc(sizeof(MsrNode)));
    if (p_new != NULL) *p_new = *p;
    return p_new;
}

void MsrNode_free(MsrNode* p) {
    free(p);
}

MsrNode* MsrNode_get_root(MsrNode* p) {
    if (p == NULL) return NULL;
    MsrNode* p_root = p;
    while (p_root->p_parent != NULL)
        p_root = p_root->p_parent;
    // Path compression: every node passed now points at the root directly.
    while (p != p_root) {
        MsrNode* p_up = p->p_parent;
        if (p_up != p_root) p->p_parent = p_root;
        p = p_up;
    }
    return p_root;
}

static void* msrnode_cb_copy(void* po) {
    return MsrNode_alloc_copy(static_cast<MsrNode*>(po));
}
static void msrnode_cb_free(void* po) {
    MsrNode_free(static_cast<MsrNode*>(po));
}

MsrNodeSet* MsrNodeSet_alloc(void) {
    return Us_alloc(msrnode_cb_copy, msrnode_cb_free, NULL, NULL, NULL);
}

int32_t MsrNodeSet_postfix_val(MsrNodeSet* p, MsRec* p_rec) {
    if (p == NULL) return -1;
    MsrNode* p_node = MsrNode_alloc_val(p_rec);
    if (p_node == NULL) return -1;
    int32_t idx = Us_postfix_ptr(p, p_node);
    if (idx < 0) MsrNode_free(p_node);
    return idx;
}

int create_node_set(MsrNodeSet* p_node_set, MsRecSet* p_rec_set) {
    if (p_node_set == NULL) {
        CON_LOG("error", "p_node_set == NULL\n");
        return 0;
    }
    if (p_rec_set == NULL) {
        CON_LOG("error", "p_rec_set == NULL\n");
        return 0;
    }
    int32_t n = Us_get_n_elem(p_rec_set);
    for (int32_t i = 0; i < n; i++) {
        MsRec* p_rec = MsRecSet_idx_to_ptr(p_rec_set, i);
        if (MsRec_get_tag(p_rec) != MSREC_TAG_DATA) continue;
        if (MsrNodeSet_postfix_val(p_node_set, p_rec) < 0) {
            CON_LOG("error", "MsrNodeSet_postfix_val failed\n");
            return 0;
        }
    }
    return 1;
}

// a before b: a's record ends where b's starts, so b is joined behind a.
static void join(MsrNode* a, MsrNode* b) {
    MsrNode* ra = MsrNode_get_root(a);
    MsrNode* rb = MsrNode_get_root(b);
    a->p_next = b;
    rb->p_parent = ra;
    ra->n_bytes += rb->n_bytes;
}

namespace {

// One address index: the nodes sorted by (address, node index), packed as
// address << 32 | index, and over its positions a forest that links each
// position to the next one of the same address once both are known to be in
// one group. Groups only ever merge, so a link stays true, and a query skips
// a whole run of its own group in one step.
struct AdrIndex {
    uint64_t* p_ent;
    int32_t* p_run; // p_run[pos] == pos: pos ends its known run
    int32_t n;
};

uint32_t ent_adr(uint64_t e) {
    return (uint32_t)(e >> 32);
}
int32_t ent_idx(uint64_t e) {
    return (int32_t)(uint32_t)e;
}

int32_t run_end(AdrIndex* p, int32_t pos) {
    int32_t end = pos;
    while (p->p_run[end] != end)
        end = p->p_run[end];
    while (p->p_run[pos] != end) {
        int32_t up = p->p_run[pos];
        p->p_run[pos] = end;
        pos = up;
    }
    return end;
}

// The smallest node index at or after position pos whose address is adr and
// whose group is not the one of root ra; n when there is none.
int32_t first_of_other_group(AdrIndex* p, MsrNode** nodes, int32_t pos, uint32_t adr, MsrNode* ra) {
    if (pos >= p->n || ent_adr(p->p_ent[pos]) != adr) return p->n;
    int32_t j = ent_idx(p->p_ent[pos]);
    if (MsrNode_get_root(nodes[j]) != ra) return j;
    int32_t end = run_end(p, pos);
    for (;;) {
        int32_t q = end + 1;
        if (q >= p->n || ent_adr(p->p_ent[q]) != adr) return p->n;
        j = ent_idx(p->p_ent[q]);
        if (MsrNode_get_root(nodes[j]) != ra) return j;
        p->p_run[end] = q;
        end = run_end(p, q);
    }
}

// For each node i, the first position of idx_b whose entry is above
// (key_a(i), i): where the nodes with that address and a higher index start.
// Walking idx_a (sorted by key_a) keeps these queries ascending, so one merge
// pass answers all of them.
void first_positions_after(const AdrIndex* idx_a, const AdrIndex* idx_b, int32_t* p_pos) {
    int32_t pos = 0;
    for (int32_t k = 0; k < idx_a->n; k++) {
        uint64_t e = idx_a->p_ent[k];
        while (pos < idx_b->n && idx_b->p_ent[pos] <= e)
            pos++;
        p_pos[ent_idx(e)] = pos;
    }
}

} // namespace

int create_roots(MsrNodeSet* p_node_set) {
    if (p_node_set == NULL) {
        CON_LOG("error", "p_node_set == NULL\n");
        return 0;
    }
    int32_t n = Us_get_n_elem(p_node_set);
    if (n < 2) return 1;
    size_t m = (size_t)n;
    MsrNode** nodes = static_cast<MsrNode**>(malloc(m * sizeof(MsrNode*)));
    // by_start indexes the records' start addresses, by_end their end
    // addresses (start + length modulo 2^32).
    AdrIndex by_start = {static_cast<uint64_t*>(malloc(m * sizeof(uint64_t))),
                         static_cast<int32_t*>(malloc(m * sizeof(int32_t))), n};
    AdrIndex by_end = {static_cast<uint64_t*>(malloc(m * sizeof(uint64_t))),
                       static_cast<int32_t*>(malloc(m * sizeof(int32_t))), n};
    // For node i: where the later nodes starting at its end address begin in
    // by_start, and where the later nodes ending at its start begin in by_end.
    int32_t* pos_next = static_cast<int32_t*>(malloc(m * sizeof(int32_t)));
    int32_t* pos_prev = static_cast<int32_t*>(malloc(m * sizeof(int32_t)));
    int ok = nodes && by_start.p_ent && by_start.p_run && by_end.p_ent && by_end.p_run &&
             pos_next && pos_prev;
    if (!ok) {
        CON_LOG("error", "no memory for the address index of %d nodes\n", n);
    } else {
        for (int32_t i = 0; i < n; i++) {
            nodes[i] = static_cast<MsrNode*>(Us_idx_to_ptr(p_node_set, i));
            // Adjacency is decided by the records' own addresses and lengths.
            uint32_t a = MsRec_get_adr(nodes[i]->p_rec);
            uint32_t e = a + MsRec_get_n_bytes(nodes[i]->p_rec);
            by_start.p_ent[i] = (uint64_t)a << 32 | (uint32_t)i;
            by_end.p_ent[i] = (uint64_t)e << 32 | (uint32_t)i;
            by_start.p_run[i] = i;
            by_end.p_run[i] = i;
        }
        std::sort(by_start.p_ent, by_start.p_ent + n);
        std::sort(by_end.p_ent, by_end.p_ent + n);
        first_positions_after(&by_end, &by_start, pos_next);
        first_positions_after(&by_start, &by_end, pos_prev);
        for (int32_t i = 0; i < n; i++) {
            MsrNode* a = nodes[i];
            MsrNode* ra = MsrNode_get_root(a);
            uint32_t adr_a = MsRec_get_adr(a->p_rec);
            uint32_t end_a = adr_a + MsRec_get_n_bytes(a->p_rec);
            int32_t j_next = first_of_other_group(&by_start, nodes, pos_next[i], end_a, ra);
            int32_t j_prev = first_of_other_group(&by_end, nodes, pos_prev[i], adr_a, ra);
            // The first later node of another group decides; when it touches
            // on both sides, "a before b" is tested first.
            if (j_next < n && j_next <= j_prev)
                join(a, nodes[j_next]);
            else if (j_prev < n)
                join(nodes[j_prev], a);
        }
    }
    free(nodes);
    free(by_start.p_ent);
    free(by_start.p_run);
    free(by_end.p_ent);
    free(by_end.p_run);
    free(pos_next);
    free(pos_prev);
    return ok;
}

int collect_byte_data_of_root(MsRec* p_rec, MsrNode* p_root) {
    if (p_rec == NULL) {
        CON_LOG("error", "p_rec == NULL\n");
        return 0;
    }
    if (p_root == NULL) {
        CON_LOG("error", "p_root == NULL\n");
        return 0;
    }
    uint32_t i_bytes = 0;
    uint32_t n_room = MsRec_get_n_bytes(p_rec);
    int fits = 1;
    for (MsrNode* p = p_root; p != NULL; p = p->p_next) {
        uint32_t n = MsRec_get_n_bytes(p->p_rec);
        // Never past the partition's buffer, whatever the chain holds.
        if (n > n_room - i_bytes) {
            fits = 0;
            i_bytes += n;
            break;
        }
        if (n > 0) memcpy(p_rec->p_bytes + i_bytes, MsRec_get_p_bytes(p->p_rec), n);
        i_bytes += n;
    }
    if (fits && i_bytes == p_root->n_bytes) return 1;
    CON_LOG("error", "root(adr=%08x len=%d) i_bytes=%d\n", p_root->adr, (int)p_root->n_bytes,
            (int)i_bytes);
    return 0;
}

int build_records_from_roots(MsRecSet* p_dst, MsrNodeSet* p_node_set) {
    uint32_t total = 0;
    int32_t n = Us_get_n_elem(p_node_set);
    for (int32_t i = 0; i < n; i++) {
        MsrNode* p_node = static_cast<MsrNode*>(Us_idx_to_ptr(p_node_set, i));
        if (p_node->p_parent != NULL) continue;
        MsRec* p_rec = MsRec_alloc_val(MSREC_TAG_DATA, p_node->adr, p_node->n_bytes, NULL);
        // A partition that cannot be made would be missing from the download.
        if (p_rec == NULL) {
            CON_LOG("error", "MsRec_alloc_val failed\n");
            return 0;
        }
        if (!collect_byte_data_of_root(p_rec, p_node)) {
            CON_LOG("error", "collect_byte_data_of_root failed\n");
            MsRec_free(p_rec);
            return 0;
        }
        if (MsRecSet_postfix_copy(p_dst, p_rec) < 0) {
            CON_LOG("error", "MsRecSet_postfix_copy failed\n");
            MsRec_free(p_rec);
            return 0;
        }
        MsRec_free(p_rec);
        total += p_node->n_bytes;
    }
    Con_printf("totally %d bytes to be transferred\n", (int)total);
    return 1;
}

int MsrPart_create_coherent_partitions(MsRecSet* p_dst, MsRecSet* p_src) {
    MsrNodeSet* p_node_set = MsrNodeSet_alloc();
    int ok = 1;
    if (p_dst == NULL) {
        CON_LOG("error", "p_dst == NULL\n");
        ok = 0;
    }
    if (p_src == NULL) {
        CON_LOG("error", "p_src == NULL\n");
        ok = 0;
    }
    if (p_node_set == NULL) {
        CON_LOG("error", "p_node_set == NULL\n");
        ok = 0;
    }
    if (ok && !create_node_set(p_node_set, p_src)) {
        CON_LOG("error", "! create_node_set (p_node_set, p_src)\n");
        ok = 0;
    }
    if (ok && !create_roots(p_node_set)) {
        CON_LOG("error", "! create_roots (p_node_set)\n");
        ok = 0;
    }
    if (ok && !build_records_from_roots(p_dst, p_node_set)) {
        CON_LOG("error", "! build_records_from_roots (p_dst, p_node_set)\n");
        ok = 0;
    }
    Us_free(p_node_set);
    return ok;
}
