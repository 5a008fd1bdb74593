#pragma once

#include <cstdint>
#include <string>

namespace pelora {

// "i of count" as a whole percentage, rounded to the nearest (halves to
// even), followed by "%": the status of a task-log row while it runs.
inline std::string PercentText(std::int64_t i, std::int64_t count)
{
    if (count <= 0) return "0%";
    const std::int64_t scaled = i * 100;
    std::int64_t percent = scaled / count;
    const std::int64_t twiceRest = 2 * (scaled % count);
    if (twiceRest > count || (twiceRest == count && percent % 2 != 0)) ++percent;
    return std::to_string(percent) + "%";
}

}  // namespace pelora
