"""Causal graphs in and out of morvend: networkx, pgmpy, node-link JSON, DOT.

Every reader returns a `morvend.CausalDAG` with every node of its input,
isolated ones included, and every edge once. Nodes get ids in the input's node
order (then in the order new endpoints appear in the edges), so two readers of
the same graph give equal DAGs. Readers do not look for cycles:
`CausalDAG.validate()` and `ASVExplainer` do.

Labels become names by one rule, `node_name`: a `str` keeps its text, any
other label becomes `str(label)`. Two labels of one graph with the same name
(`1` and `"1"`) are refused with a `ValueError` naming both, never merged.

`latent_projection` keeps what a DAG says about the ancestry of observed
variables once the hidden ones are taken out.

Only the standard library and morvend are imported here; `dag_to_networkx`
imports networkx when it is called.

    dag = dag_from_networkx(g)                      # isolated nodes kept
    observed = latent_projection(dag, ["x", "y"])   # x -> y if x reaches y through hidden nodes only
"""

from __future__ import annotations

import json
import os
import re
from collections.abc import Hashable, Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Protocol

import morvend

if TYPE_CHECKING:
    import networkx

__all__ = [
    "dag_from_dot",
    "dag_from_dot_file",
    "dag_from_networkx",
    "dag_from_node_link",
    "dag_from_pgmpy",
    "dag_to_networkx",
    "latent_projection",
    "node_name",
]


class _GraphLike(Protocol):
    """What the readers use of a networkx or pgmpy graph."""

    def nodes(self) -> Iterable[Hashable]: ...

    def edges(self) -> Iterable[Sequence[Hashable]]: ...


# ---------------------------------------------------------------------------
# Labels


def node_name(label: Hashable) -> str:
    """The name in morvend of a graph's node label.

    Answers: under which name will this node appear in the `CausalDAG`, in
    `nodes()`, `edges()` and the coalitions a value function receives?

    A `str` (or an instance of a `str` subclass, such as a `StrEnum` member)
    keeps its text; any other label becomes `str(label)`: `3` is `"3"`,
    `("a", 1)` is `"('a', 1)"`. The readers refuse a graph in which two
    different labels get the same name. To map names back to your labels,
    build `{node_name(x): x for x in g.nodes}`.
    """
    if isinstance(label, str):
        return str.__str__(label)
    return str(label)


class _Namer:
    """`node_name` for the labels of one graph, refusing two labels with one name."""

    def __init__(self) -> None:
        self._names: dict[Hashable, str] = {}
        self._labels: dict[str, Hashable] = {}

    def __call__(self, label: Hashable) -> str:
        name = self._names.get(label)
        if name is None:
            name = node_name(label)
            # Reached only for a label not seen yet, so an owner of the same
            # name is a different label.
            if name in self._labels:
                raise ValueError(
                    f"node labels {self._labels[name]!r} and {label!r} both have the name {name!r}; "
                    "relabel one of them first (for example with networkx.relabel_nodes)"
                )
            self._labels[name] = label
            self._names[label] = name
        return name


def _build(nodes: Iterable[str], edges: Iterable[tuple[str, str]]) -> morvend.CausalDAG:
    """A CausalDAG with exactly these nodes (isolated ones kept) and edges, each edge once.

    Goes through `CausalDAG.from_json`, the one constructor that keeps isolated
    nodes. REQUIRES: no self-loops (callers report them with their own context).
    """
    seen: set[tuple[str, str]] = set()
    edge_docs: list[dict[str, str]] = []
    for edge in edges:
        if edge not in seen:
            seen.add(edge)
            edge_docs.append({"from": edge[0], "to": edge[1]})
    node_list = list(nodes)
    text = json.dumps({"nodes": node_list, "edges": edge_docs}, ensure_ascii=False)
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        ends = (name for e in edge_docs for name in e.values())
        bad = next(name for name in [*node_list, *ends] if not _encodes(name))
        raise ValueError(f"node name {bad!r} is not valid Unicode text (it holds a lone surrogate)") from None
    return morvend.CausalDAG.from_json(text)


def _encodes(name: str) -> bool:
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _no_self_loop(a: str, b: str, where: str = "") -> None:
    if a == b:
        raise ValueError(f"{where}self-loop on node {a!r}: a causal DAG has none")


# ---------------------------------------------------------------------------
# networkx and pgmpy


def dag_from_networkx(g: _GraphLike) -> morvend.CausalDAG:
    """A CausalDAG with every node and edge of a networkx directed graph.

    Answers: how do I explain over a graph I hold in networkx without losing
    its isolated nodes? (`CausalDAG.from_networkx` reads the edges only, so a
    variable with no edge disappears and gets no attribution.)

    `g` is a `networkx.DiGraph` or `MultiDiGraph`, or any object with
    `nodes()` and `edges()` methods like theirs (pgmpy's models are
    DiGraphs). Node ids follow `g.nodes()`, edges `g.edges()`; parallel edges
    of a multigraph count once. Labels become names by `node_name`: `1` is
    `"1"`, and a graph holding both `1` and `"1"` is refused with a
    `ValueError`. An undirected graph or a self-loop raises `ValueError`;
    cycles are left to `validate()`.
    """
    is_directed = getattr(g, "is_directed", None)
    if callable(is_directed) and not is_directed():
        raise ValueError(
            "an undirected graph has no causal directions: give a directed graph "
            "(networkx.DiGraph) whose edges point from cause to effect"
        )
    namer = _Namer()
    nodes = [namer(label) for label in g.nodes()]
    edges: list[tuple[str, str]] = []
    for edge in g.edges():
        # A MultiDiGraph's edges may carry a key (and data) after the endpoints.
        a, b = namer(edge[0]), namer(edge[1])
        _no_self_loop(a, b)
        edges.append((a, b))
    return _build(nodes, edges)


def dag_from_pgmpy(model: _GraphLike) -> morvend.CausalDAG:
    """A CausalDAG with every node and edge of a pgmpy model.

    Answers: how do I explain over a Bayesian network from pgmpy, for example
    `pgmpy.utils.get_example_model("asia")`, with all its variables?

    Takes any pgmpy graph with directed edges only (`DAG`,
    `DiscreteBayesianNetwork`, `LinearGaussianBayesianNetwork`, ...): nodes
    in `model.nodes()` order, isolated ones included, labels named by
    `node_name`. A `PDAG` with undirected edges is refused (build a
    `morvend.CausalCPDAG` from its `directed_edges` and `undirected_edges`).
    Variables pgmpy marks hidden (`model.latents`) are kept; take them out
    with `latent_projection(dag, [x for x in dag.nodes() if x not in
    model.latents])` when the explanation should cover the observed ones only.
    pgmpy itself is not imported.
    """
    undirected = getattr(model, "undirected_edges", None)
    if undirected:
        raise ValueError(
            f"the pgmpy graph is a PDAG with {len(undirected)} undirected edge{'s' if len(undirected) != 1 else ''}, "
            "which a CausalDAG cannot hold: "
            "build a morvend.CausalCPDAG from its directed_edges and undirected_edges, or orient them first"
        )
    return dag_from_networkx(model)


def dag_to_networkx(dag: morvend.CausalDAG) -> networkx.DiGraph[str]:
    """A networkx DiGraph with every node and edge of `dag`.

    Answers: how do I hand a morvend graph to networkx (drawing, other
    algorithms) with its isolated nodes? Nodes are added in `dag.nodes()`
    order, edges in `dag.edges()` order, labels are the names. Needs networkx
    (`pip install 'morvend[graphs]'`).
    """
    try:
        import networkx
    except ImportError as exc:
        raise ImportError(
            "dag_to_networkx needs networkx: pip install 'morvend[graphs]' (or pip install networkx)"
        ) from exc
    g: networkx.DiGraph[str] = networkx.DiGraph()
    g.add_nodes_from(dag.nodes())
    g.add_edges_from(dag.edges())
    return g


# ---------------------------------------------------------------------------
# node-link JSON

_NODE_LINK_SCHEMA = (
    "expected node-link JSON as networkx.node_link_data writes it: an object with "
    '"nodes", a list of objects each with an "id", and "edges" (or the older "links"), '
    'a list of objects each with a "source" and a "target"'
)


def _schema_error(what: str) -> ValueError:
    return ValueError(f"{what}; {_NODE_LINK_SCHEMA}")


def _json_label(value: object, where: str) -> Hashable:
    """A JSON value as the label networkx.node_link_graph would give it (lists become tuples)."""
    if isinstance(value, list):
        return tuple(_json_label(item, where) for item in value)
    if isinstance(value, dict):
        raise _schema_error(f"{where} is an object, which cannot be a node label")
    if not isinstance(value, Hashable):
        raise _schema_error(f"{where} is not hashable")
    return value


def dag_from_node_link(data: str | bytes | Mapping[str, Any]) -> morvend.CausalDAG:
    """A CausalDAG from networkx's node-link JSON, as text or parsed.

    Answers: how do I read a graph saved with
    `json.dump(networkx.node_link_data(g), f)`, isolated nodes included?

    `data` is the JSON text (`str` or `bytes`) or the parsed object: a
    "nodes" list of objects with an "id", and an "edges" list (networkx 3.4
    and later with `edges="edges"`, the default from 3.6) or a "links" list
    (older networkx) of objects with "source" and "target". Other members
    ("graph", node and edge attributes, multigraph "key") are ignored;
    parallel edges count once; an endpoint missing from "nodes" is added
    after them, as networkx does. Ids become labels as networkx reads them
    (JSON arrays are tuples), then names by `node_name`: `1` is `"1"`,
    `[1, 2]` is `"(1, 2)"`, the names `dag_from_networkx` gives the graph
    that was written. `"directed": false`, malformed JSON, or members of the
    wrong shape raise `ValueError` naming the schema expected.
    """
    doc: object = data
    if isinstance(data, (str, bytes, bytearray)):
        try:
            doc = json.loads(data)
        except json.JSONDecodeError as exc:
            raise _schema_error(f"malformed JSON ({exc})") from None
    if not isinstance(doc, Mapping):
        raise _schema_error(f"the document is a JSON {type(doc).__name__}, not an object")
    if doc.get("directed", True) is False:
        raise ValueError(
            'node-link JSON of an undirected graph ("directed": false) has no causal directions: '
            "write a networkx.DiGraph whose edges point from cause to effect"
        )
    if "edges" in doc and "links" in doc:
        raise _schema_error('the document has both "edges" and "links"')
    edge_key = "links" if "links" in doc else "edges"
    raw_nodes, raw_edges = doc.get("nodes"), doc.get(edge_key)
    if not isinstance(raw_nodes, list):
        raise _schema_error('"nodes" is missing' if raw_nodes is None else '"nodes" is not a list')
    if not isinstance(raw_edges, list):
        raise _schema_error(f'"{edge_key}" is missing' if raw_edges is None else f'"{edge_key}" is not a list')

    namer = _Namer()
    nodes: list[str] = []
    for i, entry in enumerate(raw_nodes):
        if not isinstance(entry, Mapping) or "id" not in entry:
            raise _schema_error(f'nodes[{i}] is not an object with an "id"')
        nodes.append(namer(_json_label(entry["id"], f'nodes[{i}]["id"]')))
    edges: list[tuple[str, str]] = []
    for i, entry in enumerate(raw_edges):
        if not isinstance(entry, Mapping) or "source" not in entry or "target" not in entry:
            raise _schema_error(f'{edge_key}[{i}] is not an object with a "source" and a "target"')
        a = namer(_json_label(entry["source"], f'{edge_key}[{i}]["source"]'))
        b = namer(_json_label(entry["target"], f'{edge_key}[{i}]["target"]'))
        _no_self_loop(a, b, f"{edge_key}[{i}]: ")
        edges.append((a, b))
    return _build(nodes, edges)


# ---------------------------------------------------------------------------
# DOT

# What lies between tokens (blanks, comments, and lines whose first non-blank
# character is '#': C preprocessor output, which Graphviz skips too), then one
# token: one match a token keeps long files quick. Where no token follows the
# skipped text, _dot_tokens says why.
# Possessive repeats: a failed match must not retry every split of a long
# blank run (exponential backtracking).
_DOT_SKIP = r"""(?:(?<![^\n])[ \t]*+\#[^\n]*+|[ \t\r\f\v]++|\n|//[^\n]*+|/\*.*?\*/)*+"""
_DOT_SKIP_RE = re.compile(_DOT_SKIP, re.DOTALL)
_DOT_TOKEN = re.compile(
    _DOT_SKIP
    + r"""(?:
      (?P<quoted>"(?:[^"\\]|\\.)*")
    | (?P<arrow>->)
    | (?P<undirected>--)
    | (?P<numeral>-?(?:\.[0-9]+|[0-9]+(?:\.[0-9]*)?))
    | (?P<word>[A-Za-z_\u0080-\U0010ffff][A-Za-z_0-9\u0080-\U0010ffff]*)
    | (?P<punct>[{}\[\];,:=+])
    )""",
    re.VERBOSE | re.DOTALL,
)
_DOT_KEYWORDS = frozenset({"node", "edge", "graph", "digraph", "subgraph", "strict"})
# Inside double quotes: \" is a quote, \\ a backslash (as CausalDAG.to_dot
# writes them), a backslash before a line break joins the lines; any other
# backslash stays, as Graphviz keeps it.
_DOT_ESCAPE = re.compile(r'\\(\r?\n|"|\\)')


class _Token:
    __slots__ = ("kind", "text", "line")

    def __init__(self, kind: str, text: str, line: int) -> None:
        self.kind = kind  # "id", a keyword, or the punctuation itself ("->", "{", ...)
        self.text = text
        self.line = line


def _dot_tokens(text: str, where: str) -> list[_Token]:
    tokens: list[_Token] = []
    line, pos, end = 1, 0, len(text)
    while True:
        m = _DOT_TOKEN.match(text, pos)
        if m is None:
            # No token after the skipped text: the end, an HTML string, or an error.
            skip_end = _DOT_SKIP_RE.match(text, pos).end()  # type: ignore[union-attr]  # matches ""
            line += text.count("\n", pos, skip_end)
            pos = skip_end
            if pos == end:
                break
            if text[pos] == "<":
                pos, line = _html_id(text, pos, line, where, tokens)
                continue
            if text.startswith('"', pos):
                raise ValueError(f"{where}, line {line}: unterminated quoted string")
            if text.startswith("/*", pos):
                raise ValueError(f"{where}, line {line}: unterminated comment (a '/*' without its '*/')")
            raise ValueError(f"{where}, line {line}: unexpected character {text[pos]!r}")
        kind = m.lastgroup
        start = m.start(kind)  # type: ignore[arg-type]  # a token group always matched
        line += text.count("\n", pos, start)
        value = text[start : m.end()]
        if kind == "quoted":
            unquoted = value[1:-1]
            if "\\" in unquoted:
                unquoted = _DOT_ESCAPE.sub(lambda e: "" if e.group(1).endswith("\n") else e.group(1), unquoted)
            previous = tokens[-2] if len(tokens) >= 2 and tokens[-1].kind == "+" else None
            if previous is not None and previous.kind == "id":
                # "a" + "b" is one ID, "ab".
                tokens.pop()
                previous.text += unquoted
            else:
                tokens.append(_Token("id", unquoted, line))
            line += value.count("\n")
        elif kind == "word":
            keyword = value.lower()
            tokens.append(_Token(keyword if keyword in _DOT_KEYWORDS else "id", value, line))
        elif kind == "numeral":
            tokens.append(_Token("id", value, line))
        else:
            tokens.append(_Token(value, value, line))
        pos = m.end()
    tokens.append(_Token("end", "", line))
    return tokens


def _html_id(text: str, pos: int, line: int, where: str, tokens: list[_Token]) -> tuple[int, int]:
    """Reads the HTML string at text[pos] ('<...>', angle brackets nested) into tokens."""
    depth, stop, end = 0, pos, len(text)
    while stop < end:
        depth += {"<": 1, ">": -1}.get(text[stop], 0)
        stop += 1
        if depth == 0:
            break
    if depth:
        raise ValueError(f"{where}, line {line}: unterminated HTML string (a '<' without its '>')")
    tokens.append(_Token("id", text[pos + 1 : stop - 1], line))
    return stop, line + text.count("\n", pos, stop)


class _Frame:
    """The statement list of the graph or of one subgraph being read."""

    __slots__ = ("members", "tails", "line")

    def __init__(self, line: int) -> None:
        self.members: dict[str, None] = {}  # its nodes, in order: the subgraph as an edge end
        self.tails: list[str] | None = None  # the nodes before a pending '->'
        self.line = line


def _parse_dot(text: str, where: str) -> morvend.CausalDAG:
    tokens = _dot_tokens(text, where)
    i = 0

    def fail(token: _Token, what: str) -> ValueError:
        return ValueError(f"{where}, line {token.line}: {what}")

    def shown(token: _Token) -> str:
        return "the end of the text" if token.kind == "end" else repr(token.text)

    def skip_attributes(i: int) -> int:
        # [a=b, c=d; e=f][...]: attributes say nothing about causal structure.
        while tokens[i].kind == "[":
            i += 1
            while tokens[i].kind != "]":
                if tokens[i].kind not in ("id", "=", ",", ";"):
                    raise fail(tokens[i], f"unexpected {shown(tokens[i])} in an attribute list")
                i += 1
            i += 1
        return i

    if tokens[i].kind == "strict":
        i += 1
    if tokens[i].kind == "graph":
        raise fail(
            tokens[i],
            "an undirected graph ('graph { ... }') has no causal directions: write a 'digraph' with '->' edges",
        )
    if tokens[i].kind != "digraph":
        raise fail(tokens[i], f"expected 'digraph', found {shown(tokens[i])}")
    i += 1
    if tokens[i].kind == "id":
        i += 1
    if tokens[i].kind != "{":
        raise fail(tokens[i], f"expected '{{' to open the graph, found {shown(tokens[i])}")
    stack = [_Frame(tokens[i].line)]
    i += 1

    nodes: dict[str, None] = {}
    edges: list[tuple[str, str]] = []
    # An explicit stack of open subgraphs, never recursion: nesting depth is
    # the input's to choose.
    while stack:
        frame = stack[-1]
        token = tokens[i]
        operand: Iterable[str]
        if token.kind in (";", ","):
            i += 1
            continue
        if token.kind == "}":
            i += 1
            stack.pop()
            if not stack:
                break
            # A closed subgraph is one end of an edge (or a statement of its own).
            operand = frame.members
            frame = stack[-1]
        elif token.kind in ("{", "subgraph"):
            if token.kind == "subgraph":
                i += 1
                if tokens[i].kind == "id":
                    i += 1
                if tokens[i].kind != "{":
                    raise fail(tokens[i], f"expected '{{' to open the subgraph, found {shown(tokens[i])}")
            stack.append(_Frame(tokens[i].line))
            i += 1
            continue
        elif token.kind in ("graph", "node", "edge"):
            i += 1
            if tokens[i].kind != "[":
                raise fail(tokens[i], f"expected '[' after '{token.kind}', found {shown(tokens[i])}")
            i = skip_attributes(i)
            continue
        elif token.kind == "id":
            i += 1
            if tokens[i].kind == "=" and frame.tails is None:
                # ID = ID, a graph attribute.
                if tokens[i + 1].kind != "id":
                    raise fail(tokens[i + 1], f"expected a value after '=', found {shown(tokens[i + 1])}")
                i += 2
                continue
            # A port (a:p or a:p:n) names a place on the node, not another node.
            for _ in range(2):
                if tokens[i].kind == ":" and tokens[i + 1].kind == "id":
                    i += 2
            operand = (token.text,)
        elif token.kind == "end":
            raise fail(token, f"the graph is not closed: '}}' expected for the '{{' of line {stack[0].line}")
        else:
            raise fail(token, f"unexpected {shown(token)}")

        # One end of an edge statement (or a node statement) has been read.
        for name in operand:
            nodes.setdefault(name)
            frame.members.setdefault(name)
        if frame.tails is not None:
            for head in operand:
                for tail in frame.tails:
                    if tail == head:
                        raise fail(tokens[i - 1], f"self-loop on node {head!r}: a causal DAG has none")
                    edges.append((tail, head))
        nxt = tokens[i]
        if nxt.kind == "--":
            raise fail(nxt, "'--' is an undirected edge; a digraph's edges are written '->'")
        if nxt.kind == "->":
            frame.tails = list(operand)
            i += 1
            if tokens[i].kind not in ("id", "{", "subgraph"):
                raise fail(tokens[i], f"expected a node or subgraph after '->', found {shown(tokens[i])}")
            continue
        frame.tails = None
        i = skip_attributes(i)

    if tokens[i].kind != "end":
        raise fail(tokens[i], f"unexpected {shown(tokens[i])} after the end of the graph")
    return _build(nodes, edges)


def dag_from_dot(text: str) -> morvend.CausalDAG:
    """A CausalDAG from Graphviz DOT text.

    Answers: how do I read a causal graph drawn or saved as a DOT `digraph`
    (by hand, by `networkx.nx_pydot.write_dot`, by Graphviz, by
    `CausalDAG.to_dot()`)?

    Reads `[strict] digraph [name] { ... }`: node statements (`a;`, which
    keep isolated nodes), edge statements with `->`, chains included
    (`a -> b -> c` is a -> b and b -> c), subgraphs and clusters (their nodes
    and edges belong to the graph; `a -> {b c}` is a -> b and a -> c),
    unquoted, numeral, double-quoted and HTML IDs, `"a" + "b"`, ports
    (`a:p` is a), `//` and `/* */` comments and lines that start with `#`
    (preprocessor output, which Graphviz skips too). Attributes are
    ignored, however they style an edge. Names are the IDs' text: `a` and
    `"a"` are one node, `1` and `1.0` two; inside quotes `\\"` is a quote and
    `\\\\` a backslash, as `to_dot()` writes them. Nodes are numbered in
    order of first appearance; an edge written twice counts once.

    Anything else raises `ValueError` with the line number: an undirected
    `graph`, a `--` edge, a self-loop, unterminated strings or comments,
    unbalanced braces, text after the graph.
    """
    return _parse_dot(text, "DOT")


def dag_from_dot_file(path: str | os.PathLike[str]) -> morvend.CausalDAG:
    """A CausalDAG from a Graphviz DOT file (UTF-8), read as `dag_from_dot` reads text.

    Answers: how do I read a `.dot` or `.gv` file? Errors name the file and
    the line.
    """
    with open(path, encoding="utf-8") as f:
        text = f.read()
    return _parse_dot(text, os.fspath(path))


# ---------------------------------------------------------------------------
# Latent projection


def latent_projection(dag: morvend.CausalDAG, observed: Iterable[str]) -> morvend.CausalDAG:
    """The DAG over `observed` that keeps the causal order through hidden variables.

    Answers: which observed variables precede which once the hidden ones are
    gone? There is an edge a -> b between observed a and b whenever `dag` has
    a directed path from a to b whose intermediate nodes are all hidden (not
    in `observed`); a direct edge is such a path. This is the directed part
    of the latent projection: a hidden common cause of two observed variables
    leaves no edge, since an ordering of the observed variables cannot show
    it.

    `induced_subgraph(observed)` keeps only the edges among the observed
    variables, so a -> h -> b with h hidden loses the fact that a comes
    before b; ASV, which averages over the orderings the DAG allows, then
    lets b precede a. Here a -> b stays. Ancestry among the observed
    variables is the same as in `dag`.

    Nodes keep `dag`'s order; each node's edges list its observed children
    first, then what it reaches through hidden nodes, breadth first. A name
    not in `dag` raises `ValueError` ("unknown node: ..."); a cycle through
    hidden nodes back to an observed one raises `ValueError`. One search per
    observed node through hidden nodes only, without recursion: the cost is
    the hidden region each observed node reaches.
    """
    if isinstance(observed, (str, bytes)):
        raise TypeError("observed must be an iterable of node names, not a single string")
    names = dag.nodes()
    index = {name: i for i, name in enumerate(names)}
    n = len(names)
    keep = [False] * n
    for name in observed:
        i = index.get(name, -1)
        if i < 0:
            raise ValueError(f"unknown node: {name}")
        keep[i] = True
    children: list[list[int]] = [[] for _ in range(n)]
    for tail, head_name in dag.edges():
        children[index[tail]].append(index[head_name])

    # visited[v] == a: v was reached in the search from a, so no array is
    # cleared between searches.
    visited = [-1] * n
    edges: list[tuple[str, str]] = []
    for a in range(n):
        if not keep[a]:
            continue
        visited[a] = a
        queue = [a]
        head = 0
        while head < len(queue):
            for c in children[queue[head]]:
                if c == a:
                    # No edge leads from a to a, so this is a path through hidden nodes.
                    raise ValueError(f"cycle detected in graph: {names[a]!r} reaches itself through hidden nodes")
                if visited[c] == a:
                    continue
                visited[c] = a
                if keep[c]:
                    edges.append((names[a], names[c]))
                else:
                    queue.append(c)
            head += 1
    return _build((names[i] for i in range(n) if keep[i]), edges)
