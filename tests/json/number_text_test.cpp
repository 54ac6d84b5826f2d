#include "json/number_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "json/script_engine.h"

namespace lumigrab {
namespace {

// The engine's own String(x) is the reference: the texts must agree for every
// layout branch (plain integer, trailing zeros, inner point, leading zeros,
// both exponent forms) and the special values.
TEST(NumberText, AgreesWithTheEngine) {
    const double values[] = {
        0, -0.0, 1, -1, 640, 12, 0.5, -0.5, 1.5, 123.456, 100, 1e20, 1e21, 1.5e21,
        123456789012345680000.0, 1e-6, 1e-7, 1.25e-7, 0.000001234, 0.1 + 0.2, 1.0 / 3,
        -2.5e-10, 9007199254740993.0, 5e-324, std::numeric_limits<double>::max(),
        std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
        std::nan(""), 4294967296.0, 2147483647.0, -2147483648.0, 1e100, 12345.678e-20,
    };
    auto engine = ScriptEngine::Create();
    ASSERT_TRUE(engine);
    for (double v : values) {
        // Hand the exact bits over: 17 significant digits always read back.
        char literal[64];
        std::snprintf(literal, sizeof literal, "String(%.17g)", v);
        Text script = literal;
        if (std::isnan(v)) script = "String(NaN)";
        if (std::isinf(v)) script = v > 0 ? "String(Infinity)" : "String(-Infinity)";
        SCOPED_TRACE(script);
        EXPECT_EQ(NumberText(v), engine->EvalText(script));
    }
}

TEST(NumberText, IntegersHaveNoFraction) {
    EXPECT_EQ(NumberText(640.0), "640");
    EXPECT_EQ(NumberText(-3.0), "-3");
    EXPECT_EQ(NumberText(-0.0), "0");
}

TEST(IsJsonNumber, TakesJsonsGrammarAndNothingElse) {
    for (const char* number : {"0", "-0", "7", "640", "-12", "0.5", "1.25", "1e5", "1E+5", "2e-10", "-0.0e0", "123456789012345678901234"})
        EXPECT_TRUE(IsJsonNumber(number)) << number;
    for (const char* other : {"", "-", "+1", "01", "-01", ".5", "1.", "1.e5", "1e", "1e+", "0x10", "1-2", "1 ", "Infinity", "NaN", "1e5.0"})
        EXPECT_FALSE(IsJsonNumber(other)) << other;
}

}  // namespace
}  // namespace lumigrab
