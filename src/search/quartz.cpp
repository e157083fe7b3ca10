// The Quartz JSON export of classes: one variant per distinct member permutation, SWAPs materialised.
#include <map>

#include "circ/gate/gates.hpp"
#include "search/mod.hpp"
#include "utils/file.hpp"

namespace brimsel {

namespace {

void json_string(std::string& out, std::string_view s) {
    out += '"';
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    static const char* hex = "0123456789abcdef";
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 15];
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
}

void circuit_json(std::string& out, const std::vector<Instr32>& circuit) {
    std::uint8_t highest = 0;
    std::string gates = "[";
    for (std::size_t k = 0; k < circuit.size(); ++k) {
        const Instr32& i = circuit[k];
        if (k) gates += ',';
        gates += '[';
        json_string(gates, i.gate.to_string());
        std::string names = "[";
        bool first = true;
        for (std::uint8_t q : i.qargs.as_slice()) {
            if (q > highest) highest = q;
            if (!first) names += ',';
            first = false;
            json_string(names, "Q" + std::to_string(q));
        }
        names += ']';
        gates += ',' + names + ',' + names + ']';
    }
    gates += ']';
    const auto width = static_cast<std::uint8_t>(highest + 1);  // computed in 8 bits
    out += "[[" + std::to_string(width) + "," + std::to_string(circuit.size()) + "]," + gates + "]";
}

std::string hex(std::size_t k) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    do {
        s.insert(s.begin(), digits[k & 15]);
        k >>= 4;
    } while (k);
    return s;
}

}  // namespace

std::string ECCs::quartz_json() const {
    std::map<std::string, std::string> table;  // keys in byte order
    for (std::size_t k = 0; k < eccs.size(); ++k) {
        const ECC& e = eccs[k];
        if (e.members.size() < 2) continue;
        std::vector<bool> covered(e.members.size(), false);
        std::size_t v = 0;
        for (std::size_t i = 0; i < e.members.size(); ++i) {
            if (covered[i]) continue;
            const Permut32 inv = e.members[i].perm.inv();
            std::string variant = "[";
            for (std::size_t j = 0; j < e.members.size(); ++j) {
                const Permut32 r = inv * e.members[j].perm;
                if (r.is_identity()) covered[j] = true;
                std::vector<Instr32> circuit = e.members[j].instrs;
                for (auto [a, b] : r.generate_swaps()) circuit.emplace_back(gates::SWAP(), QArgs16::two(a, b));
                if (j) variant += ',';
                circuit_json(variant, circuit);
            }
            variant += ']';
            table.emplace(hex(k) + "_" + std::to_string(v), std::move(variant));
            ++v;
        }
    }
    std::string doc = "[[[0],[0]],{";
    bool first = true;
    for (const auto& [key, variant] : table) {
        if (!first) doc += ',';
        first = false;
        json_string(doc, key);
        doc += ':';
        doc += variant;
    }
    doc += "}]";
    return doc;
}

void ECCs::dump_quartz(const std::string& path) const {
    const std::string doc = quartz_json();  // complete before the file is touched
    OutputFile f(path);
    f.write_direct(doc);
}

}  // namespace brimsel
