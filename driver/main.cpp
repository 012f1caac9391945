#include "driver/benchmark.h"
#include "driver/platform.h"

int main() {
    bandbench::set_fp_environment();
    return bandbench::run_benchmark();
}
