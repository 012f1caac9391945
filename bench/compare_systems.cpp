#include "bench/compare_systems.h"

#include <bandsolve.hpp>

#include "driver/test_system.h"

namespace bandcompare {

FloatSystem FloatSystem::build(int n, int hb) {
    FloatSystem s;
    s.n = n;
    s.hb = hb;
    s.a.resize(bandsolve::band_array_size(n, hb));
    s.b.resize(static_cast<std::size_t>(n));
    s.x.resize(static_cast<std::size_t>(n));
    bandbench::build_test_system(s.a.data(), s.b.data(), s.x.data(), n, hb, 1);
    return s;
}

}  // namespace bandcompare
