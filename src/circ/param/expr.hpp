// Gate-parameter expressions: parses a parameter text such as "-pi/3" and evaluates it to a double.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>

namespace brimsel {

struct NumericError {
    enum class Kind { ParseError, DivisionByZero, InvalidArgument, UndefinedVariable };

    Kind kind;
    // ParseError: the syntax-error report; InvalidArgument: the operator text;
    // UndefinedVariable: the name; DivisionByZero: empty.
    std::string payload;

    // The text that Gate.params_f raises: the payload, or "DivisionByZero".
    std::string to_string() const;

    friend bool operator==(const NumericError&, const NumericError&) = default;
};

using EvalResult = std::variant<double, NumericError>;

// Levels of parentheses, function calls and unary minus that one text may nest;
// deeper texts are refused with a ParseError instead of recursing further.
inline constexpr int EXPR_MAX_NESTING = 200;

// Parses the whole of `expr` (surrounding whitespace allowed) and evaluates it
// with the given variables. Syntax errors win over evaluation errors.
EvalResult evaluate(std::string_view expr, const std::unordered_map<std::string, double>& vars);

// evaluate() with exactly one variable, pi = 3.141592653589793.
EvalResult evaluate_with_pi(std::string_view expr);

// Applies a binary operator ("+", "-", "*", "/", "^") to a and b, or a function
// ("sin", "cos", "tan", "exp", "ln", "sqrt") to a, ignoring b. Only a zero
// divisor is an error; any other text is InvalidArgument.
EvalResult caculate(std::string_view op, double a, double b);

}  // namespace brimsel
