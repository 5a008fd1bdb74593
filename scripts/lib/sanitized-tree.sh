# Sourced by scripts/sanitize and scripts/fuzz: one clang build folder serves
# both, with the address and undefined-behaviour sanitizers on everything and
# the libFuzzer targets beside the tests (the benchmarks are left out).
sanitized_build=${PELORA_SANITIZE_BUILD_DIR:-build-asan}

configure_sanitized_tree() {
  cmake -S . -B "$sanitized_build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DPELORA_SANITIZE=ON -DPELORA_FUZZ=ON -DPELORA_BENCHMARKS=OFF >/dev/null
}
