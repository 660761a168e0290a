// What every fuzz target checks its unit against: a broken expectation of
// the model is a crash to libFuzzer, which then keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void ModelCheckFailed(const char* expectation, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: the model expects %s\n", file, line, expectation);
  std::abort();
}

#define MODEL_CHECK(expectation) \
  ((expectation) ? static_cast<void>(0) : ModelCheckFailed(#expectation, __FILE__, __LINE__))
