#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace kestrova::bench {

// The middle value (the mean of the middle two for an even count); 0 for no samples.
double median(std::vector<double> samples);
// The nearest-rank percentile `q` (0 < q ≤ 1, e.g. 0.99); 0 for no samples.
double percentile(std::vector<double> samples, double q);

// Runs `work` `rounds` times (at least once) and returns the upper median of the wall times,
// in milliseconds.
double median_ms(int rounds, const std::function<void()>& work);

// CPU time of a clock (CLOCK_PROCESS_CPUTIME_ID, a child's or a thread's) in milliseconds.
// On a loaded machine wall time includes waiting for a core; CPU time does not, so both are
// reported.
double cpu_ms(clockid_t clock);

// printf-style formatting of one number.
std::string fmt(const char* format, double value);

// The 1, 5 and 15 minute load averages: other work on the machine shows in the wall times.
std::string load_average();

}  // namespace kestrova::bench
