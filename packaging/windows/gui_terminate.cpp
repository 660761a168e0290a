// A GUI program has no console for the report of libstdc++'s verbose
// terminate handler, and that handler links the whole C++ demangler into a
// static Windows program (some 46 KB). Ending at once says as much.
#include <cstdlib>

namespace __gnu_cxx {
void __verbose_terminate_handler() {
  std::abort();
}
}  // namespace __gnu_cxx
