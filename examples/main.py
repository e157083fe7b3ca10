"""Generates the equivalent-circuit classes of a small gate set and prints what was found."""
import sys
import time

from brimsel import ECCs, Evaluator, Gate, RawECCs


def main(nqubits=3, gate_names=("h", "t", "cx"), max_size=3):
    gates = [Gate.from_name(n) for n in gate_names]
    evaluator = Evaluator(nqubits)
    start = time.perf_counter()
    raw, (popped, evaluated, offered) = RawECCs.generate(evaluator, gates, max_size)
    elapsed = time.perf_counter() - start
    eccs = raw.simplify()
    multi = eccs.filter_single()
    members = sum(len(e.circuits()) for e in eccs.to_list())
    print(f"gates {', '.join(gate_names)} on {nqubits} qubits, up to {max_size} instructions")
    print(f"  {popped} circuits popped, {evaluated} evaluated, {offered} placement pairs offered"
          f" in {elapsed:.2f} s")
    print(f"  {len(eccs)} classes ({len(multi)} with two or more circuits), {members} circuits stored")
    failed = eccs.check()
    print(f"  randomized re-check: {len(failed)} classes disagree")
    return 0 if not failed else 1


if __name__ == "__main__":
    sys.exit(main())
