// Snapshots: the compact binary form of a Dag or a Cpdag that pickling and
// copying carry. It keeps everything a graph is: names by id, and every
// adjacency list in its order, so a restored graph answers every query the
// same way, seeded explanations included.
//
// Layout (integers as LEB128 varints):
//   "MVG" | version (1) | kind ('D' or 'C')
//   n | n names (byte length, UTF-8 bytes)
//   Dag:   for each node by id, its children in order (count, ids)
//   Cpdag: directed edges, then undirected edges, each as (count, pairs) in
//          the order that rebuilds every list
// A reader checks every byte: truncation, trailing bytes, an unknown version,
// ids out of range, repeated names or edges, and invalid UTF-8 each fail with
// a message, never a partial graph. Cycles are kept: a Dag may hold one.
//
//   std::string bytes = dag_snapshot(dag);
//   ReadResult<Dag> back = dag_from_snapshot(bytes);
#pragma once

#include <string>
#include <string_view>

#include "cpdag/cpdag.hpp"
#include "formats/formats.hpp"
#include "graph/dag.hpp"

namespace morvend {

inline constexpr unsigned kSnapshotVersion = 1;

std::string dag_snapshot(const Dag& g);
std::string cpdag_snapshot(const Cpdag& g);

// The failure message starts "invalid graph snapshot: ".
ReadResult<Dag> dag_from_snapshot(std::string_view bytes);
ReadResult<Cpdag> cpdag_from_snapshot(std::string_view bytes);

}  // namespace morvend
