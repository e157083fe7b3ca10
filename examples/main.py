"""Generates the equivalent-circuit classes of a small gate set, stores and exports them."""
import json
import os
import sys
import tempfile
import time

from brimsel import ECCs, Evaluator, Gate, RawECCs


def main(nqubits=3, gate_names=("h", "t", "cx"), max_size=3, outdir=None):
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
    identities = eccs.to_identity_circuits()
    print(f"  {len(identities)} identity circuits drawn from the classes")

    outdir = outdir or tempfile.mkdtemp(prefix="brimsel-")
    quartz = os.path.join(outdir, "eccs.json")
    stored = os.path.join(outdir, "eccs.postcard")
    eccs.dump_quartz(quartz)
    eccs.dump_postcard(stored)
    with open(quartz) as f:
        variants = len(json.load(f)[1])
    loaded = ECCs.from_postcard(stored)
    same = loaded == eccs
    print(f"  Quartz JSON: {quartz} ({variants} variants, {os.path.getsize(quartz)} bytes)")
    print(f"  postcard:    {stored} ({os.path.getsize(stored)} bytes), read back "
          f"{'equal' if same else 'DIFFERENT'}")
    return 0 if not failed and same else 1


if __name__ == "__main__":
    sys.exit(main(outdir=sys.argv[1] if len(sys.argv) > 1 else None))
