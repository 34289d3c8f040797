// The bench's report: one row per measurement with a cell per path and the relay's ratios to the
// other three, then one line per goal, met or missed.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "bench/paths.hpp"

namespace tessaro::bench {

// The machine's load, printed with the results: a relay process suffers more than kernel
// forwarding when other work competes for the CPUs.
std::string load_average();

// A label, one cell per path and the relay's ratios to the other three paths.
using Cells = std::array<std::string, PATHS>;
using Ratios = std::array<std::string, PATHS - 1>;

void row(const std::string& what, const Cells& paths, const Ratios& ratios);

// One value per path with the relay's ratios to the others; `present` false for a path that gave
// no value, 0 for one that was not measured or failed.
void ratio_row(const std::string& what, const std::array<double, PATHS>& v,
               const bool (&present)[PATHS], int decimals = 1);

// `of(p)` for every path, in the table's order.
template <typename F>
std::array<double, PATHS> per_path(F&& of) {
    return std::array<double, PATHS>{of(D), of(H), of(M), of(R)};
}

// A count per path, "-" for a path this run does not have.
template <typename F>
Cells count_cells(const bool (&available)[PATHS], F&& of) {
    Cells cells;
    for (int p = 0; p < PATHS; ++p) {
        cells[static_cast<std::size_t>(p)] = available[p] ? std::to_string(of(p)) : "-";
    }
    return cells;
}

struct Goal {
    std::string text;
    bool met;
    bool measured = true;
};

// The goals measured, one line each; true when all of them are met.
bool print_goals(const std::vector<Goal>& goals);

}  // namespace tessaro::bench
