// Recursive-descent parser and evaluator of gate-parameter expressions, with syntax-error reports that mark the failing spot.
#include "circ/param/expr.hpp"

#include <locale.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "panic.hpp"

namespace brimsel {

std::string NumericError::to_string() const {
    if (kind == Kind::DivisionByZero) return "DivisionByZero";
    return payload;
}

EvalResult caculate(std::string_view op, double a, double b) {
    if (op == "+") return a + b;
    if (op == "-") return a - b;
    if (op == "*") return a * b;
    if (op == "/") {
        // -0.0 compares equal too; a NaN divisor is divided by.
        if (b == 0.0) return NumericError{NumericError::Kind::DivisionByZero, {}};
        return a / b;
    }
    if (op == "^") return std::pow(a, b);
    if (op == "sin") return std::sin(a);
    if (op == "cos") return std::cos(a);
    if (op == "tan") return std::tan(a);
    if (op == "exp") return std::exp(a);
    if (op == "ln") return std::log(a);
    if (op == "sqrt") return std::sqrt(a);
    return NumericError{NumericError::Kind::InvalidArgument, std::string(op)};
}

namespace {

using Vars = std::unordered_map<std::string, double>;

// The grammar's rules under the names that reports use; EOI is the end of the text.
enum class Rule { real, id, nninteger, exp, term, factor, plus, mul, power, unary_op, EOI };

const char* rule_name(Rule r) {
    switch (r) {
        case Rule::real: return "real";
        case Rule::id: return "id";
        case Rule::nninteger: return "nninteger";
        case Rule::exp: return "exp";
        case Rule::term: return "term";
        case Rule::factor: return "factor";
        case Rule::plus: return "plus";
        case Rule::mul: return "mul";
        case Rule::power: return "power";
        case Rule::unary_op: return "unary_op";
        case Rule::EOI: return "EOI";
    }
    panic("unknown expression rule");
}

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_lower(char c) { return c >= 'a' && c <= 'z'; }
bool is_id_char(char c) {
    return is_lower(c) || (c >= 'A' && c <= 'Z') || is_digit(c) || c == '_';
}

// The conversion must not follow the process locale, which may use a decimal comma.
locale_t c_locale() {
    static const locale_t loc = [] {
        locale_t l = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
        if (l == static_cast<locale_t>(0)) panic("cannot create the C locale");
        return l;
    }();
    return loc;
}

// Correctly rounded (ties to even); texts too large for a double give +inf.
double decimal_value(std::string_view digits) {
    const std::string text(digits);
    char* end = nullptr;
    const double v = strtod_l(text.c_str(), &end, c_locale());
    check(end == text.c_str() + text.size(), "decimal conversion stopped inside a number");
    return v;
}

std::string join_expected(const std::vector<Rule>& rules) {
    std::string out;
    for (std::size_t i = 0; i < rules.size(); ++i) {
        if (i > 0) out += rules.size() == 2 ? " or " : (i + 1 == rules.size() ? ", or " : ", ");
        out += rule_name(rules[i]);
    }
    return out;
}

// The report names the line and column of `pos` (both from 1, columns in
// characters), repeats that line and marks the column.
std::string report(std::string_view text, std::size_t pos, std::string_view message) {
    if (pos > text.size()) panic_index(text.size(), pos);
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < pos; ++i) {
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    std::size_t col = 1;
    for (std::size_t i = line_start; i < pos; ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++col;
    std::size_t line_end = text.find('\n', line_start);
    if (line_end == std::string_view::npos) line_end = text.size();
    if (line_end > line_start && text[line_end - 1] == '\r') --line_end;

    const std::string number = std::to_string(line);
    const std::string gutter(number.size(), ' ');
    std::string out;
    out += gutter + "--> " + number + ':' + std::to_string(col) + '\n';
    out += gutter + " |\n";
    out += number + " | ";
    out += text.substr(line_start, line_end - line_start);
    out += '\n';
    out += gutter + " | " + std::string(col - 1, ' ') + "^---\n";
    out += gutter + " |\n";
    out += gutter + " = ";
    out += message;
    return out;
}

// Unwinds the whole parse once the text nests too deeply.
struct TooDeep {
    std::size_t pos;
};

// Parses by the grammar's PEG semantics and evaluates while it parses: every
// rule returns nullopt when it does not match, otherwise the value of what it
// matched (a double, or the first evaluation error in evaluation order).
// Values of abandoned alternatives and repetitions are simply dropped, so the
// outcome equals evaluating the parse tree afterwards.
class ExprParser {
public:
    ExprParser(std::string_view text, const Vars& vars) : text_(text), vars_(vars) {}

    EvalResult run() {
        try {
            if (std::optional<EvalResult> value = exp()) {
                skip_ws();
                if (pos_ == text_.size()) return std::move(*value);
                expected(Rule::EOI, pos_);
            }
            check(!expected_.empty(), "failed expression parse without an expected rule");
            return NumericError{NumericError::Kind::ParseError,
                                report(text_, farthest_, "expected " + join_expected(expected_))};
        } catch (const TooDeep& e) {
            return NumericError{
                NumericError::Kind::ParseError,
                report(text_, e.pos,
                       "nesting too deep: more than " + std::to_string(EXPR_MAX_NESTING) +
                           " levels of parentheses, function calls or unary minus")};
        }
    }

private:
    using Value = std::optional<EvalResult>;

    // One level of parentheses, function call or unary minus, opened at `pos`.
    class Nesting {
    public:
        Nesting(ExprParser& p, std::size_t pos) : p_(p) {
            if (++p_.depth_ > EXPR_MAX_NESTING) throw TooDeep{pos};
        }
        ~Nesting() { --p_.depth_; }
        Nesting(const Nesting&) = delete;
        Nesting& operator=(const Nesting&) = delete;

    private:
        ExprParser& p_;
    };

    char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }

    bool literal(char c) {
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    bool literal(std::string_view s) {
        if (text_.substr(pos_).starts_with(s)) {
            pos_ += s.size();
            return true;
        }
        return false;
    }

    void skip_ws() {
        while (pos_ < text_.size() && is_ws(text_[pos_])) ++pos_;
    }

    std::string_view since(std::size_t start) const { return text_.substr(start, pos_ - start); }

    // Syntax errors are reported at the farthest position where a rule was
    // tried, naming the innermost rules that failed to start there.
    void expected(Rule r, std::size_t pos) {
        if (pos < farthest_) return;
        if (pos > farthest_) {
            farthest_ = pos;
            expected_.clear();
        }
        ++recorded_;
        if (std::find(expected_.begin(), expected_.end(), r) == expected_.end())
            expected_.push_back(r);
    }

    // Runs a rule body; on failure the position returns to the rule's start.
    template <class Body>
    auto rule(Rule r, Body body) -> decltype(body()) {
        const std::size_t start = pos_;
        const std::uint64_t recorded_before = recorded_;
        auto result = body();
        if (!result) {
            pos_ = start;
            // An inner rule that already failed here says more than this one.
            if (recorded_ == recorded_before || farthest_ != start) expected(r, start);
        }
        return result;
    }

    // Left fold step: the earlier error wins.
    static EvalResult fold(std::string_view op, EvalResult acc, EvalResult rhs) {
        if (!std::holds_alternative<double>(acc)) return acc;
        if (!std::holds_alternative<double>(rhs)) return rhs;
        return caculate(op, std::get<double>(acc), std::get<double>(rhs));
    }

    Value exp() {
        return rule(Rule::exp, [&]() -> Value {
            skip_ws();
            Value acc = term();
            if (!acc) return std::nullopt;
            for (;;) {
                const std::size_t before = pos_;
                skip_ws();
                if (auto op = plus()) {
                    skip_ws();
                    if (Value rhs = term()) {
                        acc = fold(*op, std::move(*acc), std::move(*rhs));
                        continue;
                    }
                }
                pos_ = before;
                return acc;
            }
        });
    }

    Value term() {
        return rule(Rule::term, [&]() -> Value {
            Value acc = factor();
            if (!acc) return std::nullopt;
            for (;;) {
                const std::size_t before = pos_;
                skip_ws();
                if (auto op = mul()) {
                    skip_ws();
                    if (Value rhs = factor()) {
                        acc = fold(*op, std::move(*acc), std::move(*rhs));
                        continue;
                    }
                }
                pos_ = before;
                return acc;
            }
        });
    }

    Value factor() {
        return rule(Rule::factor, [&]() -> Value {
            Value acc = power();
            if (!acc) return std::nullopt;
            for (;;) {
                const std::size_t before = pos_;
                skip_ws();
                if (literal('^')) {
                    skip_ws();
                    if (Value rhs = power()) {
                        acc = fold("^", std::move(*acc), std::move(*rhs));
                        continue;
                    }
                }
                pos_ = before;
                return acc;
            }
        });
    }

    // Ordered choice: the first alternative that matches is final.
    Value power() {
        return rule(Rule::power, [&]() -> Value {
            const std::size_t start = pos_;
            if (auto text = real()) return EvalResult(decimal_value(*text));
            if (auto text = nninteger()) return EvalResult(decimal_value(*text));
            if (literal('(')) {
                Nesting level(*this, start);
                skip_ws();
                if (Value inner = exp()) {
                    skip_ws();
                    if (literal(')')) return inner;
                }
                pos_ = start;
            }
            if (auto fn = unary_op()) {
                skip_ws();
                if (literal('(')) {
                    Nesting level(*this, start);
                    skip_ws();
                    if (Value arg = exp()) {
                        skip_ws();
                        if (literal(')')) {
                            if (!std::holds_alternative<double>(*arg)) return arg;
                            return caculate(*fn, std::get<double>(*arg), 0.0);
                        }
                    }
                }
                pos_ = start;
            }
            if (literal('-')) {
                Nesting level(*this, start);
                skip_ws();
                if (Value operand = power()) {
                    if (double* v = std::get_if<double>(&*operand)) *v = -*v;
                    return operand;
                }
                pos_ = start;
            }
            if (auto name = id()) {
                auto it = vars_.find(std::string(*name));
                if (it == vars_.end())
                    return EvalResult(NumericError{NumericError::Kind::UndefinedVariable,
                                                   std::string(*name)});
                return EvalResult(it->second);
            }
            return std::nullopt;
        });
    }

    std::optional<std::string_view> plus() {
        return rule(Rule::plus, [&]() -> std::optional<std::string_view> {
            const std::size_t start = pos_;
            if (literal('+') || literal('-')) return since(start);
            return std::nullopt;
        });
    }

    std::optional<std::string_view> mul() {
        return rule(Rule::mul, [&]() -> std::optional<std::string_view> {
            const std::size_t start = pos_;
            if (literal('*') || literal('/')) return since(start);
            return std::nullopt;
        });
    }

    std::optional<std::string_view> unary_op() {
        return rule(Rule::unary_op, [&]() -> std::optional<std::string_view> {
            const std::size_t start = pos_;
            for (std::string_view fn : {"sin", "cos", "tan", "exp", "ln", "sqrt"})
                if (literal(fn)) return since(start);
            return std::nullopt;
        });
    }

    // The atomic rules below never skip whitespace.

    std::optional<std::string_view> real() {
        return rule(Rule::real, [&]() -> std::optional<std::string_view> {
            const std::size_t start = pos_;
            if (!is_digit(peek())) return std::nullopt;
            while (is_digit(peek())) ++pos_;
            if (!literal('.')) return std::nullopt;
            while (is_digit(peek())) ++pos_;
            return since(start);
        });
    }

    std::optional<std::string_view> nninteger() {
        return rule(Rule::nninteger, [&]() -> std::optional<std::string_view> {
            const std::size_t start = pos_;
            if (peek() >= '1' && peek() <= '9') {
                while (is_digit(peek())) ++pos_;
                return since(start);
            }
            if (literal('0')) return since(start);
            return std::nullopt;
        });
    }

    std::optional<std::string_view> id() {
        return rule(Rule::id, [&]() -> std::optional<std::string_view> {
            const std::size_t start = pos_;
            if (!is_lower(peek())) return std::nullopt;
            ++pos_;
            while (is_id_char(peek())) ++pos_;
            return since(start);
        });
    }

    std::string_view text_;
    const Vars& vars_;
    std::size_t pos_ = 0;
    int depth_ = 0;
    std::size_t farthest_ = 0;
    std::vector<Rule> expected_;  // in the order first tried, without repeats
    std::uint64_t recorded_ = 0;  // counts calls of expected() that were not ignored
};

}  // namespace

EvalResult evaluate(std::string_view expr, const std::unordered_map<std::string, double>& vars) {
    return ExprParser(expr, vars).run();
}

EvalResult evaluate_with_pi(std::string_view expr) {
    static const Vars pi_only{{"pi", 3.141592653589793}};
    return evaluate(expr, pi_only);
}

}  // namespace brimsel
