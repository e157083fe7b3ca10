// Display and saved form of packed instructions.
#include "circ/mod.hpp"

#include <cstdio>

namespace brimsel {

std::string Instr32::to_string() const {
    std::string s = gate.to_string();
    s += '(';
    bool first = true;
    for (std::uint8_t x : qargs.as_slice()) {
        if (!first) s += ", ";
        first = false;
        s += std::to_string(x);
    }
    s += ')';
    return s;
}

Instr32 Instr32::deserialize(postcard::Reader& r) {
    Gate16 g = Gate16::deserialize(r);
    std::uint8_t a = r.u8();
    std::uint8_t b = r.u8();
    auto valid = [](std::uint8_t q) { return q < kMaxQubits || q == kNoQubit; };
    if (!valid(a) || !valid(b)) throw postcard::Error("Qubit index must be less than 8");
    return Instr32(g, QArgs16(a, b));
}

}  // namespace brimsel

namespace brimsel {

namespace {

// Decodes one UTF-8 sequence of a valid text; returns its length.
std::size_t decode_utf8(std::string_view s, std::size_t i, std::uint32_t& cp) {
    auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
    if (i + n > s.size()) n = s.size() - i;
    cp = n == 1 ? c : n == 2 ? (c & 0x1Fu) : n == 3 ? (c & 0x0Fu) : (c & 0x07u);
    for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3Fu);
    return n;
}

// Characters a debug form writes as \u{...}: controls and the invisible format characters.
bool needs_unicode_escape(std::uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0xAD || (cp >= 0x200B && cp <= 0x200F) ||
           (cp >= 0x2028 && cp <= 0x202E) || (cp >= 0x2060 && cp <= 0x2064) || cp == 0xFEFF;
}

}  // namespace

std::string debug_quoted(std::string_view s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        std::uint32_t cp;
        std::size_t n = decode_utf8(s, i, cp);
        switch (cp) {
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case 0: out += "\\0"; break;
            default:
                if (needs_unicode_escape(cp)) {
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
                    out += buf;
                } else {
                    out.append(s.substr(i, n));
                }
        }
        i += n;
    }
    out += '"';
    return out;
}

std::string Argument::debug() const {
    return "Argument { regid: " + debug_quoted(regid) + ", index: " + std::to_string(index) + " }";
}

void Instruction::hash(StableHasher& h) const noexcept {
    gate.hash(h);
    h.write_len(qargs.size());
    for (const Argument& a : qargs) a.hash(h);
    h.write_len(cargs.size());
    for (const Argument& a : cargs) a.hash(h);
}

std::string Instruction::to_string() const {
    std::string s = gate.to_string() + " ";
    bool first = true;
    for (const auto* list : {&qargs, &cargs})
        for (const Argument& a : *list) {
            if (!first) s += ", ";
            first = false;
            s += a.to_string();
        }
    s += ';';
    return s;
}

std::string Instruction::debug() const {
    auto list = [](const std::vector<Argument>& v) {
        std::string s = "[";
        for (std::size_t i = 0; i < v.size(); ++i) {
            if (i) s += ", ";
            s += v[i].debug();
        }
        return s + "]";
    };
    return "Instruction { gate: " + gate.debug() + ", qargs: " + list(qargs) + ", cargs: " +
           list(cargs) + " }";
}

}  // namespace brimsel
