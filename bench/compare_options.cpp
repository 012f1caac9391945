#include "bench/compare_options.h"

#include <charconv>
#include <cstring>
#include <string_view>

#include "threads/team_size.h"

namespace bandcompare {

namespace {

template <typename I>
bool parse_integer(std::string_view text, I low, I high, I& value) {
    I parsed = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (ec != std::errc() || end != text.data() + text.size()) return false;
    if (parsed < low || parsed > high) return false;
    value = parsed;
    return true;
}

// "s,d,c,z" or any subset in any order; the result lists the letters in the
// fixed order s, d, c, z.
bool parse_types(std::string_view text, std::string& types) {
    bool seen[4] = {false, false, false, false};
    constexpr std::string_view ORDER = "sdcz";
    bool expect_letter = true;
    for (char ch : text) {
        if (expect_letter) {
            const auto k = ORDER.find(ch);
            if (k == std::string_view::npos) return false;
            seen[k] = true;
        } else if (ch != ',') {
            return false;
        }
        expect_letter = !expect_letter;
    }
    if (expect_letter) return false;  // empty, or a trailing comma
    types.clear();
    for (std::size_t k = 0; k < ORDER.size(); ++k)
        if (seen[k]) types += ORDER[k];
    return true;
}

}  // namespace

bool parse_options(int argc, const char* const* argv, Options& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](std::string_view& out) {
            if (i + 1 >= argc) {
                error = std::string(arg) + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string_view v;
        if (arg == "--quick") {
            options.quick = true;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--no-openblas") {
            options.no_openblas = true;
        } else if (arg == "--runs") {
            if (!value(v)) return false;
            if (!parse_integer(v, MIN_RUNS, 100000, options.runs)) {
                error = "--runs takes an integer of at least " + std::to_string(MIN_RUNS);
                return false;
            }
        } else if (arg == "--csv") {
            if (!value(v)) return false;
            if (v.empty()) {
                error = "--csv needs a file name";
                return false;
            }
            options.csv = v;
        } else if (arg == "--types") {
            if (!value(v)) return false;
            if (!parse_types(v, options.types)) {
                error = "--types takes a comma-separated list of s, d, c, z";
                return false;
            }
        } else if (arg == "--max-team") {
            if (!value(v)) return false;
            if (!parse_integer(v, 1, bandsolve::MAX_TEAM_SIZE, options.max_team)) {
                error = "--max-team takes an integer from 1 to " +
                        std::to_string(bandsolve::MAX_TEAM_SIZE);
                return false;
            }
        } else if (arg == "--openblas") {
            if (!value(v)) return false;
            options.openblas = v;
        } else if (arg == "--slab-rows") {
            if (!value(v)) return false;
            if (!parse_integer(v, 0, 1 << 30, options.slab_rows)) {
                error = "--slab-rows takes a non-negative integer (0: the default)";
                return false;
            }
        } else if (arg == "--max-nhb") {
            if (!value(v)) return false;
            if (!parse_integer<std::int64_t>(v, 0, INT64_MAX, options.max_nhb)) {
                error = "--max-nhb takes a non-negative integer (0: no limit)";
                return false;
            }
        } else {
            error = "unknown argument " + std::string(arg);
            return false;
        }
    }
    return true;
}

const char* usage_text() noexcept {
    return R"(usage: bandcompare [options]

Times the block-tree and slab solvers of bandsolve beside LAPACK's ?pbsv on
the benchmark's test system and checks every solution against the exact one.

  --quick           the benchmark problem only (n = 2000000, hb = 8), 5 runs
  --runs N          timed runs per measurement, N >= 5 (default: 9 for the
                    benchmark problem, 5 for the rest of the sweep)
  --csv FILE        also write every measurement to FILE as CSV
  --types LIST      element types, e.g. s,d (default s,d,c,z)
  --max-team N      team sizes 1..N (default: the processor count; above it
                    the machine is oversubscribed on purpose)
  --openblas PATH   OpenBLAS's LAPACK library to load (default
                    /usr/lib/x86_64-linux-gnu/openblas-pthread/liblapack.so.3)
  --no-openblas     do not time OpenBLAS
  --slab-rows R     slab height for the slab solvers (default: theirs)
  --max-nhb K       skip sweep cases with n*hb > K (default 16000000, which
                    leaves out n = 1e6, hb = 32 and n = 2e6, hb = 16 and 32;
                    0: run them all; the benchmark problem always runs)
  --help            this text
)";
}

}  // namespace bandcompare
