#define TARVEX_OPENSSL_LOADER
#include "sock/OpenSsl.h"

#include <dlfcn.h>
#include <openssl/opensslv.h>

#include <string>

#include "sock/LxTls.h"

namespace {

TOpenSsl Load() {
  // The library of the major version the program was built against (its ABI).
  const std::string name = "libssl.so." + std::to_string(OPENSSL_VERSION_MAJOR);
  // Loaded once and kept: its dependencies (the crypto library) come with it, and
  // lookups through the handle reach their functions too.
  void* library = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* reason = ::dlerror();
    throw ETlsError(TTlsFailure::Setup, "TLS is not available: " + (reason ? std::string(reason) : name));
  }
  TOpenSsl table;
#define TARVEX_OPENSSL_LOOKUP(function)                                                                  \
  table.function = reinterpret_cast<decltype(table.function)>(::dlsym(library, #function));               \
  if (!table.function) throw ETlsError(TTlsFailure::Setup, "TLS is not available: " + name + " lacks " #function);
  TARVEX_OPENSSL_FUNCTIONS(TARVEX_OPENSSL_LOOKUP)
#undef TARVEX_OPENSSL_LOOKUP
  return table;
}

}  // namespace

const TOpenSsl& OpenSsl() {
  static const TOpenSsl table = Load();
  return table;
}
