// Tests of gate-parameter expressions: values, error kinds, syntax-error reports and the nesting bound.
#include "circ/param/expr.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace brimsel {
namespace {

using Kind = NumericError::Kind;

constexpr double PI = 3.141592653589793;
constexpr double INF = std::numeric_limits<double>::infinity();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

std::string repeat(std::string_view s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

::testing::AssertionResult has_value(std::string_view expr, const EvalResult& r, double want) {
    if (const auto* e = std::get_if<NumericError>(&r))
        return ::testing::AssertionFailure() << '"' << expr << "\" gave error " << e->to_string();
    const double got = std::get<double>(r);
    if (std::isnan(want) ? std::isnan(got) : bits(got) == bits(want))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << '"' << expr << "\" gave " << got << " (bits " << std::hex << bits(got)
           << "), want " << want << " (bits " << bits(want) << ")";
}

::testing::AssertionResult has_error(std::string_view expr, const EvalResult& r, Kind kind) {
    const auto* e = std::get_if<NumericError>(&r);
    if (e == nullptr)
        return ::testing::AssertionFailure()
               << '"' << expr << "\" gave " << std::get<double>(r) << ", want an error";
    if (e->kind != kind)
        return ::testing::AssertionFailure()
               << '"' << expr << "\" gave error kind " << static_cast<int>(e->kind) << " ("
               << e->to_string() << ")";
    return ::testing::AssertionSuccess();
}

std::string parse_report(std::string_view expr) {
    const EvalResult r = evaluate_with_pi(expr);
    EXPECT_TRUE(has_error(expr, r, Kind::ParseError));
    const auto* e = std::get_if<NumericError>(&r);
    return e ? e->payload : std::string();
}

TEST(Expr, Values) {
    const std::string big = "1" + std::string(400, '0');
    struct Case {
        std::string expr;
        double want;
    };
    const std::vector<Case> cases = {
        {"pi/3", 1.0471975511965976},
        {"-pi/3", -1.0471975511965976},
        {"pi/16", 0.19634954084936207},
        {"-pi/16", -0.19634954084936207},
        // powers fold from the left, and a leading minus binds tighter than "^"
        {"2^3^2", 64},
        {"-2^2", 4},
        {"-2^3", -8},
        {"-(2^2)", -4},
        {"2^-2", 0.25},
        {"2^-1^2", 0.25},
        // the other operators fold from the left too
        {"2 - 3 - 4", -5},
        {"8/2/2", 2},
        {"8/2*2", 8},
        {"2+3*4", 14},
        {"2*3+4*5", 26},
        {"2^3*2", 16},
        {"2 * -3", -6},
        {"--1", 1},
        {"- 1", -1},
        {"-0", -0.0},
        {"(1)", 1},
        {"(2+3)*2", 10},
        {"(-1)", -1},
        {"((2))", 2},
        // numbers: correctly rounded, no exponent, a real may end in its point
        {"1.", 1},
        {"1.5", 1.5},
        {"0.1+0.2", 0.30000000000000004},
        {"9007199254740993", 9007199254740992.0},
        {"9007199254740993.00000000000000000001", 9007199254740994.0},
        {"0", 0},
        {"0.0", 0},
        {big, INF},
        {"0^-1", INF},
        // whitespace around and between tokens, none inside them
        {" \t\n\rpi", PI},
        {"pi \t\r\n", PI},
        {"sin ( pi / 2 )", 1},
        {"  1\n+\n2  ", 3},
        // each function name reaches its own function
        {"sin(1)", std::sin(1.0)},
        {"cos(1)", std::cos(1.0)},
        {"tan(1)", std::tan(1.0)},
        {"exp(1)", std::exp(1.0)},
        {"ln(8)", std::log(8.0)},
        {"sqrt(2)", std::sqrt(2.0)},
        {"sqrt(4)^3", 8},
        {"ln(0)", -INF},
        {"sqrt(-1)", std::numeric_limits<double>::quiet_NaN()},
    };
    for (const Case& c : cases) EXPECT_TRUE(has_value(c.expr, evaluate_with_pi(c.expr), c.want));
}

TEST(Expr, EvaluationErrors) {
    struct Case {
        std::string expr;
        Kind kind;
        std::string text;  // to_string() of the error
    };
    const std::vector<Case> cases = {
        {"1/0", Kind::DivisionByZero, "DivisionByZero"},
        {"1/0.0", Kind::DivisionByZero, "DivisionByZero"},
        {"0/0", Kind::DivisionByZero, "DivisionByZero"},
        {"1/-0", Kind::DivisionByZero, "DivisionByZero"},
        {"1/(2-2)", Kind::DivisionByZero, "DivisionByZero"},
        {"x", Kind::UndefinedVariable, "x"},
        {"theta", Kind::UndefinedVariable, "theta"},
        {"pi2", Kind::UndefinedVariable, "pi2"},
        {"a_B9z", Kind::UndefinedVariable, "a_B9z"},
        // a function name without parentheses is a name
        {"sin", Kind::UndefinedVariable, "sin"},
        {"sinx", Kind::UndefinedVariable, "sinx"},
        {"sqrt(x)", Kind::UndefinedVariable, "x"},
        {"-x", Kind::UndefinedVariable, "x"},
        // the first error in evaluation order wins
        {"x/0", Kind::UndefinedVariable, "x"},
        {"1/0 + x", Kind::DivisionByZero, "DivisionByZero"},
        {"x + y", Kind::UndefinedVariable, "x"},
        {"y^x", Kind::UndefinedVariable, "y"},
        {"2^x^(1/0)", Kind::UndefinedVariable, "x"},
    };
    for (const Case& c : cases) {
        const EvalResult r = evaluate_with_pi(c.expr);
        ASSERT_TRUE(has_error(c.expr, r, c.kind));
        const NumericError& e = std::get<NumericError>(r);
        EXPECT_EQ(e.to_string(), c.text) << c.expr;
        if (c.kind == Kind::UndefinedVariable) {
            EXPECT_EQ(e.payload, c.text) << c.expr;
        }
    }
}

// Any text that is not whitespace after a complete expression is refused.
TEST(Expr, SyntaxErrors) {
    const std::vector<std::string> cases = {
        "",     " \t\r\n", ".5",   "Pi",    ")",      "2pi",    "1e5",  "007",
        "1 +",  "3 )",     "1 . 5", "1 2",  "(1",     "()",     "1+*2", "sqrt 2",
        "sin(", "sin()",   "-",     "2^",   "1,5",    "é",      "1\v",  std::string("1\0", 2),
    };
    for (const std::string& c : cases) EXPECT_TRUE(has_error(c, evaluate_with_pi(c), Kind::ParseError));
}

TEST(Expr, ReportLayout) {
    struct Case {
        std::string expr;
        std::string report;
    };
    const std::vector<Case> cases = {
        {"",
         " --> 1:1\n  |\n1 | \n  | ^---\n  |\n  = expected real, nninteger, unary_op, or id"},
        {".5",
         " --> 1:1\n  |\n1 | .5\n  | ^---\n  |\n  = expected real, nninteger, unary_op, or id"},
        {"2pi", " --> 1:2\n  |\n1 | 2pi\n  |  ^---\n  |\n  = expected mul, plus, or EOI"},
        {"007", " --> 1:2\n  |\n1 | 007\n  |  ^---\n  |\n  = expected mul, plus, or EOI"},
        {"3 )", " --> 1:3\n  |\n1 | 3 )\n  |   ^---\n  |\n  = expected mul, plus, or EOI"},
        {"1 . 5", " --> 1:3\n  |\n1 | 1 . 5\n  |   ^---\n  |\n  = expected mul, plus, or EOI"},
        // the missing operand is farther than the dangling operator
        {"1 +",
         " --> 1:4\n  |\n1 | 1 +\n  |    ^---\n  |\n  = expected real, nninteger, unary_op, or id"},
        {"(1", " --> 1:3\n  |\n1 | (1\n  |   ^---\n  |\n  = expected mul or plus"},
        {"-(", " --> 1:3\n  |\n1 | -(\n  |   ^---\n  |\n"
               "  = expected real, nninteger, unary_op, or id"},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_report(c.expr), c.report) << c.expr;
}

TEST(Expr, ReportOnMultiLineText) {
    struct Case {
        std::string expr;
        std::string report;
    };
    const std::vector<Case> cases = {
        // columns count characters of the failing line only
        {"pi / 2 +\n  sin(pi) *\n\t(1 + )\n",
         " --> 3:7\n  |\n3 | \t(1 + )\n  |       ^---\n  |\n"
         "  = expected real, nninteger, unary_op, or id"},
        // a CR before the line feed is not part of the line shown
        {"1 +\r\n2 )\r\n", " --> 2:3\n  |\n2 | 2 )\n  |   ^---\n  |\n  = expected mul, plus, or EOI"},
        // a position after the last line feed is on an empty last line
        {"1 -\n", " --> 2:1\n  |\n2 | \n  | ^---\n  |\n"
                  "  = expected real, nninteger, unary_op, or id"},
        // the gutter widens with the line number
        {repeat("1 +\n", 11) + "x y",
         "  --> 12:3\n   |\n12 | x y\n   |   ^---\n   |\n   = expected mul, plus, or EOI"},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_report(c.expr), c.report) << c.expr;
}

TEST(Expr, NestingBound) {
    const int n = EXPR_MAX_NESTING;
    struct Case {
        std::string expr;
        double want;
    };
    const std::vector<Case> within = {
        {repeat("(", n) + "1" + repeat(")", n), 1},
        {repeat("-", n) + "1", 1},
        {repeat("-", n - 1) + "1", -1},
        {repeat("sqrt(", n) + "1" + repeat(")", n), 1},
        {repeat("-(", n / 2) + "1" + repeat(")", n / 2), n / 2 % 2 ? -1 : 1},
        // levels count while open, not in total
        {repeat(repeat("(", n) + "1" + repeat(")", n) + "+", 3) + "0", 3},
    };
    for (const Case& c : within) EXPECT_TRUE(has_value(c.expr, evaluate_with_pi(c.expr), c.want));

    const std::string message =
        "nesting too deep: more than 200 levels of parentheses, function calls or unary minus";
    const std::vector<std::string> beyond = {
        repeat("(", n + 1) + "1" + repeat(")", n + 1),
        repeat("-", n + 1) + "1",
        repeat("sqrt(", n + 1) + "1" + repeat(")", n + 1),
        repeat("-(", n / 2) + "-1" + repeat(")", n / 2),
        repeat("(", 100000),
        repeat("-", 100000),
        repeat("sin(", 100000),
    };
    for (const std::string& c : beyond) {
        const EvalResult r = evaluate_with_pi(c);
        ASSERT_TRUE(has_error(c.substr(0, 20), r, Kind::ParseError));
        const std::string& report = std::get<NumericError>(r).payload;
        EXPECT_TRUE(report.ends_with("  = " + message)) << report.substr(0, 300);
    }

    // The report points at the opening of the first level too many.
    const std::string deep = repeat("(", n + 1) + "1";
    EXPECT_TRUE(parse_report(deep).starts_with(" --> 1:" + std::to_string(n + 1) + "\n"));
}

TEST(Expr, OwnVariables) {
    const std::unordered_map<std::string, double> vars = {
        {"theta", 0.5}, {"n", std::numeric_limits<double>::quiet_NaN()}, {"z", -0.0}};
    EXPECT_TRUE(has_value("theta*2", evaluate("theta*2", vars), 1));
    // only a divisor that compares equal to zero is refused
    EXPECT_TRUE(has_value("1/n", evaluate("1/n", vars), std::numeric_limits<double>::quiet_NaN()));
    EXPECT_TRUE(has_error("1/z", evaluate("1/z", vars), Kind::DivisionByZero));
    EXPECT_TRUE(has_error("pi", evaluate("pi", vars), Kind::UndefinedVariable));
    EXPECT_TRUE(has_error("x", evaluate("x", {}), Kind::UndefinedVariable));
}

TEST(Expr, Caculate) {
    EXPECT_TRUE(has_value("sqrt", caculate("sqrt", 4, 123), 2));
    EXPECT_TRUE(has_value("-", caculate("-", 1, 3), -2));
    EXPECT_TRUE(has_value("^", caculate("^", 2, 10), 1024));
    EXPECT_TRUE(has_error("/", caculate("/", 1, -0.0), Kind::DivisionByZero));
    for (std::string_view op : {"%", "", "sinh", "++", "SIN"}) {
        const EvalResult r = caculate(op, 1, 2);
        ASSERT_TRUE(has_error(op, r, Kind::InvalidArgument));
        EXPECT_EQ(std::get<NumericError>(r).payload, op);
        EXPECT_EQ(std::get<NumericError>(r).to_string(), op);
    }
}

TEST(Expr, IgnoresProcessLocale) {
    const std::string old = std::setlocale(LC_NUMERIC, nullptr);
    const char* comma_locale = nullptr;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"})
        if (std::setlocale(LC_NUMERIC, name)) {
            comma_locale = name;
            break;
        }
    if (comma_locale == nullptr) GTEST_SKIP() << "no locale with a decimal comma installed";
    const EvalResult r = evaluate_with_pi("1.5");
    std::setlocale(LC_NUMERIC, old.c_str());
    EXPECT_TRUE(has_value("1.5", r, 1.5));
}

}  // namespace
}  // namespace brimsel
