"""Both main jobs end to end.

1. Generates the equivalent-circuit classes of a small gate set, checks them, draws identity
   circuits from them, exports them as Quartz JSON and stores them as a postcard file.
2. Builds an identity prover from the classes, proves an identity that the prover did not
   assume, exports and prints its proof, stores the prover and loads it back, and checks that
   the loaded prover has the same assumptions and gives the same answer.

Files go to the output folder when one is given, else to a temporary folder that is removed.
Bad arguments are refused, with the usage, before anything runs or is written.
"""
import argparse
import json
import os
import sys
import tempfile
import time

from brimsel import ECCs, Evaluator, Gate, IdentityProver, RawECCs

# Search bounds of the proof: rewrites may grow an identity by this many instructions, and a
# search gives up after this many identities.
ADDITIONAL_SIZE = 2
COUNT_LIMIT = 20000
# The evaluator of the search handles 1 to this many qubits.
MAX_QUBITS = 5
# Display texts of the built-in gates; only those that Gate.from_name resolves are offered.
BUILT_IN_GATES = ("i", "h", "x", "z", "y", "s", "sdg", "t", "tdg", "cx", "cz", "cy", "cs", "csdg",
                  "swap", "t1/2", "tdg1/2", "rz(pi/3)", "rz(-pi/3)", "rz(pi/5)", "rz(-pi/5)",
                  "rz(pi/16)", "rz(-pi/16)")


def generate(gates, nqubits, max_size, outdir):
    gate_names = [str(g) for g in gates]
    start = time.perf_counter()
    raw, (popped, evaluated, offered) = RawECCs.generate(Evaluator(nqubits), gates, max_size)
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

    quartz = os.path.join(outdir, "eccs.json")
    stored = os.path.join(outdir, "eccs.postcard")
    eccs.dump_quartz(quartz)
    eccs.dump_postcard(stored)
    with open(quartz) as f:
        variants = len(json.load(f)[1])
    same = ECCs.from_postcard(stored) == eccs
    print(f"  Quartz JSON: {quartz} ({variants} variants, {os.path.getsize(quartz)} bytes)")
    print(f"  postcard:    {stored} ({os.path.getsize(stored)} bytes), read back "
          f"{'equal' if same else 'DIFFERENT'}")
    return eccs, identities, not failed and same


def prove(eccs, identities, outdir):
    print("identity prover (messages and progress bars on standard error)")
    start = time.perf_counter()
    prover = IdentityProver.build_from_eccs(eccs)
    assumed = prover.get_assumed()
    print(f"  built in {time.perf_counter() - start:.2f} s: {len(assumed)} identities assumed")

    # The first drawn identity, longest first, that the prover derives without assuming it.
    known = set(assumed)
    candidates = sorted({ident for ident, _, _ in identities if len(ident) > 0 and ident not in known},
                        reverse=True)
    target = next((c for c in candidates
                   if prover.prove_identity(c, ADDITIONAL_SIZE, COUNT_LIMIT) is None), None)
    proof = None
    if target is None:
        print("  no identity beyond the assumptions is derivable within the limits")
    else:
        print(f"  proving {target} (size allowance {ADDITIONAL_SIZE}, count limit {COUNT_LIMIT}):")
        proof = prover.export_proof(target, ADDITIONAL_SIZE, COUNT_LIMIT)
        print(f"  proof of {repr(proof)} entries:")
        for line in str(proof).splitlines():
            print(f"    {line}")

    path = os.path.join(outdir, "prover.postcard")
    prover.dump_postcard(path)
    print("  stored and loaded the prover; the loaded one proves the same identity:")
    loaded = IdentityProver.from_postcard(path)
    same_assumed = loaded.get_assumed() == assumed
    same_answer = target is None or (
        loaded.prove_identity(target, ADDITIONAL_SIZE, COUNT_LIMIT) is None
        and loaded.export_proof(target, ADDITIONAL_SIZE, COUNT_LIMIT) == proof)
    print(f"  prover file: {path} ({os.path.getsize(path)} bytes), read back with "
          f"{'the same' if same_assumed else 'DIFFERENT'} assumptions and "
          f"{'the same' if same_answer else 'a DIFFERENT'} answer")
    return same_assumed and same_answer


def known_gate_names():
    return [name for name in BUILT_IN_GATES if Gate.from_name(name) is not None]


def check_arguments(parser, args):
    """Refuses bad arguments through the parser (usage and message on stderr, exit status 2)
    before anything runs or is written; returns the gates."""
    if not 1 <= args.qubits <= MAX_QUBITS:
        parser.error(f"argument --qubits: must be 1 to {MAX_QUBITS}, not {args.qubits}")
    if args.size < 0:
        parser.error(f"argument --size: must be at least 0, not {args.size}")
    names = [g.strip() for g in args.gates.split(",") if g.strip()]
    if not names:
        parser.error("argument --gates: expected at least one gate name")
    gates = []
    for name in names:
        gate = Gate.from_name(name)
        if gate is None:
            parser.error(f"argument --gates: unknown gate {name!r}; known gates: "
                         f"{', '.join(known_gate_names())}")
        if gate.nqargs > args.qubits:
            parser.error(f"argument --gates: {name} acts on {gate.nqargs} qubits, "
                         f"more than --qubits {args.qubits}")
        gates.append(gate)
    if args.outdir is not None:
        # The folder itself, or the nearest part of its path that exists, must be a folder.
        wanted = path = os.path.abspath(args.outdir)
        while not os.path.lexists(path):
            path = os.path.dirname(path)
        if path == wanted and not os.path.isdir(path):
            parser.error(f"argument outdir: {args.outdir!r} exists and is not a folder")
        if not os.path.isdir(path):
            parser.error(f"argument outdir: {args.outdir!r} lies under {path!r}, which is not a folder")
    return gates


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("outdir", nargs="?",
                        help="keep the files in this folder (an existing folder, or one to create)")
    parser.add_argument("--gates", default="h,t,cx",
                        help="comma-separated gate names, each acting on at most --qubits qubits "
                             "(default h,t,cx)")
    parser.add_argument("--qubits", type=int, default=3,
                        help=f"qubit count, 1 to {MAX_QUBITS} (default 3)")
    parser.add_argument("--size", type=int, default=3,
                        help="most instructions per circuit, at least 0 (default 3)")
    args = parser.parse_args(argv)
    gates = check_arguments(parser, args)
    # The module writes its progress lines to the process's standard output directly: keep
    # Python's own lines in order with them.
    sys.stdout.reconfigure(line_buffering=True)

    with tempfile.TemporaryDirectory(prefix="brimsel-") as scratch:
        outdir = args.outdir or scratch
        os.makedirs(outdir, exist_ok=True)
        eccs, identities, classes_ok = generate(gates, args.qubits, args.size, outdir)
        prover_ok = prove(eccs, identities, outdir)
        if not args.outdir:
            print("(files removed; give a folder to keep them)")
    return 0 if classes_ok and prover_ok else 1


if __name__ == "__main__":
    sys.exit(main())
