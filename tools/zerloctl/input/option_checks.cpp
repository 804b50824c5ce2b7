#include "input/option_checks.h"

#include "input/user_file.h"
#include "input/user_number.h"

namespace zerloctl {

CLI::Validator FiniteNumber(double low, double high)
{
    return CLI::Validator(
        [low, high](const std::string& text) {
            double value = 0;
            return NumberProblem(text, low, high, &value);
        },
        ShowNumber(low) + " to " + ShowNumber(high));
}

const CLI::Validator RegularFile(
    [](const std::string& path) {
        const std::string problem = RegularFileProblem(path);
        return problem.empty() ? problem : path + ": " + problem;
    },
    "FILE");

} // namespace zerloctl
