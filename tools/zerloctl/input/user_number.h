// A number a person types as an option's value. A comparison with NaN is
// false either way, so a range check alone lets "nan" through, and an
// infinity or a value beyond a double's range would pass an open bound:
// every such value is refused here, once, for every program.
#pragma once

#include <string>

namespace zerloctl {

// Why `text` is not a finite number from `low` to `high` ("nan is not a
// finite number", "0.4 is outside 0.5 to 86400"), or "" with `*value` set.
std::string NumberProblem(const std::string& text, double low, double high, double* value);

// How a bound is written in those messages and in help texts.
std::string ShowNumber(double value);

} // namespace zerloctl
