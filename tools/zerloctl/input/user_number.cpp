#include "input/user_number.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace zerloctl {

std::string ShowNumber(double value)
{
    std::ostringstream text;
    text.precision(15); // a million shows as 1000000, not 1e+06
    text << value;
    return text.str();
}

std::string NumberProblem(const std::string& text, double low, double high, double* value)
{
    char* end = nullptr;
    errno = 0;
    const double number = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size()) return text + " is not a number";
    // strtod gives an infinity for "inf" and for a value beyond a double
    // ("1e400", with ERANGE); a value too small for one is taken as 0.
    if (!std::isfinite(number) || (errno == ERANGE && std::fabs(number) > 1)) return text + " is not a finite number";
    if (number < low || number > high) return text + " is outside " + ShowNumber(low) + " to " + ShowNumber(high);
    *value = number;
    return "";
}

} // namespace zerloctl
