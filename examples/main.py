"""Prints the gate table's built-in gates: index, display text, qubit count and adjoint."""
import brimsel
from brimsel import Gate

BUILTINS = 23


def main():
    gates = []
    for text in ["i", "h", "x", "z", "y", "s", "sdg", "t", "tdg", "cx", "cz", "cy", "cs",
                 "csdg", "swap", "t1/2", "tdg1/2", "rz(pi/3)", "rz(-pi/3)", "rz(pi/5)",
                 "rz(-pi/5)", "rz(pi/16)", "rz(-pi/16)"]:
        gates.append(Gate.from_name(text))
    assert len(gates) == BUILTINS
    print(f"brimsel: {len(brimsel.__all__)} classes registered: {', '.join(brimsel.__all__)}")
    print(f"{'index':>5}  {'gate':<11} {'qubits':>6}  {'adjoint':<11} parameters")
    for i, g in enumerate(gates):
        params = ", ".join(f"{p} = {v:.6f}" for p, v in zip(g.params, g.params_f))
        print(f"{i:>5}  {str(g):<11} {g.nqargs:>6}  {str(g.adjoint()):<11} {params}")


if __name__ == "__main__":
    main()
