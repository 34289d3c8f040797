#include "bench/table.hpp"

#include <cstdio>
#include <fstream>

#include <fmt/format.h>

namespace tessaro::bench {

namespace {

std::string num(double v, int decimals = 1) {
    return fmt::format("{:.{}f}", v, decimals);
}

}  // namespace

std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

void row(const std::string& what, const Cells& paths, const Ratios& ratios) {
    fmt::print("{:<52} {:>9} {:>9} {:>9} {:>9} {:>9} {:>9} {:>9}\n", what, paths[D], paths[H],
               paths[M], paths[R], ratios[D], ratios[H], ratios[M]);
}

void ratio_row(const std::string& what, const std::array<double, PATHS>& v,
               const bool (&present)[PATHS], int decimals) {
    Cells cells;
    Ratios ratios;
    for (int p = 0; p < PATHS; ++p) {
        cells[static_cast<std::size_t>(p)] = present[p] ? num(v[p], decimals) : "-";
    }
    for (int p = 0; p < R; ++p) {
        ratios[static_cast<std::size_t>(p)] =
            present[p] && present[R] && v[p] > 0 ? num(v[R] / v[p], 2) : "-";
    }
    row(what, cells, ratios);
}

bool print_goals(const std::vector<Goal>& goals) {
    fmt::print("\n");
    bool all = true;
    for (const Goal& g : goals) {
        if (g.measured) {
            fmt::print("{:<5} {}\n", g.met ? "MET" : "MISS", g.text);
            all = all && g.met;
        }
    }
    return all;
}

}  // namespace tessaro::bench
