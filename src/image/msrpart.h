// Coherent partitions: joins the data records of a record set whose address ranges follow one
// another.
#pragma once

#include "msrec.h"

#include <cstdint>

// One node per data record: a disjoint-set forest over the nodes (p_parent,
// null for a root) whose roots carry the total length of their group, and a
// chain through p_next from each root along the joined records.
struct MsrNode {
    MsrNode* p_parent;
    uint32_t adr;     // the record's address, taken at creation
    uint32_t n_bytes; // the record's length; in a root the group's total
    MsRec* p_rec;     // not owned
    MsrNode* p_next;  // the node joined behind this one, or null
};

// A Us array of MsrNode that owns its nodes (not their records).
typedef Us MsrNodeSet;

// Appends to p_dst one partition (a tag-10 record) for each group of data
// records of p_src that follow one another without a gap, in the order in
// which the groups' root records stand in p_src (for records that do not
// overlap, the root is the group's lowest record); start-address records take
// no part. The result is that of pairing every record with the first
// later record of another group that touches it on either side; records are
// never sorted, so only ascending or descending runs always end as one
// partition. Logs the total bytes. 1 on success; 0 (logged) for a null set,
// when records overlap or repeat an address (a group's chain then misses
// bytes), or when memory runs out; partitions appended before a failure stay
// in p_dst. p_src is not changed and must outlive the call.
int MsrPart_create_coherent_partitions(MsRecSet* p_dst, MsRecSet* p_src);

// A new node for p_rec (its address and length, no links), or null for a
// null record or out of memory.
MsrNode* MsrNode_alloc_val(MsRec* p_rec);
// A new node with the same five fields; null for null or out of memory.
MsrNode* MsrNode_alloc_copy(const MsrNode* p);
// Releases the node (not its record); null is ignored.
void MsrNode_free(MsrNode* p);
// The root of p's group; compresses the path on the way. Null for null.
MsrNode* MsrNode_get_root(MsrNode* p);

// A new empty node set, or null.
MsrNodeSet* MsrNodeSet_alloc(void);
// Appends a node for p_rec. Its index, or -1 (null set, out of memory).
int32_t MsrNodeSet_postfix_val(MsrNodeSet* p, MsRec* p_rec);

// The steps of MsrPart_create_coherent_partitions, each 1 on success and 0
// after logging a failure.

// Appends a node for each data record of p_rec_set, in set order.
int create_node_set(MsrNodeSet* p_node_set, MsRecSet* p_rec_set);
// Joins the nodes: for each node a from index 0 upward, with the first later
// node b of another group such that a's record ends where b's starts (a
// before b) or b's ends where a's starts (b before a). Adjacent candidates are
// found through an index by start and by end address, so a set of n nodes
// takes O(n log n).
int create_roots(MsrNodeSet* p_node_set);
// Appends one partition per root, in node order, and logs the total.
int build_records_from_roots(MsRecSet* p_dst, MsrNodeSet* p_node_set);
// Copies the bytes of the chain from p_root into p_rec (root n_bytes long);
// 0 (logged) when the chain does not hold exactly the group's bytes.
int collect_byte_data_of_root(MsRec* p_rec, MsrNode* p_root);
