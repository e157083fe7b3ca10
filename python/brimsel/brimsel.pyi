# Type stub of the brimsel extension module: the Python signatures of the classes it registers.
#
# Permutations come back from the module as tuples and are accepted as any sequence of ints, so
# results are typed tuple[int, ...] and parameters Sequence[int]; Instr.qargs is typed bytes
# because that is what the attribute returns.

from typing import Any, ClassVar, Iterator, Optional, Sequence, Union, final, overload

import numpy
import numpy.typing

__all__ = [
    "Argument",
    "Instruction",
    "Gate",
    "Instr",
    "StateVec",
    "ECC",
    "ECCs",
    "RawECCs",
    "Evaluator",
    "Circ",
    "IdentityCirc",
    "IdentityProver",
    "Proof",
]

@final
class Argument:
    """A named register argument (e.g., `q[0]`, `c[2]`) used by high-level instructions."""

    regid: str
    index: int
    def __new__(cls, regid: str, index: int) -> Argument:
        """Creates a register argument like `("q", 0)`."""
    def __hash__(self) -> int: ...
    def __repr__(self) -> str: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __str__(self) -> str: ...

@final
class Instruction:
    """A high-level instruction with gate + explicit quantum/classical register arguments."""

    gate: Gate
    qargs: list[Argument]
    cargs: list[Argument]
    def __new__(
        cls,
        gate: Gate,
        qargs: Sequence[Union[Argument, tuple[str, int]]],
        cargs: Sequence[Union[Argument, tuple[str, int]]] = [],
    ) -> Instruction:
        """Creates a high-level instruction with explicit quantum/classical arguments."""
    def __hash__(self) -> int: ...
    def __repr__(self) -> str: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __str__(self) -> str: ...

@final
class Gate:
    """Parameterized quantum gate definition used by both search and Python APIs."""

    # Registers a gate, or returns the registered one with the same matrix; the matrix is a square
    # complex128 array (or anything numpy.asarray turns into one) whose size is a power of two.
    def __new__(
        cls, name: str, params: Sequence[str], matrix: numpy.typing.ArrayLike
    ) -> Gate: ...
    @property
    def name(self) -> str:
        """Gate name."""
    @property
    def params(self) -> list[str]:
        """Symbolic parameter list."""
    @property
    def params_f(self) -> list[float]:
        """Numeric parameters evaluated with support for `pi` expressions."""
    @property
    def matrix(self) -> numpy.typing.NDArray[numpy.complex128]:
        """Dense unitary matrix."""
    @property
    def nqargs(self) -> int:
        """Number of qubit arguments required by this gate."""
    @staticmethod
    def from_name(name: str) -> Optional[Gate]:
        """Looks up a built-in gate by display name."""
    def adjoint(self) -> Gate:
        """Returns the adjoint (inverse) gate."""
    # The arguments are all qubit indices or all register arguments, never a mix.
    @overload
    def __call__(self, *args: int) -> Instr:
        """Binds arguments and returns either compact `Instr` (integer qargs)
        or high-level `Instruction` (register-style args)."""
    @overload
    def __call__(self, *args: Argument) -> Instruction:
        """Binds arguments and returns either compact `Instr` (integer qargs)
        or high-level `Instruction` (register-style args)."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __str__(self) -> str: ...

@final
class Instr:
    """A compact, index-only quantum instruction used internally by the search/prover."""

    @property
    def gate(self) -> Gate:
        """Underlying gate."""
    @property
    def qargs(self) -> bytes:
        """Qubit arguments as dense integer indices."""
    def __new__(cls, gate: Gate, qargs: Sequence[int]) -> Instr:
        """Creates a compact instruction from a gate and integer qubit arguments."""
    def apply_permutation(self, perm: Sequence[int]) -> Instr:
        """Applies a qubit permutation."""
    def permut(self, perm: Sequence[int]) -> Instr:
        """Alias of `apply_permutation`."""
    def arg_mask(self) -> int:
        """Bitmask of qubits touched by this instruction."""
    def largest_qubit(self) -> int:
        """Largest qubit index touched by this instruction."""
    def pass_mask(self, mask: int) -> Optional[int]:
        """Updates a frontier mask for left-to-right scheduling checks."""
    def disjoint(self, other: Instr) -> bool:
        """Returns `true` when this and `other` touch disjoint qubits."""
    def adjoint(self) -> Instr:
        """Returns the adjoint instruction."""
    def position_of_qubit(self, qubit: int) -> Optional[int]:
        """Returns position of `qubit` in argument list, if present."""
    def __str__(self) -> str: ...
    def __repr__(self) -> str: ...
    def __hash__(self) -> int: ...

@final
class StateVec:
    """Complex state vector used for randomized circuit evaluation."""

    def __new__(cls, re: Sequence[float], im: Sequence[float]) -> StateVec:
        """Creates a state vector from real/imaginary coefficient arrays."""
    def hash_value(self) -> int:
        """Hashes the current normalized state."""
    @staticmethod
    def random(num_qubits: int) -> StateVec:
        """Creates a random normalized state."""
    @staticmethod
    def random_symmetric(num_qubits: int) -> StateVec:
        """Creates a random state tailored for symmetry-aware evaluator use."""
    def nqubits(self) -> int:
        """Returns qubit count."""
    def len(self) -> int:
        """Returns vector length (`2^nqubits`)."""
    def normalize(self) -> None:
        """Normalizes the state vector in place.

        Normalization ensures two conditions:
        1. Amplitude Normalization: The sum of the squares of the absolute values of
           the complex amplitudes is 1 (i.e., `sum(|psi_i|^2) = 1`).
        2. Phase Normalization: The first non-zero element of the state vector
           is made real and positive.

        If the vector is effectively all zeros initially (all amplitudes are very close to zero),
        it is normalized to the |0...0> state (i.e., the first element becomes 1.0 + 0.0i,
        and all other elements become 0.0 + 0.0i).
        If the vector has zero length, this function does nothing."""
    def normalize_arg(self) -> None:
        """Canonicalizes global phase for stable equality/hash comparison."""
    def __getitem__(self, index: int) -> complex:
        """Returns one amplitude as Python `complex`."""
    def __iter__(self) -> Iterator[complex]: ...
    def __setitem__(self, index: int, value: complex) -> None:
        """Sets one amplitude from Python `complex`."""
    # `state *= instr` changes the state in place and leaves the same object bound.
    def __imul__(self, other: Instr) -> StateVec:
        """In-place application of one instruction."""
    def clone(self) -> StateVec:
        """Returns a deep copy."""
    def check(self) -> bool:
        """Checks unit-norm invariant."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __str__(self) -> str: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class ECC:
    """One equivalence class of circuits."""

    def circuits(self) -> list[list[Instr]]:
        """Returns all circuits in this class with swap instructions materialized."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __str__(self) -> str: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class ECCs:
    """Collection of equivalence classes for a fixed number of qubits."""

    @property
    def nqubits(self) -> int: ...
    def dump_quartz(self, filepath: str) -> None:
        """Exports ECCs to Quartz JSON format."""
    @staticmethod
    def from_postcard(filepath: str) -> ECCs:
        """Loads ECCs from a postcard file."""
    def dump_postcard(self, filepath: str) -> None:
        """Saves ECCs as postcard."""
    def check(self) -> list[ECC]:
        """Returns classes that fail randomized equivalence checks."""
    def __len__(self) -> int: ...
    def to_list(self) -> list[ECC]:
        """Returns all classes as a Python list."""
    def filter_single(self) -> ECCs:
        """Removes classes with only one circuit."""
    def to_identity_circuits(self) -> list[tuple[IdentityCirc, Circ, Circ]]:
        """Converts classes into canonical identities plus witness circuit pairs."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __str__(self) -> str: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class RawECCs:
    """Mutable ECC map keyed by evaluator hash.

    This is the direct output of the search algorithm before final simplification."""

    def __new__(cls, evaluator: Evaluator) -> RawECCs:
        """Initializes the raw map with the empty circuit class."""
    # The searches return the raw classes with three counters: circuits popped from the queue,
    # circuits evaluated, and placement pairs offered to the classes.
    @staticmethod
    def search_naive(
        evaluator: Evaluator, instrs: Sequence[Instr], max_size: int
    ) -> tuple[RawECCs, list[int]]:
        """Exhaustive baseline search without permutation-based multiplicity reduction."""
    @staticmethod
    def search(
        evaluator: Evaluator, instrs: Sequence[Instr], max_size: int
    ) -> tuple[RawECCs, list[int]]:
        """Optimized search using permutation-equivalent placements per circuit."""
    def simplify(self) -> ECCs:
        """Converts raw buckets into sorted, normalized ECCs."""
    @staticmethod
    def generate(
        evaluator: Evaluator, gates: Sequence[Gate], max_size: int
    ) -> tuple[RawECCs, list[int]]:
        """Generates ECCs from a gate set using the optimized search.

        Adjoint gates are added automatically if missing."""
    @staticmethod
    def generate_naive(
        evaluator: Evaluator, gates: Sequence[Gate], max_size: int
    ) -> tuple[RawECCs, list[int]]:
        """Generates ECCs from a gate set using the naive search."""
    def find_equivalents(self, evaluator: Evaluator, instrs: Sequence[Instr]) -> Optional[ECC]:
        """Python wrapper returning equivalent circuits for a candidate program."""
    def compute_next_key(
        self, evaluator: Evaluator, current_key: int, instr: Instr
    ) -> Optional[int]:
        """Computes the next reachable ECC hash after appending one instruction.

        Returns `None` when the resulting state was not discovered in this map."""
    def switch_evaluator(self, new_evaluator: Evaluator) -> RawECCs:
        """Re-evaluates all stored circuits under a new evaluator.

        Useful for cross-checking evaluator-independence of discovered classes."""
    def check_identity_subset(self, ecc1: RawECCs, evaluator: Evaluator) -> None:
        """Checks that every identity in `self` is representable in `ecc1`."""

@final
class Evaluator:
    """Randomized evaluator used to hash circuits and recover permutation metadata."""

    def __new__(cls, nqubits: int) -> Evaluator:
        """Creates a random evaluator for `nqubits`."""
    def nqubits(self) -> int:
        """Returns evaluator qubit count."""
    # (canonical state, front permutation, back permutation, forward state)
    def evaluate(
        self, instrs: Sequence[Instr]
    ) -> tuple[StateVec, tuple[int, ...], tuple[int, ...], StateVec]:
        """Python wrapper for circuit evaluation."""
    def initial_key(self) -> int:
        """Hash key for the empty circuit under this evaluator."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Circ:
    """Circuit with an explicit trailing qubit permutation."""

    @property
    def instrs(self) -> list[Instr]: ...
    @property
    def perm(self) -> tuple[int, ...]: ...
    def __new__(
        cls, instrs: Sequence[Instr], perm: Optional[Sequence[int]] = None
    ) -> Circ:
        """Creates a circuit from instructions and an optional permutation."""
    def nqubits(self) -> int:
        """Number of qubits tracked by the permutation."""
    def rotate_representative(self) -> IdentityCirc:
        """Returns canonical identity representative across rotations/permutations."""
    def representative(self) -> Circ:
        """Returns canonical circuit representative."""
    def representative_with_perm(self) -> tuple[Circ, tuple[int, ...]]:
        """Returns `(representative, applied_perm)` used in canonicalization."""
    def permut(self, perm: Sequence[int]) -> Circ:
        """Applies a qubit permutation to this circuit."""
    def remove_swaps(self) -> Circ:
        """Removes explicit swap gates into the stored trailing permutation."""
    def inverse(self) -> Circ:
        """Returns inverse circuit."""
    def rotate(self, n: int) -> Circ:
        """Circularly rotates instruction order by `n`."""
    def len(self) -> int:
        """Number of instructions."""
    def is_empty(self) -> bool:
        """Returns whether the circuit is empty."""
    def instrs_with_swaps(self) -> list[Instr]:
        """Returns instructions plus swaps needed for stored permutation."""
    def __len__(self) -> int: ...
    def __str__(self) -> str: ...
    def __repr__(self) -> str: ...
    def __hash__(self) -> int: ...
    # Indexing wraps around (-1 is the last instruction, len the first); iteration makes one pass.
    def __getitem__(self, idx: int) -> Instr: ...
    def __iter__(self) -> Iterator[Instr]: ...
    def __add__(self, other: Circ) -> Circ: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __lt__(self, other: Circ) -> bool: ...
    def __le__(self, other: Circ) -> bool: ...
    def __gt__(self, other: Circ) -> bool: ...
    def __ge__(self, other: Circ) -> bool: ...

@final
class IdentityCirc:
    """Canonical identity circuit (a circuit proven equivalent to identity)."""

    @property
    def inner(self) -> Circ:
        """Underlying circuit representation."""
    def __new__(cls, circuit: Circ) -> IdentityCirc:
        """Creates an identity circuit and checks it is semantically valid."""
    @staticmethod
    def from_python(obj: Any) -> IdentityCirc:
        """Parses a Python-serialized identity object."""
    def nqubits(self) -> int:
        """Returns number of qubits."""
    def qargs_forward(self, gate_id: int) -> list[int]:
        """For each argument of gate `gate_id`, returns next gate index using that qubit."""
    def qargs_backward(self, gate_id: int) -> list[int]:
        """For each argument of gate `gate_id`, returns previous gate index using that qubit."""
    def check(self) -> bool:
        """Randomized semantic check that this circuit is identity."""
    def hash_value(self) -> int:
        """Stable hash of the canonical identity representation."""
    def __str__(self) -> str: ...
    def __repr__(self) -> str: ...
    def __hash__(self) -> int: ...
    def __len__(self) -> int: ...
    # Indexing wraps around (-1 is the last instruction, len the first); iteration makes one pass.
    def __getitem__(self, idx: int) -> Instr: ...
    def pythonize(self) -> Any:
        """Converts this identity to a Python-serializable form."""
    def __iter__(self) -> Iterator[Instr]: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __lt__(self, other: IdentityCirc) -> bool: ...
    def __le__(self, other: IdentityCirc) -> bool: ...
    def __gt__(self, other: IdentityCirc) -> bool: ...
    def __ge__(self, other: IdentityCirc) -> bool: ...

@final
class IdentityProver:
    """Rule-based prover for circuit identities.

    The prover is built from ECCs, extracts assumed rules, and can then:
    - check whether a target identity is derivable,
    - produce visited states for diagnostics,
    - export explicit proof traces."""

    @staticmethod
    def build_from_eccs(eccs: ECCs) -> IdentityProver:
        """Python entrypoint: builds a prover from generated ECCs."""
    def par_apply_rules(self, identity: IdentityCirc, additional_size: int) -> list[IdentityCirc]:
        """Applies one round of parallel rule rewriting bounded by `additional_size`."""
    def add_identity(self, identity: IdentityCirc, additional_size: int, count_limit: int) -> bool:
        """Inserts one identity into the prover, deriving it when possible.

        Returns `true` when this identity must be kept as an assumption."""
    def add_identity_search(
        self, identity: IdentityCirc, additional_size: int, count_limit: int
    ) -> tuple[set[IdentityCirc], bool]:
        """Internal bounded search used by [`Self::add_identity`].

        Returns `(visited, assumed)` where `assumed=true` means the identity
        could not be derived within `count_limit`."""
    def prove_identity(
        self, identity: IdentityCirc, additional_size: int, count_limit: int
    ) -> Optional[IdentityCirc]:
        """Attempts to prove one identity.

        Returns `None` if proved, or `Some(identity)` if the search exceeded limits."""
    def prove_identity_with_visited(
        self, identity: IdentityCirc, additional_size: int, count_limit: int
    ) -> tuple[Optional[IdentityCirc], set[IdentityCirc]]:
        """Same as [`Self::prove_identity`] but also returns visited identities."""
    def export_proof(
        self, identity: IdentityCirc, additional_size: int, count_limit: int
    ) -> Optional[Proof]:
        """Exports a proof DAG when `identity` is derivable under the given limits."""
    def get_assumed(self) -> list[IdentityCirc]:
        """Returns current assumptions as a cloned list (Python helper)."""
    @staticmethod
    def from_postcard(filepath: str) -> IdentityProver:
        """Loads a prover from postcard serialization."""
    def dump_postcard(self, filepath: str) -> None:
        """Stores a prover as postcard serialization."""

@final
class Proof:
    """Exported proof DAG.

    Each entry stores:
    - an identity circuit,
    - either `None` (assumption) or `(lhs_idx, rhs_idx)` showing how it is derived."""

    def __new__(cls, data: list[tuple[IdentityCirc, Optional[tuple[int, int]]]]) -> Proof:
        """Creates a proof from raw `(identity, dependency)` entries."""
    @property
    def raw(self) -> list[tuple[IdentityCirc, Optional[tuple[int, int]]]]:
        """Returns raw proof entries."""
    def __str__(self) -> str: ...
    def __repr__(self) -> str: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __lt__(self, other: Proof) -> bool: ...
    def __le__(self, other: Proof) -> bool: ...
    def __gt__(self, other: Proof) -> bool: ...
    def __ge__(self, other: Proof) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

# Not a registered class, so not in __all__: the exception that every internal failure raises.
# It derives from BaseException, so `except Exception` lets it through.
class PanicException(BaseException):
    """Raised when an internal failure ends a call (a violated invariant or refused input).

    Derives from BaseException, so `except Exception` does not catch it."""

# NOT IMPORTABLE: the module does not register OrderInfo. The qubit ordering that the evaluator
# uses internally is catalogued here for reference only; `brimsel.OrderInfo` does not exist.
@final
class OrderInfo:
    """Ordering/equality-class information for qubit symmetry handling."""

    def __new__(cls, size: int) -> OrderInfo:
        """Creates a single-class ordering of `size` qubits."""
    def n_eqclasses(self) -> int:
        """Number of current equality classes."""
    def has_eq(self) -> bool:
        """Returns true if any equality class has size > 1."""
    def first_eqclass(self) -> Optional[int]:
        """Index of first non-trivial equality class."""
    def first_eqclass_after(self, idx: int) -> Optional[int]:
        """Index of first non-trivial equality class at/after `idx`."""
    def as_bits(self) -> tuple[tuple[int, ...], int]:
        """Returns canonical permutation and equality bitmask."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __str__(self) -> str: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
