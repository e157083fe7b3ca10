// Hand-written kernels of the nine gates the searches apply most, and the table GATE_FUNCS that finds them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "circ/gate.hpp"
#include "circ/gate/gates.hpp"
#include "circ/mod.hpp"
#include "state/mod.hpp"

namespace brimsel {

// A kernel changes the state in place; `qubits` are the instruction's qubit arguments.
using GateKernel = void (*)(StateVec& state, std::span<const std::uint8_t> qubits);

void perform_h_gate(StateVec& state, std::span<const std::uint8_t> qubits);
void perform_x_gate(StateVec& state, std::span<const std::uint8_t> qubits);
void perform_z_gate(StateVec& state, std::span<const std::uint8_t> qubits);
void perform_t_gate(StateVec& state, std::span<const std::uint8_t> qubits);
void perform_tdg_gate(StateVec& state, std::span<const std::uint8_t> qubits);
void perform_s_gate(StateVec& state, std::span<const std::uint8_t> qubits);
void perform_sdg_gate(StateVec& state, std::span<const std::uint8_t> qubits);
void perform_swap_gate(StateVec& state, std::span<const std::uint8_t> qubits);
void perform_cx_gate(StateVec& state, std::span<const std::uint8_t> qubits);

// The kernel gates, in the table's insertion order.
enum class KernelKind : std::uint8_t { H, X, Z, T, TDG, S, SDG, SWAP, CX };

// The kernels keyed by gate. The built-ins hold fixed indices, so the map is a
// direct table over them: a lookup is one bounds test and one load.
class GateFuncs {
public:
    struct Entry {
        Gate16 gate;
        GateKernel kernel;
        std::size_t nqargs;
    };

    GateKernel find(Gate16 g) const noexcept {
        return g.index < kBuiltinGateCount ? by_index_[g.index] : nullptr;
    }
    // Which of the nine kernels handles `g`, if one does.
    std::optional<KernelKind> kind(Gate16 g) const noexcept {
        if (g.index >= kBuiltinGateCount || by_index_[g.index] == nullptr) return std::nullopt;
        return kind_by_index_[g.index];
    }
    // In insertion order: H, X, Z, T, TDG, S, SDG, SWAP, CX.
    std::span<const Entry> entries() const noexcept { return entries_; }

private:
    friend const GateFuncs& GATE_FUNCS();
    GateFuncs();
    GateKernel by_index_[kBuiltinGateCount] = {};
    KernelKind kind_by_index_[kBuiltinGateCount] = {};
    Entry entries_[9];
};

// Built on first use; concurrent first users wait for the one complete table.
const GateFuncs& GATE_FUNCS();

// Kernel gates prepared for states of one qubit count: each gate as its formula
// and the pairs of amplitudes it mixes, so that applying the list again and
// again needs no lookup and no check. The formulas are the kernels' own.
class CompiledGates {
public:
    // Empties the list and prepares it for states of `nqubits` qubits.
    void reset(std::uint64_t nqubits);
    // Appends the gate of `instr` when a kernel handles it with its own number of
    // qubit arguments, all distinct qubits of the state; otherwise appends
    // nothing and returns false (StateVec::apply then reports what is wrong).
    bool push(const Instr32& instr);
    void pop() noexcept;
    std::size_t size() const noexcept { return ops_.size(); }
    // Applies the gates from the last to the first.
    void apply_reversed(StateVec& s) const noexcept;

private:
    struct Op {
        KernelKind kind;
        std::uint32_t first;  // into the pair lists
        std::uint32_t count;
    };
    std::uint64_t nqubits_ = 0;
    std::vector<Op> ops_;
    std::vector<std::uint32_t> a_, b_;
};

// Checks the qubit arguments of a gate on a state of `nqubits` qubits before
// anything is read: every argument must address a qubit of the state (the
// failure names the first amplitude index of the first group that falls
// outside, as indexing that group would), and no qubit may appear twice.
void check_qubit_args(std::uint64_t nqubits, std::span<const std::uint8_t> qubits);

}  // namespace brimsel
