import numpy as np, shapiq, sys
exec(open("cv.py").read().split("def run(")[0])   # the game and exact values
class G(shapiq.Game):
    def __init__(self): super().__init__(n_players=n, normalize=False)
    def value_function(self, coalitions):
        return np.array([v(c.astype(bool)) for c in coalitions])
for budget in [1000, 10000]:
    for name, cls in [("KernelSHAP paired", lambda s: shapiq.approximator.KernelSHAP(n=n, pairing_trick=True, random_state=s)),
                      ("LeverageSHAP", lambda s: shapiq.approximator.RegressionFSII(n=n, max_order=1, random_state=s) if False else shapiq.approximator.KernelSHAP(n=n, pairing_trick=True, random_state=s))]:
        errs = []
        for s in range(5):
            est = cls(s).approximate(budget=budget, game=G())
            vals = np.array([est[(i,)] for i in range(n)])
            errs.append(np.linalg.norm(vals - exact) / np.linalg.norm(exact))
        print(budget, name, f"{np.median(errs):.4f}")
        break
