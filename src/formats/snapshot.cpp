#include "formats/snapshot.hpp"

#include <cstdint>
#include <optional>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "graph/interrupt_meter.hpp"

namespace morvend {
namespace {

constexpr std::string_view kMagic = "MVG";
constexpr char kDagKind = 'D';
constexpr char kCpdagKind = 'C';

using EdgeList = std::vector<std::pair<NodeId, NodeId>>;

std::uint64_t pair_key(NodeId a, NodeId b) { return (std::uint64_t{a} << 32) | b; }

// insertion_order: an order of the edges in which adding them one by one
// rebuilds every list of `lists` (each a sequence of edge ids) in its order.
// The graph's own insertion order is one, so one exists; Kahn's algorithm
// over "comes right after in some list" finds it in O(edges).
std::vector<std::size_t> insertion_order(std::size_t n_edges,
                                         const std::vector<std::vector<std::size_t>>& lists) {
  std::vector<std::uint8_t> waiting(n_edges, 0);
  std::vector<std::vector<std::size_t>> after(n_edges);
  for (const auto& list : lists) {
    for (std::size_t k = 1; k < list.size(); ++k) {
      after[list[k - 1]].push_back(list[k]);
      ++waiting[list[k]];
    }
  }
  std::vector<std::size_t> order, ready;
  order.reserve(n_edges);
  for (std::size_t e = n_edges; e-- > 0;) {
    if (waiting[e] == 0) ready.push_back(e);
  }
  while (!ready.empty()) {
    const std::size_t e = ready.back();
    ready.pop_back();
    order.push_back(e);
    for (std::size_t f : after[e]) {
      if (--waiting[f] == 0) ready.push_back(f);
    }
  }
  if (order.size() != n_edges) throw InternalFault("snapshot: adjacency lists admit no order");
  return order;
}

// directed_order: the edges of out-lists `children` in an order that rebuilds
// both them and the in-lists `parents`.
template <class Children, class Parents>
EdgeList directed_order(std::size_t n, Children children, Parents parents) {
  EdgeList edges;
  boost::unordered_flat_map<std::uint64_t, std::size_t> id;
  std::vector<std::vector<std::size_t>> lists(2 * n);
  for (NodeId u = 0; u < n; ++u) {
    for (NodeId c : children(u)) {
      id.emplace(pair_key(u, c), edges.size());
      lists[u].push_back(edges.size());
      edges.emplace_back(u, c);
    }
  }
  for (NodeId v = 0; v < n; ++v) {
    for (NodeId p : parents(v)) lists[n + v].push_back(id.at(pair_key(p, v)));
  }
  EdgeList out;
  out.reserve(edges.size());
  for (std::size_t e : insertion_order(edges.size(), lists)) out.push_back(edges[e]);
  return out;
}

// undirected_order: each edge once, lower id first, in an order that
// rebuilds every neighbour list.
EdgeList undirected_order(const Cpdag& g) {
  const std::size_t n = g.n_nodes();
  EdgeList edges;
  boost::unordered_flat_map<std::uint64_t, std::size_t> id;
  for (NodeId a = 0; a < n; ++a) {
    for (NodeId b : g.undirected_neighbours(a)) {
      if (a < b) {
        id.emplace(pair_key(a, b), edges.size());
        edges.emplace_back(a, b);
      }
    }
  }
  std::vector<std::vector<std::size_t>> lists(n);
  for (NodeId a = 0; a < n; ++a) {
    for (NodeId b : g.undirected_neighbours(a)) {
      lists[a].push_back(id.at(a < b ? pair_key(a, b) : pair_key(b, a)));
    }
  }
  EdgeList out;
  out.reserve(edges.size());
  for (std::size_t e : insertion_order(edges.size(), lists)) out.push_back(edges[e]);
  return out;
}

void put_varint(std::string& out, std::uint64_t x) {
  while (x >= 0x80) {
    out.push_back(static_cast<char>((x & 0x7f) | 0x80));
    x >>= 7;
  }
  out.push_back(static_cast<char>(x));
}

std::string header(char kind, const std::vector<std::string>& names) {
  std::string out(kMagic);
  out.push_back(static_cast<char>(kSnapshotVersion));
  out.push_back(kind);
  put_varint(out, names.size());
  for (const std::string& name : names) {
    put_varint(out, name.size());
    out += name;
  }
  return out;
}

void put_edges(std::string& out, const EdgeList& edges) {
  put_varint(out, edges.size());
  for (const auto& [a, b] : edges) {
    put_varint(out, a);
    put_varint(out, b);
  }
}

// valid_utf8: well-formed UTF-8, no surrogates, no overlong forms.
bool valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len;
    std::uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xe0) == 0xc0) {
      len = 2, cp = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
      len = 3, cp = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
      len = 4, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3f);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kSmallest[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    i += len;
  }
  return true;
}

// Reader: the bytes left, read front to back.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : rest_(bytes) {}

  bool at_end() const { return rest_.empty(); }
  std::size_t left() const { return rest_.size(); }
  std::optional<std::uint64_t> varint() {
    std::uint64_t x = 0;
    for (unsigned shift = 0; shift < 64 && !rest_.empty(); shift += 7) {
      const auto byte = static_cast<unsigned char>(rest_.front());
      rest_.remove_prefix(1);
      if (shift == 63 && byte > 1) return std::nullopt;  // past 64 bits
      x |= std::uint64_t{byte & 0x7fu} << shift;
      if ((byte & 0x80) == 0) return x;
    }
    return std::nullopt;
  }
  std::optional<std::string_view> bytes(std::uint64_t n) {
    if (n > rest_.size()) return std::nullopt;
    std::string_view out = rest_.substr(0, n);
    rest_.remove_prefix(n);
    return out;
  }

 private:
  std::string_view rest_;
};

std::unexpected<std::string> invalid(std::string_view why) {
  return std::unexpected("invalid graph snapshot: " + std::string(why));
}

// read_header: checks the magic, version and kind, then adds the names to `g`
// (a Dag or a Cpdag) with ids in order.
template <class Graph>
ReadResult<void> read_header(Reader& in, char kind, Graph& g, InterruptMeter& meter) {
  const std::optional<std::string_view> magic = in.bytes(kMagic.size());
  if (!magic || *magic != kMagic) return invalid("not a morvend graph");
  const std::optional<std::string_view> version = in.bytes(1);
  if (!version) return invalid("truncated");
  if (static_cast<unsigned char>((*version)[0]) != kSnapshotVersion) {
    return invalid("version " + std::to_string(static_cast<unsigned char>((*version)[0])) +
                   " is not supported (this build reads version " +
                   std::to_string(kSnapshotVersion) + ")");
  }
  const std::optional<std::string_view> found = in.bytes(1);
  if (!found) return invalid("truncated");
  if ((*found)[0] != kind)
    return invalid(kind == kDagKind ? "not a CausalDAG" : "not a CausalCPDAG");
  const std::optional<std::uint64_t> n = in.varint();
  // Every name takes at least its length byte.
  if (!n || *n > in.left()) return invalid("truncated");
  for (std::uint64_t i = 0; i < *n; ++i) {
    if (!meter.spend(1)) return std::unexpected(AsvError::interrupted().message());
    const std::optional<std::uint64_t> length = in.varint();
    const std::optional<std::string_view> name = length ? in.bytes(*length) : std::nullopt;
    if (!name) return invalid("truncated");
    if (!valid_utf8(*name)) return invalid("a node name is not UTF-8");
    if (g.add_node(*name) != i) return invalid("a node name is repeated");
  }
  return {};
}

// read_edges: a count and that many pairs, each handed to add(a, b).
template <class Add>
ReadResult<void> read_edges(Reader& in, InterruptMeter& meter, Add add) {
  const std::optional<std::uint64_t> m = in.varint();
  // Every edge takes at least two bytes.
  if (!m || *m > in.left() / 2) return invalid("truncated");
  for (std::uint64_t k = 0; k < *m; ++k) {
    if (!meter.spend(1)) return std::unexpected(AsvError::interrupted().message());
    const std::optional<std::uint64_t> a = in.varint();
    const std::optional<std::uint64_t> b = a ? in.varint() : std::nullopt;
    if (!b) return invalid("truncated");
    if (*a > UINT32_MAX || *b > UINT32_MAX) return invalid("a node id is out of range");
    if (Result<void> r = add(static_cast<NodeId>(*a), static_cast<NodeId>(*b)); !r) {
      return invalid(r.error().message());
    }
  }
  return {};
}

}  // namespace

std::string dag_snapshot(const Dag& g) {
  std::string out = header(kDagKind, g.names());
  put_edges(out, directed_order(
                     g.n_nodes(), [&](NodeId v) { return g.children(v); },
                     [&](NodeId v) { return g.parents(v); }));
  return out;
}

std::string cpdag_snapshot(const Cpdag& g) {
  std::string out = header(kCpdagKind, g.names());
  put_edges(out, directed_order(
                     g.n_nodes(), [&](NodeId v) { return g.directed_children(v); },
                     [&](NodeId v) { return g.directed_parents(v); }));
  put_edges(out, undirected_order(g));
  return out;
}

ReadResult<Dag> dag_from_snapshot(std::string_view bytes) {
  Reader in(bytes);
  InterruptMeter meter;
  Dag g;
  if (ReadResult<void> r = read_header(in, kDagKind, g, meter); !r)
    return std::unexpected(r.error());
  ReadResult<void> edges =
      read_edges(in, meter, [&](NodeId a, NodeId b) { return g.add_edge(a, b); });
  if (!edges) return std::unexpected(edges.error());
  if (!in.at_end()) return invalid("trailing bytes");
  return g;
}

ReadResult<Cpdag> cpdag_from_snapshot(std::string_view bytes) {
  Reader in(bytes);
  InterruptMeter meter;
  Cpdag g;
  if (ReadResult<void> r = read_header(in, kCpdagKind, g, meter); !r) {
    return std::unexpected(r.error());
  }
  ReadResult<void> directed =
      read_edges(in, meter, [&](NodeId a, NodeId b) { return g.add_directed_edge(a, b); });
  if (!directed) return std::unexpected(directed.error());
  ReadResult<void> undirected =
      read_edges(in, meter, [&](NodeId a, NodeId b) { return g.add_undirected_edge(a, b); });
  if (!undirected) return std::unexpected(undirected.error());
  if (!in.at_end()) return invalid("trailing bytes");
  return g;
}

}  // namespace morvend
