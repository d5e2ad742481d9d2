// Linked into both Windows programs.
#include <cstdlib>

#if defined(__GLIBCXX__)
// The default handler prints the exception's demangled type, and brings 50 KB of demangler
// along; neither program ever lets an exception reach it on purpose. Ending quietly is all that
// is wanted.
namespace __gnu_cxx {
void __verbose_terminate_handler() {
  std::abort();
}
}  // namespace __gnu_cxx
#endif
