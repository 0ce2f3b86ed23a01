// libFuzzer harness for both JSON readers and both snapshot readers.
//
// Any input must end in a graph or a message, never in a crash, hang, leak
// or sanitizer report. A graph that was read must also survive the trip
// back: its text reads again to the same text, its snapshot to the same
// bytes, and the CPDAG's extension, when there is one, is a valid DAG.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cpdag/cpdag.hpp"
#include "formats/formats.hpp"
#include "formats/snapshot.hpp"

namespace {

using namespace morvend;

template <class Graph>
void check_round_trip(const Graph& g, ReadResult<Graph> (*read)(std::string_view)) {
  const std::string text = to_json(g);
  const ReadResult<Graph> again = read(text);
  if (!again || to_json(*again) != text) __builtin_trap();
}

template <class Graph>
void check_snapshot(const Graph& g, std::string (*write)(const Graph&),
                    ReadResult<Graph> (*read)(std::string_view)) {
  const std::string bytes = write(g);
  const ReadResult<Graph> again = read(bytes);
  if (!again || write(*again) != bytes || to_json(*again) != to_json(g)) __builtin_trap();
}

template <class T>
void check_message(const ReadResult<T>& r) {
  if (!r && r.error().empty()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const ReadResult<Dag> dag = dag_from_json(text);
  check_message(dag);
  if (dag) {
    check_round_trip(*dag, &dag_from_json);
    check_snapshot(*dag, &dag_snapshot, &dag_from_snapshot);
    (void)to_dot(*dag);
  }

  const ReadResult<Cpdag> cpdag = cpdag_from_json(text);
  check_message(cpdag);
  if (cpdag) {
    check_round_trip(*cpdag, &cpdag_from_json);
    check_snapshot(*cpdag, &cpdag_snapshot, &cpdag_from_snapshot);
    if (Result<Dag> ext = consistent_extension(*cpdag); ext && !ext->validate()) __builtin_trap();
  }
  // The raw bytes as snapshots: a graph or a message, and a graph read
  // writes back to a snapshot that reads the same.
  const ReadResult<Dag> dag_bytes = dag_from_snapshot(text);
  check_message(dag_bytes);
  if (dag_bytes) check_snapshot(*dag_bytes, &dag_snapshot, &dag_from_snapshot);
  const ReadResult<Cpdag> cpdag_bytes = cpdag_from_snapshot(text);
  check_message(cpdag_bytes);
  if (cpdag_bytes) check_snapshot(*cpdag_bytes, &cpdag_snapshot, &cpdag_from_snapshot);
  return 0;
}
