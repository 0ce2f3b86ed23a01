// libFuzzer harness for both JSON readers.
//
// Any input must end in a graph or a message, never in a crash, hang, leak
// or sanitizer report. A graph that was read must also survive the trip
// back: its text reads again to the same text, and the CPDAG's extension,
// when there is one, is a valid DAG.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cpdag/cpdag.hpp"
#include "formats/formats.hpp"

namespace {

using namespace morvend;

template <class Graph>
void check_round_trip(const Graph& g, ReadResult<Graph> (*read)(std::string_view)) {
  const std::string text = to_json(g);
  const ReadResult<Graph> again = read(text);
  if (!again || to_json(*again) != text) __builtin_trap();
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
    (void)to_dot(*dag);
  }

  const ReadResult<Cpdag> cpdag = cpdag_from_json(text);
  check_message(cpdag);
  if (cpdag) {
    check_round_trip(*cpdag, &cpdag_from_json);
    if (Result<Dag> ext = consistent_extension(*cpdag); ext && !ext->validate()) __builtin_trap();
  }
  return 0;
}
