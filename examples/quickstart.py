"""Build a small causal DAG and look at its structure."""

import morvend

dag = morvend.CausalDAG.from_edges(
    [
        ("age", "education"),
        ("age", "income"),
        ("education", "income"),
        ("income", "credit_score"),
        ("education", "credit_score"),
    ]
)

print("nodes: ", dag.nodes())
print("layers:", dag.topological_layers())
print("ancestors of credit_score:", dag.ancestors("credit_score"))
print()
for key, value in dag.inspect().items():
    print(f"  {key:24} {value}")

# The explainer keeps its own validated copy of the graph.
explainer = morvend.ASVExplainer(dag)
